// What the receiving node promises of the files it stores: written only
// inside its inbox and keep folder whatever a member of the inbox's group
// planted there, on the disk before the answer, readable by the node's
// user and group only, and a resend logged as a replacement.
#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <fstream>
#include <sstream>

#include "tests/app/dicom/node_fixture.h"

namespace trevik::test {
namespace {

// A user and a group that the system does not know: the inbox's group and
// a member of it, made by the test for it.
std::pair<uid_t, gid_t> unknownUserAndGroup() {
    for (unsigned id = 61000; id < 62000; ++id)
        if (!::getpwuid(id) && !::getgrgid(id)) return {id, id};
    return {0, 0};
}

// Runs `plant` in a process of the user `uid` whose only group is `gid`;
// true when it returned true.
bool asMember(uid_t uid, gid_t gid, const std::function<bool()>& plant) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const bool done = ::setgroups(1, &gid) == 0 && ::setresgid(gid, gid, gid) == 0 &&
                          ::setresuid(uid, uid, uid) == 0 && plant();
        ::_exit(done ? 0 : 1);
    }
    return endOf(pid) == 0;
}

// Every entry under `folder` with its kind, size and content.
std::map<std::string, std::string> snapshot(const std::string& folder) {
    std::map<std::string, std::string> found;
    for (const auto& entry : fs::directory_iterator(folder)) {
        struct stat st {};
        ::lstat(entry.path().c_str(), &st);
        found[entry.path().filename()] = std::to_string(st.st_mode) + ":" + readFile(entry.path());
    }
    return found;
}

TEST(ReceiveStorage, LinksPlantedByAGroupMemberChangeNothingOutsideTheFolders) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a second user of the inbox's group";
    const auto [uid, gid] = unknownUserAndGroup();
    if (uid == 0) GTEST_SKIP() << "no free user and group number";
    privateNetwork();
    TempDir dir;
    const std::string dcm = synthesiseAndExport({"--frames", "8"}, dir, "one");
    const std::string other = synthesiseAndExport({"--frames", "8", "--id", "B2"}, dir, "two");
    // The service user's private folder, with a file the links point at.
    const std::string secret = dir.file("private");
    fs::create_directory(secret);
    ::chmod(secret.c_str(), 0700);
    std::ofstream(secret + "/study.gsd") << "private";
    const auto before = snapshot(secret);

    Node node({"--allow", "CAM", "--qc-pictures"}, freePort(), {false});
    for (const std::string& folder : {node.inbox(), node.keep()}) {
        ASSERT_EQ(::chown(folder.c_str(), 0, gid), 0);
        ASSERT_EQ(::chmod(folder.c_str(), 02770), 0);
    }
    const std::string name = instanceName("A123-45_20010514_102345_1", dcm);
    const std::string otherName = instanceName("B2_20010514_102345_1", other);
    const int inbox = ::open(node.inbox().c_str(), O_RDONLY | O_DIRECTORY);
    const int keep = ::open(node.keep().c_str(), O_RDONLY | O_DIRECTORY);
    // Every name of the set: one to a file there, one to a name not there
    // yet, one of a window this object does not have; and a folder at a
    // name of the other object.
    ASSERT_TRUE(asMember(uid, gid, [&] {
        return ::symlinkat((secret + "/study.gsd").c_str(), inbox, (name + ".gsd").c_str()) == 0 &&
               ::symlinkat((secret + "/new.png").c_str(), inbox, (name + ".qc.png").c_str()) == 0 &&
               ::symlinkat((secret + "/old.gsd").c_str(), inbox, (name + "-ew2.gsd").c_str()) == 0 &&
               ::symlinkat((secret + "/kept.dcm").c_str(), keep, (name + ".dcm").c_str()) == 0 &&
               ::mkdirat(inbox, (otherName + ".gsd").c_str(), 0770) == 0;
    }));
    ::close(inbox), ::close(keep);

    EXPECT_EQ(node.store("CAM", {dcm}).exitCode, 0) << node.log();
    const ProcessResult refused = node.store("CAM", {other});
    EXPECT_NE(refused.err.find("0xa700"), std::string::npos) << refused.err;
    EXPECT_EQ(snapshot(secret), before);
    for (const std::string& file : {node.inbox() + "/" + name + ".gsd", node.inbox() + "/" + name + ".qc.png",
                                    node.keep() + "/" + name + ".dcm"}) {
        struct stat st {};
        EXPECT_TRUE(::lstat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode)) << file;
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(node.inbox() + "/" + name + "-ew2.gsd")));
    EXPECT_TRUE(node.logs(name + ".gsd was a symbolic link, replaced as a name")) << node.log();
    EXPECT_TRUE(node.logs("removed " + name + "-ew2.gsd")) << node.log();
    EXPECT_TRUE(node.logs(otherName + ".gsd is a folder, which is not replaced")) << node.log();
}

