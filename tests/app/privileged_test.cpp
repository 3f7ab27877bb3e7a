// Batch runs that need root powers to set up: an output the running user
// cannot write (root can write any file, so the run is made as an
// unprivileged user), and disks that fill up or have no room to begin with.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/app/fixtures.h"

namespace trevik::test {
namespace {

namespace fs = std::filesystem;

// A directory directly under /tmp that every user may enter and read,
// removed with its content at the end. (The test's own temporary directory
// may lie below a private one.)
class SharedDir {
public:
    SharedDir() {
        char pattern[] = "/tmp/trevik-shared-XXXXXX";
        if (::mkdtemp(pattern)) {
            path_ = pattern;
            ::chmod(pattern, 0755);
        }
    }
    ~SharedDir() {
        std::error_code ec;
        if (!path_.empty()) fs::remove_all(path_, ec);
    }
    SharedDir(const SharedDir&) = delete;
    SharedDir& operator=(const SharedDir&) = delete;
    bool ok() const { return !path_.empty(); }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Mounts a small tmpfs on a directory and unmounts it on every path.
class SmallDisk {
public:
    // `limits`: tmpfs options such as "size=256k" or "nr_inodes=2".
    SmallDisk(const std::string& where, const char* limits) : where_(where) {
        fs::create_directory(where_);
        const std::string options = std::string(limits) + ",mode=0755";
        if (::mount("tmpfs", where_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0)
            mounted_ = true;
        else
            error_ = std::strerror(errno);
    }
    ~SmallDisk() {
        if (mounted_ && ::umount2(where_.c_str(), 0) != 0) ::umount2(where_.c_str(), MNT_DETACH);
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;
    bool mounted() const { return mounted_; }
    const std::string& error() const { return error_; }

private:
    std::string where_;
    bool mounted_ = false;
    std::string error_;
};

void setOwner(const std::string& path, uid_t uid, gid_t gid, mode_t mode) {
    ASSERT_EQ(::chown(path.c_str(), uid, gid), 0) << path;
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

TEST(BatchRunAsUser, ReadOnlyOutputGivesOneAndStaysUntouched) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the program as another user";
    const passwd* nobody = ::getpwnam("nobody");
    const group* nogroup = ::getgrnam("nogroup");
    if (!nobody || !nogroup) GTEST_SKIP() << "no user nobody or group nogroup";
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nogroup->gr_gid;

    SharedDir shared;
    ASSERT_TRUE(shared.ok());
    // The program and the source where the user can read them.
    const std::string program = shared.file("trevik");
    fs::copy_file(kTrevik, program);
    ::chmod(program.c_str(), 0755);
    const std::string source = saveStudy(gated64(), shared.file("rest.prj"));
    ::chmod(source.c_str(), 0644);
    // An output directory the user may write: a program that replaced the
    // output by renaming a new file over it would succeed here, so the test
    // shows that a read-only file is refused, not merely a locked directory.
    const std::string out = shared.file("out");
    fs::create_directory(out);
    setOwner(out, uid, gid, 0755);

    auto runAsNobody = [&](const std::string& output) {
        return runProcess("setpriv", {"--reuid=" + std::to_string(uid), "--regid=" + std::to_string(gid),
                                      "--clear-groups", program, source, output});
    };

    // The user can convert into that directory at all.
    ProcessResult r = runAsNobody(out + "/fresh.gsd");
    if (!r.started) GTEST_SKIP() << "setpriv cannot be started";
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(fileExists(out + "/fresh.gsd"));

    // Read-only outputs, one the user owns and one root owns.
    const std::string previous = "previous output, read-only\n";
    const struct {
        std::string name;
        uid_t owner;
        gid_t group;
    } outputs[] = {{"own.gsd", uid, gid}, {"roots.gsd", 0, 0}};
    for (const auto& o : outputs) {
        SCOPED_TRACE(o.name);
        const std::string path = out + "/" + o.name;
        writeText(path, previous);
        setOwner(path, o.owner, o.group, 0444);
        const auto before = listDirectory(out);
        struct stat was {};
        ASSERT_EQ(::stat(path.c_str(), &was), 0);

        r = runAsNobody(path);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "trevik: " + path + ": the output cannot be written: Permission denied\n");
        EXPECT_EQ(readFile(path), previous);
        struct stat now {};
        ASSERT_EQ(::stat(path.c_str(), &now), 0);
        EXPECT_EQ(now.st_ino, was.st_ino);
        EXPECT_EQ(now.st_uid, o.owner);
        EXPECT_EQ(now.st_mode & 07777, 0444u);
        EXPECT_EQ(listDirectory(out), before);
    }
}

TEST(BatchRunOnFullDisk, LeavesTheOldOutputAndNoTemporaryFile) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a small tmpfs";
    TempDir dir;
    const std::string source = saveStudy(gated64(), dir.file("rest.prj"));
    const std::string disk = dir.file("disk");
    // 256 KiB: room for the old output and the start of the new one, far
    // from room for the 2 MiB the new output needs.
    SmallDisk small(disk, "size=256k");
    if (!small.mounted()) GTEST_SKIP() << "cannot mount a tmpfs: " << small.error();

    const std::string old = std::string(64 * 1024, 'o') + "end of the old output";
    const std::string existing = disk + "/rest.gsd";
    writeText(existing, old);
    ASSERT_EQ(readFile(existing), old);

    ProcessResult r = runTrevik({source, existing});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "trevik: " + existing + ": the output cannot be written: No space left on device\n");
    EXPECT_EQ(readFile(existing), old);
    EXPECT_EQ(listDirectory(disk), std::vector<std::string>{"rest.gsd"});

    // A new output that does not fit leaves nothing behind either.
    r = runTrevik({source, disk + "/new.gsd"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(listDirectory(disk), std::vector<std::string>{"rest.gsd"});

    // A hard-linked output, written in place: no room for its new length,
    // so not a byte of it changes.
    fs::create_hard_link(existing, disk + "/link.gsd");
    EXPECT_EQ(runTrevik({source, existing}).exitCode, 1);
    EXPECT_EQ(readFile(existing), old);
    fs::remove(disk + "/link.gsd");

    // No inode for the temporary: 1, and no rewrite in place either.
    SmallDisk noInodes(dir.file("no-inodes"), "nr_inodes=2");  // the root directory and the old output
    ASSERT_TRUE(noInodes.mounted()) << noInodes.error();
    writeText(dir.file("no-inodes/rest.gsd"), old);
    EXPECT_EQ(runTrevik({source, dir.file("no-inodes/rest.gsd")}).exitCode, 1);
    EXPECT_EQ(readFile(dir.file("no-inodes/rest.gsd")), old);

    // With the old output gone there is room: the disk itself works.
    fs::remove(existing);
    synth::StudyPlan small64 = gated64();
    small64.images = 16;
    const std::string smallSource = saveStudy(small64, dir.file("small.prj"));
    r = runTrevik({smallSource, disk + "/small.gsd"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(listDirectory(disk), std::vector<std::string>{"small.gsd"});
}

}  // namespace
}  // namespace trevik::test
