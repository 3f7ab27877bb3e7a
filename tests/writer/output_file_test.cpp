// The output file against other users of a shared directory, races with
// the name, interruptions and concurrent writers: each case through the
// unnamed temporary and again through the named one.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/temp_dir.h"
#include "writer/output_file.h"

namespace trevik::test {
namespace {

namespace fs = std::filesystem;
using detail::OutputFile;
constexpr uid_t kNobody = 65534;

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
    ::chmod(path.c_str(), mode);
    if (owner != ::geteuid()) own(path, owner);
}
struct stat statOf(const std::string& path) {
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return st;
}
std::string attribute(const std::string& path, const char* name) {
    char value[256];
    const ssize_t n = ::getxattr(path.c_str(), name, value, sizeof value);
    return n < 0 ? "" : std::string(value, static_cast<std::size_t>(n));
}
// An ACL in the kernel's extended-attribute layout: (tag, permissions, id).
std::string acl(const std::vector<std::tuple<int, int, std::uint32_t>>& entries) {
    std::string bytes;
    auto put = [&](std::uint32_t v, int n) { for (int i = 0; i < n; ++i) bytes += static_cast<char>(v >> 8 * i); };
    put(2, 4);
    for (const auto& [tag, permissions, id] : entries) put(tag, 2), put(permissions, 2), put(id, 4);
    return bytes;
}
constexpr std::uint32_t kNoId = 0xFFFFFFFF;

// `body` in a child process: its exit code, or 128 + the signal that ended
// it. As nobody (with `groups`) when `groups` holds anything: root stays the
// saved user, so `body` may act as root for a moment through seteuid(0).
int inChild(const std::function<int()>& body, std::vector<gid_t> groups = {}) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const rlimit noCore{0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
        if (!groups.empty() && (::setgroups(groups.size(), groups.data()) || ::setresgid(kNobody, kNobody, kNobody) ||
                                ::setresuid(kNobody, kNobody, 0)))
            _exit(99);
        _exit(body());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
const std::vector<gid_t> kAsNobody{kNobody};

class OutputFileTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        detail::outputFileSeams().namedTemporary = GetParam();
        ::chmod(dir_.path().c_str(), 0755);
    }
    void TearDown() override { detail::outputFileSeams() = {}; }
    // Writes `text` to `path`; `meanwhile` runs between the content and the naming.
    bool write(const std::string& path, std::function<void()> meanwhile = {}, const std::string& text = "new") {
        detail::outputFileSeams().beforeNaming = std::move(meanwhile);
        OutputFile out;
        return out.open(path.c_str()) && out.commit([&](int fd) { return detail::writeAll(fd, text.data(), text.size()); }, text.size());
    }
    void needRoot() {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as other users";
    }
    std::string file(const std::string& name) const { return dir_.file(name); }
    TempDir dir_;
};
INSTANTIATE_TEST_SUITE_P(Temporaries, OutputFileTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Named" : "Unnamed"; });

TEST_P(OutputFileTest, NamesChangedDuringTheWriteAreLeftAlone) {
    putFile(file("victim"), "secret", 0600);
    // Planted after the open found nothing: a link, then a file.
    EXPECT_FALSE(write(file("out"), [&] {
        EXPECT_EQ(entries(dir_.path()).size(), GetParam() ? 2u : 1u);  // only the named path shows a temporary
        fs::create_symlink("victim", file("out"));
    }));
    EXPECT_FALSE(write(file("new"), [&] { putFile(file("new"), "theirs", 0644); }));
    // An existing file swapped for a link.
    putFile(file("old"), "old", 0644);
    EXPECT_FALSE(write(file("old"), [&] { fs::remove(file("old")), fs::create_symlink("victim", file("old")); }));
    EXPECT_EQ(readFile(file("victim")), "secret");
    EXPECT_EQ(readFile(file("new")), "theirs");
    EXPECT_TRUE(fs::is_symlink(file("out")) && fs::is_symlink(file("old")));
    EXPECT_EQ(entries(dir_.path()), (std::set<std::string>{"new", "old", "out", "victim"}));
    // The folder renamed meanwhile: the output follows it, no temporary stays.
    fs::create_directory(file("a"));
    EXPECT_TRUE(write(file("a/out"), [&] { fs::rename(file("a"), file("b")); }));
    EXPECT_EQ(entries(file("b")), std::set<std::string>{"out"});
}

TEST_P(OutputFileTest, SharedStickyDirectoriesTrustOnlyTheCallerAndTheirOwner) {
    needRoot();
    putFile(file("victim"), "secret", 0600);
    for (const mode_t mode : {01777, 01770}) {
        ::chmod(dir_.path().c_str(), mode);
        fs::create_symlink("victim", file("link"));
        own(file("link"), kNobody);
        putFile(file("planted"), "theirs", 0666, kNobody);
        ASSERT_EQ(::mkfifo(file("fifo").c_str(), 0666), 0);
        own(file("fifo"), kNobody);
        const int reader = ::open(file("fifo").c_str(), O_RDONLY | O_NONBLOCK);
        for (const char* name : {"link", "planted", "fifo"}) EXPECT_FALSE(write(file(name))) << name;
        char byte;
        EXPECT_LE(::read(reader, &byte, 1), 0);  // nothing was written
        ::close(reader);
        EXPECT_EQ(readFile(file("planted")), "theirs");
        EXPECT_EQ(statOf(file("planted")).st_uid, kNobody);
        fs::remove(file("link")), fs::remove(file("planted")), fs::remove(file("fifo"));
    }
    EXPECT_EQ(readFile(file("victim")), "secret");
    fs::create_symlink("victim", file("mine"));  // the caller's own link is followed
    EXPECT_TRUE(write(file("mine")));
    EXPECT_EQ(readFile(file("victim")), "new");
    // Nobody may not rename over root's file in root's sticky folder; a
    // link planted meanwhile must not receive the in-place write either.
    ::chmod(dir_.path().c_str(), 01777);
    putFile(file("victim"), "secret", 0600), putFile(file("roots"), "old", 0666);
    EXPECT_EQ(inChild([&] {
        return write(file("roots"), [&] {
            if (::seteuid(0) == 0) fs::remove(file("roots")), fs::create_symlink("victim", file("roots"));
            if (::seteuid(kNobody) != 0) _exit(98);
        }) ? 0 : 1;
    }, kAsNobody), 1);
    EXPECT_EQ(readFile(file("victim")), "secret");
}

TEST_P(OutputFileTest, ReplacementKeepsAccessListAttributesAndGroup) {
    const std::string out = file("out"), access = acl({{1, 6, kNoId}, {2, 4, kNobody}, {4, 0, kNoId}, {16, 4, kNoId}, {32, 0, kNoId}});
    putFile(out, "old", 0600);
    if (::setxattr(out.c_str(), "system.posix_acl_access", access.data(), access.size(), 0) != 0 ||
        ::setxattr(out.c_str(), "user.origin", "camera", 6, 0) != 0)
        GTEST_SKIP() << "no ACLs or user attributes here";
    const ino_t before = statOf(out).st_ino;
    EXPECT_TRUE(write(out));
    EXPECT_NE(statOf(out).st_ino, before);
    EXPECT_EQ(statOf(out).st_mode & 07777, 0640u);  // the mask, not the group
    EXPECT_EQ(attribute(out, "system.posix_acl_access"), access);
    EXPECT_EQ(attribute(out, "user.origin"), "camera");
    // The folder's default ACL gives a new file access, not a replaced one.
    const std::string inherit = acl({{1, 7, kNoId}, {2, 6, kNobody}, {4, 5, kNoId}, {16, 7, kNoId}, {32, 5, kNoId}});
    putFile(file("plain"), "old", 0600);
    ASSERT_EQ(::setxattr(dir_.path().c_str(), "system.posix_acl_default", inherit.data(), inherit.size(), 0), 0);
    EXPECT_TRUE(write(file("plain")));
    EXPECT_EQ(attribute(file("plain"), "system.posix_acl_access"), "");
    EXPECT_EQ(statOf(file("plain")).st_mode & 07777, 0600u);

    needRoot();
    ::removexattr(dir_.path().c_str(), "system.posix_acl_default");
    own(dir_.path(), kNobody, kNobody);
    // Attributes the writer may not read: written in place, keeping them.
    putFile(file("sealed"), "old", 0622), ::setxattr(file("sealed").c_str(), "user.origin", "camera", 6, 0);
    const ino_t sealed = statOf(file("sealed")).st_ino;
    EXPECT_EQ(inChild([&] { return write(file("sealed")) ? 0 : 1; }, kAsNobody), 0);
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
    if (!GetParam()) signals.push_back(SIGKILL);  // only an unnamed temporary survives no handler
    for (const int signal : signals) {
        EXPECT_EQ(inChild([&] {
            detail::removeTemporaryOnSignals();
            return write(file("out"), [&] { ::raise(signal); });
        }), 128 + signal);
        EXPECT_EQ(entries(dir_.path()), std::set<std::string>{"out"});
        EXPECT_EQ(readFile(file("out")), "old");
    }
    // Interrupted in the middle of an in-place write: ends once it is whole.
    fs::create_hard_link(file("out"), file("link"));
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

// Whether /proc/locks shows a writer waiting for a lock on the file `ino`.
bool someoneWaitsFor(ino_t ino) {
    std::ifstream locks("/proc/locks");
    const std::string file = std::to_string(ino) + " ";
    for (std::string line; std::getline(locks, line);)
        if (line.find("->") != std::string::npos && line.find(":" + file) != std::string::npos) return true;
    return false;
}

TEST(OutputFileInPlace, WritersTakeTurnsAndAWaitingOneCanBeInterrupted) {
    TempDir dir;
    const std::string out = dir.file("out");
    putFile(out, "old", 0644);
    fs::create_hard_link(out, dir.file("link"));
    for (const bool interrupt : {true, false}) {
        const int holder = ::open(out.c_str(), O_RDWR);
        struct flock lock {};
        lock.l_type = F_WRLCK;
        ASSERT_EQ(::fcntl(holder, F_OFD_SETLK, &lock), 0);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(holder);  // the lock belongs to the parent's open file description alone
            detail::removeTemporaryOnSignals();
            OutputFile file;
            _exit(file.open(out.c_str()) && file.commit([](int fd) { return detail::writeAll(fd, "new", 3); }, 3) ? 0 : 1);
        }
        for (int i = 0; i < 2000 && !someoneWaitsFor(statOf(out).st_ino); ++i) ::usleep(5000);
        EXPECT_EQ(readFile(out), "old");
        interrupt ? ::kill(pid, SIGINT) : ::close(holder);
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_EQ(status, interrupt ? SIGINT : 0);
        EXPECT_EQ(readFile(out), interrupt ? "old" : "new");
        ::close(holder);
    }
}

TEST(OutputFileStreams, ANonBlockingPipeIsWaitedOnAndStaysNonBlocking) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
    const std::string content(1 << 20, 'x');
    const pid_t pid = ::fork();
    if (pid == 0) {  // a slow reader
        ::close(ends[1]), ::usleep(50000);
        std::size_t total = 0;
        char block[4096];
        for (ssize_t n; (n = ::read(ends[0], block, sizeof block)) > 0;) total += static_cast<std::size_t>(n);
        _exit(total == content.size() ? 0 : 1);
    }
    ::close(ends[0]);
    {
        OutputFile out;
        EXPECT_TRUE(out.open(("/dev/fd/" + std::to_string(ends[1])).c_str()) &&
                    out.commit([&](int fd) { return detail::writeAll(fd, content.data(), content.size()); }, content.size()));
    }
    EXPECT_NE(::fcntl(ends[1], F_GETFL) & O_NONBLOCK, 0);
    ::close(ends[1]);
    int status = -1;
    ::waitpid(pid, &status, 0);
    EXPECT_EQ(status, 0);
}

TEST(OutputFileKeep, AKeptFileIsNeitherOpenedForWritingNorChanged) {
    TempDir dir;
    putFile(dir.file("study.prj"), "camera data", 0644);
    int flags = -1;
    OutputFile out;
    EXPECT_FALSE(out.open(dir.file("study.prj").c_str(), [&](int fd) { return (flags = ::fcntl(fd, F_GETFL)) >= 0; }));
    EXPECT_TRUE(out.keptSource());
    EXPECT_EQ(flags & O_ACCMODE, O_RDONLY);
    EXPECT_EQ(readFile(dir.file("study.prj")), "camera data");
    EXPECT_EQ(entries(dir.path()), std::set<std::string>{"study.prj"});
}

}  // namespace
}  // namespace trevik::test
