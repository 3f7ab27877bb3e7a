// How writeGsd replaces, creates or refuses its destination (issue 4).
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>

#include "tests/writer/writer_test_util.h"

namespace trevik::test {
namespace {

namespace fs = std::filesystem;

std::set<std::string> entries(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}

void putFile(const std::string& path, const std::string& content, mode_t mode) {
    std::ofstream(path, std::ios::binary) << content;
    ::chmod(path.c_str(), mode);
}

struct stat statOf(const std::string& path) {
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return st;
}

// Runs `body` in a child process, as the user "nobody" when `dropRoot` and
// we are root; the child's exit code.
int inChild(const std::function<int()>& body, bool dropRoot) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (dropRoot && ::geteuid() == 0 && (::setgroups(0, nullptr) || ::setgid(65534) || ::setuid(65534))) _exit(100);
        _exit(body());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class GsdReplace : public ::testing::Test {
protected:
    void SetUp() override {
        study_ = workedExample();
        study_->record.division = 1, study_->record.frames = 2;
        expected_ = writeToString(*study_);
        ::chmod(dir_.path().c_str(), 0755);  // reachable for "nobody"
    }
    TempDir dir_;
    std::unique_ptr<Study> study_;
    std::string expected_;
};

TEST_F(GsdReplace, LongerFileFullyReplacedKeepingItsMode) {
    const std::string out = dir_.file("out.gsd");
    putFile(out, std::string(3'000'000, 'z'), 0640);
    EXPECT_EQ(writeGsd(out.c_str(), *study_), kWritten);
    EXPECT_EQ(readFile(out), expected_);
    EXPECT_EQ(statOf(out).st_mode & 07777, 0640u);
    EXPECT_EQ(entries(dir_.path()), std::set<std::string>{"out.gsd"});
}

TEST_F(GsdReplace, NewFileGetsModeLessUmask) {
    const mode_t old = ::umask(027);
    EXPECT_EQ(writeGsd(dir_.file("new.gsd").c_str(), *study_), kWritten);
    ::umask(old);
    EXPECT_EQ(statOf(dir_.file("new.gsd")).st_mode & 07777, 0640u);
}

TEST_F(GsdReplace, SymbolicLinksAreFollowedAndKept) {
    fs::create_directory(dir_.file("sub"));
    putFile(dir_.file("sub/target.gsd"), "old", 0600);
    fs::create_symlink("sub/target.gsd", dir_.file("link.gsd"));
    fs::create_symlink("sub/absent.gsd", dir_.file("dangling.gsd"));
    EXPECT_EQ(writeGsd(dir_.file("link.gsd").c_str(), *study_), kWritten);
    EXPECT_EQ(writeGsd(dir_.file("dangling.gsd").c_str(), *study_), kWritten);
    EXPECT_TRUE(S_ISLNK(statOf(dir_.file("link.gsd")).st_mode));
    EXPECT_EQ(readFile(dir_.file("sub/target.gsd")), expected_);
    EXPECT_EQ(statOf(dir_.file("sub/target.gsd")).st_mode & 07777, 0600u);
    EXPECT_EQ(readFile(dir_.file("sub/absent.gsd")), expected_);
    EXPECT_EQ(entries(dir_.file("sub")), (std::set<std::string>{"absent.gsd", "target.gsd"}));
}

TEST_F(GsdReplace, DevicesHardLinksAndUnwritableDestinations) {
    EXPECT_EQ(writeGsd("/dev/null", *study_), kWritten);
    EXPECT_EQ(writeGsd("/dev/full", *study_), kCannotWrite);
    EXPECT_EQ(writeGsd(dir_.file("missing/out.gsd").c_str(), *study_), kCannotWrite);
    EXPECT_EQ(writeGsd(dir_.path().c_str(), *study_), kCannotWrite);
    EXPECT_EQ(writeGsd("", *study_), kCannotWrite);
    putFile(dir_.file("a.gsd"), "old", 0644);
    fs::create_hard_link(dir_.file("a.gsd"), dir_.file("b.gsd"));
    EXPECT_EQ(writeGsd(dir_.file("a.gsd").c_str(), *study_), kWritten);
    EXPECT_EQ(readFile(dir_.file("b.gsd")), expected_);  // same inode, written in place
    EXPECT_EQ(entries(dir_.path()), (std::set<std::string>{"a.gsd", "b.gsd"}));
}

TEST_F(GsdReplace, UnprivilegedReadOnlyDirectoryReadOnlyFileAndStickyDirectory) {
    fs::create_directory(dir_.file("ro"));
    putFile(dir_.file("ro/out.gsd"), "old", 0666);
    putFile(dir_.file("ro/locked.gsd"), "old", 0444);
    ::chmod(dir_.file("ro").c_str(), 0555);
    Study& study = *study_;
    EXPECT_EQ(inChild([&] { return int(writeGsd(dir_.file("ro/out.gsd").c_str(), study)); }, true), 0);
    EXPECT_EQ(readFile(dir_.file("ro/out.gsd")), expected_);  // in place
    ::chmod(dir_.file("ro").c_str(), 0777);
    EXPECT_EQ(inChild([&] { return int(writeGsd(dir_.file("ro/locked.gsd").c_str(), study)); }, true), 1);
    EXPECT_EQ(readFile(dir_.file("ro/locked.gsd")), "old");
    EXPECT_EQ(entries(dir_.file("ro")), (std::set<std::string>{"locked.gsd", "out.gsd"}));
    if (::geteuid() != 0) GTEST_SKIP() << "the sticky-directory case needs a second user (run as root)";
    ::chmod(dir_.file("ro").c_str(), 01777);  // nobody may create the temporary but not rename over root's file
    putFile(dir_.file("ro/out.gsd"), "old", 0666);
    EXPECT_EQ(inChild([&] { return int(writeGsd(dir_.file("ro/out.gsd").c_str(), study)); }, true), 0);
    EXPECT_EQ(readFile(dir_.file("ro/out.gsd")), expected_);
    EXPECT_EQ(statOf(dir_.file("ro/out.gsd")).st_uid, 0u);
    EXPECT_EQ(entries(dir_.file("ro")), (std::set<std::string>{"locked.gsd", "out.gsd"}));
}

TEST_F(GsdReplace, FailedWriteLeavesTheOldFileAndNoTemporary) {
    const std::string out = dir_.file("out.gsd");
    putFile(out, "old", 0644);
    const int result = inChild([&] {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{10000, 10000};  // the file size limit stands in for a full disk
        ::setrlimit(RLIMIT_FSIZE, &limit);
        return int(writeGsd(out.c_str(), *study_));
    }, false);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(readFile(out), "old");
    EXPECT_EQ(entries(dir_.path()), std::set<std::string>{"out.gsd"});
}

}  // namespace
}  // namespace trevik::test