TEST(ReceiveStorage, ModesAreTheNodesWhateverTheUmaskAndAResendIsAReplacement) {
    privateNetwork();
    TempDir dir;
    const std::string dcm = synthesiseAndExport({"--frames", "8"}, dir);
    const mode_t mask = ::umask(022);
    Node node({"--allow", "CAM", "--qc-pictures"}, freePort(), {false});
    Node open({"--allow", "CAM"});  // its folders made by the test: 0755
    ::umask(mask);
    EXPECT_TRUE(open.logs("warning: the inbox " + open.inbox() + " is readable by every local user (mode 0755)"))
        << open.log();
    EXPECT_FALSE(node.logs("warning")) << node.log();
    for (int i = 0; i < 2; ++i) ASSERT_EQ(node.store("CAM", {dcm}).exitCode, 0) << node.log();
    struct stat st {};
    for (const std::string& folder : {node.inbox(), node.keep()}) {
        ASSERT_EQ(::stat(folder.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 02770u) << folder;
        EXPECT_EQ(names(folder).size(), folder == node.inbox() ? 2u : 1u);
        for (const std::string& file : names(folder)) {
            ASSERT_EQ(::stat((folder + "/" + file).c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, 0640u) << file;
        }
    }
    const std::string name = instanceName("A123-45_20010514_102345_1", dcm);
    EXPECT_TRUE(node.logs("stored as " + name + ".gsd (replaced " + name + ".dcm, " + name + ".gsd, " + name +
                          ".qc.png)"))
        << node.log();
}

// The lines of an strace log of the node's connection process (-f -y).
struct Trace {
    std::vector<std::string> lines;
    // The index of the first line at or after `from` with all of `parts`;
    // lines.size() when there is none.
    std::size_t find(std::size_t from, std::initializer_list<std::string> parts) const {
        for (std::size_t i = from; i < lines.size(); ++i) {
            bool all = true;
            for (const std::string& part : parts) all = all && lines[i].find(part) != std::string::npos;
            if (all) return i;
        }
        return lines.size();
    }
};

TEST(ReceiveStorage, EveryFileAndFolderIsSyncedBeforeTheAnswer) {
    if (runProcess("strace", {"-V"}).exitCode != 0) GTEST_SKIP() << "no strace";
    privateNetwork();
    TempDir dir;
    const std::string dcm = synthesiseAndExport({"--frames", "8"}, dir);
    const std::string log = dir.file("strace.log");
    Node node({"--allow", "CAM", "--qc-pictures"}, freePort(),
              {true, {"strace", "-f", "-y", "-o", log, "-e", "trace=fsync,fdatasync,write,writev,sendmsg,sendto",
                      kTrevikDicom}});
    ASSERT_TRUE(node.logs("listening as NODE")) << node.log();
    ASSERT_EQ(node.store("CAM", {dcm}).exitCode, 0) << node.log();
    // strace with -o ignores SIGTERM: the node itself is stopped.
    std::istringstream children(readFile("/proc/" + std::to_string(node.pid()) + "/task/" +
                                         std::to_string(node.pid()) + "/children"));
    pid_t traced = 0;
    ASSERT_TRUE(children >> traced);
    ::kill(traced, SIGTERM);
    node.stop(0);
    Trace trace;
    std::istringstream text(readFile(log));
    for (std::string line; std::getline(text, line);) trace.lines.push_back(line);
    // The association's socket is the one its acceptance (A-ASSOCIATE-AC,
    // PDU type 2) is written to; its next write is the C-STORE answer.
    const std::size_t accept = trace.find(0, {"socket:[", ", \"\\2\\0\\0\\0"});
    ASSERT_LT(accept, trace.lines.size()) << readFile(log);
    const std::size_t at = trace.lines[accept].find("socket:[");
    const std::string socket = trace.lines[accept].substr(at, trace.lines[accept].find(']', at) - at + 1);
    const std::size_t answer = trace.find(accept + 1, {socket});
    ASSERT_LT(answer, trace.lines.size()) << readFile(log);
    const std::string name = instanceName("A123-45_20010514_102345_1", dcm);
    // A file is synced before its name: strace shows the unnamed file by
    // its inode number ("in/#123>(deleted)").
    for (const std::string& file : {node.inbox() + "/" + name + ".gsd", node.inbox() + "/" + name + ".qc.png",
                                    node.keep() + "/" + name + ".dcm"}) {
        struct stat st {};
        ASSERT_EQ(::stat(file.c_str(), &st), 0) << file;
        const std::string unnamed = std::string("#").append(std::to_string(st.st_ino));
        EXPECT_LT(std::min(trace.find(accept, {"fsync(", unnamed + ">"}), trace.find(accept, {"fsync(", unnamed + " "})),
                  answer)
            << file << "\n" << readFile(log);
    }
    for (const std::string& folder : {node.inbox(), node.keep()})
        EXPECT_LT(trace.find(accept, {"fsync(", "<" + folder + ">"}), answer) << folder << "\n" << readFile(log);
}

TEST(ReceiveStorage, AnotherInstanceWithTheSameNameGetsANumberedOne) {
    privateNetwork();
    TempDir dir;
    const std::string dcm = synthesiseAndExport({"--frames", "8"}, dir);
    Node node({"--allow", "CAM"});
    ASSERT_EQ(node.store("CAM", {dcm}).exitCode, 0) << node.log();
    const std::string name = instanceName("A123-45_20010514_102345_1", dcm);
    // As if another instance's UID had the same digest.
    if (::setxattr((node.inbox() + "/" + name + ".gsd").c_str(), "user.trevik.instance", "1.2.3", 5, 0) != 0)
        GTEST_SKIP() << "no extended attributes here";
    ASSERT_EQ(::setxattr((node.keep() + "/" + name + ".dcm").c_str(), "user.trevik.instance", "1.2.3", 5, 0), 0);
    ASSERT_EQ(node.store("CAM", {dcm}).exitCode, 0) << node.log();
    EXPECT_EQ(names(node.inbox()), (std::set<std::string>{name + ".gsd", name + "-2.gsd"}));
    EXPECT_EQ(names(node.keep()), (std::set<std::string>{name + ".dcm", name + "-2.dcm"}));
}

}  // namespace
}  // namespace trevik::test
