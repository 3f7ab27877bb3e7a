// The output file against other users of a shared directory, races with the
// name, interruptions and concurrent writers; through both temporaries.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/support/temp_dir.h"
#include "writer/output_file.h"

namespace trevik::test {
namespace {

namespace fs = std::filesystem;
using detail::OutputFile;
constexpr uid_t kNobody = 65534;
constexpr std::uint32_t kNoId = 0xFFFFFFFF;

std::set<std::string> entries(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}
void own(const std::string& path, uid_t owner, gid_t group = static_cast<gid_t>(-1)) {
    if (::lchown(path.c_str(), owner, group) != 0) ADD_FAILURE() << "cannot give away " << path;
}
void putFile(const std::string& path, const std::string& content, mode_t mode, uid_t owner = ::geteuid()) {
    std::ofstream(path, std::ios::binary) << content;
    if (::chmod(path.c_str(), mode), owner != ::geteuid()) own(path, owner);
}
struct stat statOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st), st;
}
std::string attribute(const std::string& path, const char* name) {
    char value[256];
    const ssize_t n = ::getxattr(path.c_str(), name, value, sizeof value);
    return n < 0 ? "" : std::string(value, static_cast<std::size_t>(n));
}
// An ACL as the kernel stores it: version 2, then (tag, permissions, id).
std::string acl(const std::vector<std::tuple<int, int, std::uint32_t>>& entries) {
    std::string bytes;
    auto put = [&](std::uint32_t v, int n) { for (int i = 0; i < n; ++i) bytes += static_cast<char>(v >> 8 * i); };
    put(2, 4);
    for (const auto& [tag, permissions, id] : entries) put(tag, 2), put(permissions, 2), put(id, 4);
    return bytes;
}

// How the child `pid` ended: its exit code, or 128 + the signal that ended it.
int endOf(pid_t pid) {
    int status = 0;
    return ::waitpid(pid, &status, 0) != pid ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
// `body` in a child with the signals at their defaults (a run in the
// background may ignore SIGINT): how it ended. With `groups`, as nobody in them.
int inChild(const std::function<int()>& body, const std::vector<gid_t>& groups = {}) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const rlimit noCore{0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
        for (const int s : {SIGINT, SIGTERM, SIGQUIT, SIGUSR1, SIGALRM, SIGVTALRM}) ::signal(s, SIG_DFL);
        if (!groups.empty() && (::setgroups(groups.size(), groups.data()) || ::setresgid(kNobody, kNobody, kNobody) ||
                                ::setresuid(kNobody, kNobody, kNobody)))
            _exit(99);
        _exit(body());
    }
    return endOf(pid);
}

// Writes "new" (or `text`) to `path`; `meanwhile` runs before the naming.
bool write(const std::string& path, std::function<void()> meanwhile = {}, const std::string& text = "new") {
    detail::outputFileSeams().beforeNaming = std::move(meanwhile);
    OutputFile out;
    return out.open(path.c_str()) &&
           out.commit([&](int fd) { return detail::writeAll(fd, text.data(), text.size()); }, text.size());
}

class OutputFileTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { detail::outputFileSeams().namedTemporary = GetParam(), ::chmod(dir_.path().c_str(), 0755); }
    void TearDown() override { detail::outputFileSeams() = {}; }
    std::string file(const std::string& name) const { return dir_.file(name); }
    TempDir dir_;
};
INSTANTIATE_TEST_SUITE_P(Temporaries, OutputFileTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Named" : "Unnamed"; });
#define NEEDS_ROOT() if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as other users"

TEST_P(OutputFileTest, NamesChangedDuringTheWriteAreLeftAlone) {
    putFile(file("victim"), "secret", 0600), putFile(file("old"), "old", 0644);
    EXPECT_FALSE(write(file("out"), [&] {
        EXPECT_EQ(entries(dir_.path()).size(), GetParam() ? 3u : 2u);  // only a named temporary shows
        fs::create_symlink("victim", file("out"));
    }));
    EXPECT_FALSE(write(file("new"), [&] { putFile(file("new"), "theirs", 0644); }));
    EXPECT_FALSE(write(file("old"), [&] { fs::remove(file("old")), fs::create_symlink("victim", file("old")); }));
    EXPECT_EQ(readFile(file("victim")) + readFile(file("new")), "secrettheirs");
    EXPECT_EQ(entries(dir_.path()), (std::set<std::string>{"new", "old", "out", "victim"}));
    fs::create_directory(file("a"));  // a folder renamed meanwhile keeps no temporary
    EXPECT_TRUE(write(file("a/out"), [&] { fs::rename(file("a"), file("b")); }));
    EXPECT_EQ(entries(file("b")), std::set<std::string>{"out"});
}

// Only creating: every kind of existing name stays as it was, a dangling
// link included, and so does a name that appears during the write.
TEST_P(OutputFileTest, CreateOnlyLeavesEveryExistingNameAlone) {
    putFile(file("old"), "old", 0644);
    fs::create_symlink("nowhere", file("dangling"));
    auto create = [&](const std::string& name, std::function<void()> meanwhile = {}) {
        detail::outputFileSeams().beforeNaming = std::move(meanwhile);
        OutputFile out;
        const bool done = out.open(file(name).c_str(), {}, OutputFile::Existing::Refuse) &&
                          out.commit([](int fd) { return detail::writeAll(fd, "new", 3); }, 3);
        EXPECT_EQ(done ? 0 : out.error(), done ? 0 : EEXIST) << name;
        return done;
    };
    EXPECT_FALSE(create("old"));
    EXPECT_FALSE(create("dangling"));
    EXPECT_FALSE(create("late", [&] { putFile(file("late"), "theirs", 0644); }));
    EXPECT_TRUE(create("fresh"));
    EXPECT_EQ(readFile(file("old")) + readFile(file("late")) + readFile(file("fresh")), "oldtheirsnew");
    EXPECT_EQ(entries(dir_.path()), (std::set<std::string>{"dangling", "fresh", "late", "old"}));
}

TEST_P(OutputFileTest, SharedStickyDirectoriesTrustOnlyTheCallerAndTheirOwner) {
    NEEDS_ROOT();
    putFile(file("victim"), "secret", 0600);
    for (const mode_t mode : {01777, 01770}) {
        ::chmod(dir_.path().c_str(), mode);
        fs::create_symlink("victim", file("link")), own(file("link"), kNobody);
        putFile(file("planted"), "theirs", 0666, kNobody);
        ASSERT_EQ(::mkfifo(file("fifo").c_str(), 0666), 0);
        own(file("fifo"), kNobody);
        const int reader = ::open(file("fifo").c_str(), O_RDONLY | O_NONBLOCK);  // else refused for want of one
        for (const char* name : {"link", "planted", "fifo"}) EXPECT_FALSE(write(file(name))) << name;
        ::close(reader);
        EXPECT_EQ(readFile(file("planted")), "theirs");
        fs::remove(file("link")), fs::remove(file("planted")), fs::remove(file("fifo"));
    }
    EXPECT_EQ(readFile(file("victim")), "secret");
    fs::create_symlink("victim", file("mine"));  // the caller's own link is followed
    EXPECT_TRUE(write(file("mine")));
    EXPECT_EQ(readFile(file("victim")), "new");
}

TEST_P(OutputFileTest, ReplacementKeepsAccessListAttributesAndGroup) {
    const std::string out = file("out"), access = acl({{1, 6, kNoId}, {2, 4, kNobody}, {4, 0, kNoId}, {16, 4, kNoId}, {32, 0, kNoId}});
    putFile(out, "old", 0600), putFile(file("plain"), "old", 0600);
    if (::setxattr(out.c_str(), "system.posix_acl_access", access.data(), access.size(), 0) != 0 ||
        ::setxattr(out.c_str(), "user.origin", "camera", 6, 0) != 0)
        GTEST_SKIP() << "no ACLs or user attributes here";
    const ino_t before = statOf(out).st_ino;
    EXPECT_TRUE(write(out));
    EXPECT_NE(statOf(out).st_ino, before);
    EXPECT_EQ(statOf(out).st_mode & 07777, 0640u);  // the mask, not the group
    EXPECT_EQ(attribute(out, "system.posix_acl_access"), access);
    EXPECT_EQ(attribute(out, "user.origin"), "camera");
    // The folder's default ACL is for new files, not for a replaced one.
    const std::string inherit = acl({{1, 7, kNoId}, {2, 6, kNobody}, {4, 5, kNoId}, {16, 7, kNoId}, {32, 5, kNoId}});
    ASSERT_EQ(::setxattr(dir_.path().c_str(), "system.posix_acl_default", inherit.data(), inherit.size(), 0), 0);
    EXPECT_TRUE(write(file("plain")));
    EXPECT_EQ(attribute(file("plain"), "system.posix_acl_access"), "");
    EXPECT_EQ(statOf(file("plain")).st_mode & 07777, 0600u);

    NEEDS_ROOT();
    ::removexattr(dir_.path().c_str(), "system.posix_acl_default");
    own(dir_.path(), kNobody, kNobody);
    // Attributes the writer may not read: written in place, keeping them.
    putFile(file("sealed"), "old", 0622), ::setxattr(file("sealed").c_str(), "user.origin", "camera", 6, 0);
    const ino_t sealed = statOf(file("sealed")).st_ino;
    EXPECT_EQ(inChild([&] { return write(file("sealed")) ? 0 : 1; }, {kNobody}), 0);
    EXPECT_EQ(statOf(file("sealed")).st_ino, sealed);
    EXPECT_EQ(attribute(file("sealed"), "user.origin"), "camera");
    // The owner cannot be kept, the group can: the writer is a member.
    putFile(file("shared"), "old", 0664), own(file("shared"), 0, 4242);
    EXPECT_EQ(inChild([&] { return write(file("shared")) ? 0 : 1; }, {kNobody, 4242}), 0);
    EXPECT_EQ(readFile(file("shared")), "new");
    EXPECT_EQ(statOf(file("shared")).st_gid, 4242u);
}

TEST_P(OutputFileTest, EndingsLeaveNoTemporaryAndInPlaceWritesAreWhole) {
    putFile(file("out"), "old", 0644);
    std::vector<int> signals{SIGTERM, SIGQUIT, SIGUSR1, SIGALRM, SIGVTALRM};
    if (!GetParam()) signals.push_back(SIGKILL);  // no handler runs: only an unnamed temporary is gone
    for (const int signal : signals) {
        EXPECT_EQ(inChild([&] { return detail::removeTemporaryOnSignals(), write(file("out"), [&] { ::raise(signal); }); }),
                  128 + signal);
        EXPECT_EQ(entries(dir_.path()), std::set<std::string>{"out"});
        EXPECT_EQ(readFile(file("out")), "old");
    }
    fs::create_hard_link(file("out"), file("link"));  // in place: an interruption waits for the whole file
    const std::string whole(300000, 'n');
    EXPECT_EQ(inChild([&] {
        OutputFile out;
        return out.open(file("out").c_str()) && out.commit([&](int fd) {
            return detail::writeAll(fd, whole.data(), 1000) && ::raise(SIGINT) == 0 &&
                   detail::writeAll(fd, whole.data() + 1000, whole.size() - 1000);
        }, whole.size());
    }), 128 + SIGINT);
    EXPECT_EQ(readFile(file("link")), whole);
}

TEST_P(OutputFileTest, ASignalRemovesTheTemporaryOfEveryThreadThatWrites) {
    putFile(file("a"), "old", 0644);
    putFile(file("b"), "old", 0644);
    EXPECT_EQ(inChild([&] {
        detail::removeTemporaryOnSignals();
        std::atomic<int> arrived{0};
        // Each thread's temporary is complete; the second to get there ends
        // the process, and neither names its file (bounded, should the
        // signal not come).
        detail::outputFileSeams().beforeNaming = [&] {
            if (++arrived == 2) ::raise(SIGTERM);
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (std::chrono::steady_clock::now() < until) std::this_thread::yield();
        };
        auto replace = [&](const char* name) {
            OutputFile out;
            if (out.open(file(name).c_str())) out.commit([](int fd) { return detail::writeAll(fd, "new", 3); }, 3);
        };
        std::thread a(replace, "a"), b(replace, "b");
        a.join(), b.join();
        return 0;
    }), 128 + SIGTERM);
    EXPECT_EQ(entries(dir_.path()), (std::set<std::string>{"a", "b"}));
    EXPECT_EQ(readFile(file("a")), "old");
    EXPECT_EQ(readFile(file("b")), "old");
}

TEST(OutputFileSignals, AnIgnoredSignalStaysIgnoredAndTheMaskAsItWas) {
    // A run started with SIGINT ignored (nohup, a background job) keeps
    // ignoring it; the others get the handler; no signal stays held.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGINT, SIG_IGN);
        sigset_t before, after;
        ::pthread_sigmask(SIG_SETMASK, nullptr, &before);
        detail::removeTemporaryOnSignals();
        ::pthread_sigmask(SIG_SETMASK, nullptr, &after);
        struct sigaction interrupt {}, terminate {};
        ::sigaction(SIGINT, nullptr, &interrupt);
        ::sigaction(SIGTERM, nullptr, &terminate);
        const bool held = sigismember(&after, SIGTERM) != sigismember(&before, SIGTERM);
        ::raise(SIGINT);  // ignored: the child goes on
        ::_exit(interrupt.sa_handler == SIG_IGN && terminate.sa_handler != SIG_DFL &&
                        terminate.sa_handler != SIG_IGN && !held
                    ? 0
                    : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_P(OutputFileTest, StreamedContentGoesInPlaceWhereTheRenameIsRefused) {
    NEEDS_ROOT();
    ::chmod(dir_.path().c_str(), 01777);  // root's sticky folder: nobody may not rename over root's file
    putFile(file("out"), "old content", 0666);
    EXPECT_EQ(inChild([&] {
        OutputFile out;
        const std::string text = "streamed";
        return out.open(file("out").c_str()) && out.streamDescriptor() >= 0 &&
               ::pwrite(out.streamDescriptor(), text.data(), text.size(), 0) == 8 && out.commitStreamed(8) &&
               out.strategy() == OutputFile::Strategy::InPlace;
    }, {kNobody}), 1);
    EXPECT_EQ(readFile(file("out")), "streamed");
    EXPECT_EQ(entries(dir_.path()), std::set<std::string>{"out"});
    OutputFile hardLinked;  // written in place from the start: nothing to stream into
    fs::create_hard_link(file("out"), file("link"));
    EXPECT_TRUE(hardLinked.open(file("out").c_str()));
    EXPECT_EQ(hardLinked.streamDescriptor(), -1);
    EXPECT_FALSE(hardLinked.commitStreamed(0));
}

TEST(OutputFileInPlace, WritersTakeTurnsAndAWaitingOneCanBeInterrupted) {
    TempDir dir;
    const std::string out = dir.file("out"), waiting = "-> OFDLCK";
    putFile(out, "old", 0644);
    fs::create_hard_link(out, dir.file("link"));
    for (const bool interrupt : {true, false}) {
        const int holder = ::open(out.c_str(), O_RDWR);
        struct flock lock {};
        lock.l_type = F_WRLCK;
        ASSERT_EQ(::fcntl(holder, F_OFD_SETLK, &lock), 0);
        const pid_t pid = ::fork();
        if (pid == 0) _exit(::close(holder) || ::signal(SIGINT, SIG_DFL) == SIG_ERR ||
                            (detail::removeTemporaryOnSignals(), !write(out)));
        for (int i = 0; i < 2000 && readFile("/proc/locks").find(waiting) == std::string::npos; ++i) ::usleep(5000);
        EXPECT_EQ(readFile(out), "old");
        interrupt ? ::kill(pid, SIGINT) : ::close(holder);
        EXPECT_EQ(endOf(pid), interrupt ? 128 + SIGINT : 0);
        EXPECT_EQ(readFile(out), interrupt ? "old" : "new");
        if (interrupt) ::close(holder);
    }
}

TEST(OutputFileStreams, ANonBlockingPipeIsWaitedOnAndStaysNonBlocking) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
    const std::string content(1 << 20, 'x');
    const pid_t pid = ::fork();
    if (pid == 0) _exit(!write("/dev/fd/" + std::to_string(ends[1]), {}, content) ||
                        !(::fcntl(ends[1], F_GETFL) & O_NONBLOCK));
    ::close(ends[1]), ::usleep(50000);  // a slow reader
    char block[65536];
    ssize_t total = 0;
    for (ssize_t n; (n = ::read(ends[0], block, sizeof block)) > 0;) total += n;
    EXPECT_EQ(endOf(pid), 0);
    EXPECT_EQ(total, static_cast<ssize_t>(content.size()));
}

}  // namespace
}  // namespace trevik::test
