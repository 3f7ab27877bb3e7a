// trevik-dicom receive as cameras and a PACS meet it: the node started by
// the test on 127.0.0.1 (in a private network namespace when root), sent to
// with DCMTK's storescu and echoscu and by Orthanc, stopped by its process
// id. Every .gsd must equal `trevik-dicom import` of the object sent.
#include <gtest/gtest.h>

#include <sys/xattr.h>

#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "tests/app/dicom/dicom_fixtures.h"
#include "tests/app/dicom/pacs_fixture.h"
#include "tests/app/dicom/frame_vectors.h"
#include "tests/app/dicom/raw_association.h"
#include "tests/app/dicom/receive_fixture.h"
#include "tests/app/dicom/six_windows.h"
#include "dicom/uid.h"

namespace trevik::test {
namespace {

TEST(Receive, ParallelAssociationsEachGiveWhatImportGives) {
    privateNetwork();
    TempDir dir;
    Node node({"--allow", "CAM@127.0.0.1", "--max-associations", "4"});
    std::vector<std::string> ids = {"A1", "../B 2", "C\xC3\xA9", "D4"}, bases;
    std::vector<pid_t> senders;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const std::string name = std::string("s").append(std::to_string(i));
        const std::string dcm = synthesiseAndExport({"--id", ids[i], "--matrix", i % 2 ? "128" : "64"}, dir, name);
        ASSERT_EQ(runProcess(kTrevikDicom, {"import", dcm, dir.file(name + ".gsd")}).exitCode, 0);
        std::vector<std::string> args = node.storescu("CAM");
        args.insert(args.end(), {dcm, dcm, dcm});  // the same object three times: one set of files
        senders.push_back(spawn("storescu", args, dir.file(name + ".log")));
    }
    for (const pid_t sender : senders) EXPECT_EQ(endOf(sender), 0);
    std::map<std::string, std::string> expected;
    const std::vector<std::string> safe = {"A1", "_._B_2", "C__", "D4"};
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const std::string sent = dir.file(std::string("s").append(std::to_string(i)));
        std::string stored = instanceName(safe[i] + "_20010514_102345_1", sent + ".dcm");
        stored.append(".gsd");
        expected[stored] = sent + ".gsd";
    }
    expectFiles(node.inbox(), expected);
    EXPECT_EQ(node.stop(SIGINT), 0);
}

TEST(Receive, OnlyAllowedCallersMayStoreAndEchoIsAnswered) {
    privateNetwork();
    TempDir dir;
    const std::string dcm = synthesiseAndExport({"--frames", "8"}, dir);
    {
        Node nobody({});
        EXPECT_NE(nobody.log().find("no caller is allowed"), std::string::npos) << nobody.log();
        EXPECT_NE(runProcess("echoscu", nobody.storescu("CAM")).exitCode, 0);
    }
    Node node({"--allow", "CAM@127.0.0.1", "--allow", "PACS@127.0.0.9"});
    EXPECT_EQ(runProcess("echoscu", node.storescu("CAM")).exitCode, 0);
    EXPECT_NE(node.store("PACS", {dcm}).exitCode, 0);
    EXPECT_NE(node.store("OTHER", {dcm}).exitCode, 0);
    std::vector<std::string> wrongCalled = node.storescu("CAM");
    wrongCalled[3] = "ELSEWHERE";
    EXPECT_NE(runProcess("echoscu", wrongCalled).exitCode, 0);
    for (const char* line : {"C-ECHO from CAM@127.0.0.1 answered", "PACS from 127.0.0.1 is not allowed",
                             "OTHER from 127.0.0.1 is not allowed", "called ELSEWHERE, but this node is NODE"})
        EXPECT_NE(node.log().find(line), std::string::npos) << line << "\n" << node.log();
    EXPECT_TRUE(names(node.inbox()).empty() && names(node.keep()).empty());
}

TEST(Receive, AnObjectThatCannotBeConvertedFailsWithItsReasonAndIsOnlyKept) {
    privateNetwork();
    TempDir dir;
    const std::string dcm = synthesiseAndExport({"--frames", "8"}, dir);
    ASSERT_EQ(runProcess("dcmodify", {"-nb", "-m", "(0008,0008)=ORIGINAL\\PRIMARY\\STATIC\\EMISSION", dcm}).exitCode, 0);
    Node node({"--allow", "CAM"});
    const ProcessResult sent = node.store("CAM", {dcm});
    EXPECT_NE(sent.exitCode, 0);
    EXPECT_NE(sent.err.find("0xc000"), std::string::npos) << sent.err;
    EXPECT_NE(sent.err.find("ErrorComment"), std::string::npos) << sent.err;
    EXPECT_TRUE(names(node.inbox()).empty());
    const std::string kept = instanceName("A123-45_20010514_102345_1", dcm) + ".dcm";
    ASSERT_EQ(names(node.keep()), std::set<std::string>{kept});
    // The data set as it came, byte for byte.
    EXPECT_EQ(datasetBytes(node.keep() + "/" + kept), datasetBytes(dcm));
}

TEST(Receive, AnObjectOverTheSizeLimitAbortsItsAssociationAndLeavesNothing) {
    privateNetwork();
    TempDir dir;
    const std::string big = synthesiseAndExport({"--matrix", "128", "--frames", "64"}, dir, "big");  // 2 MiB
    const std::string small = synthesiseAndExport({"--frames", "8"}, dir, "small");
    EXPECT_NE(runProcess(kTrevikDicom, {"receive", "--aet", "NODE", "--port", "104", "--inbox", dir.path(),
                                        "--max-object-size", "0"})
                  .exitCode,
              0);
    Node node({"--allow", "CAM", "--max-object-size", "1"});
    EXPECT_NE(node.store("CAM", {big, small}).exitCode, 0);
    EXPECT_NE(node.log().find("not received: larger than 1 MiB"), std::string::npos) << node.log();
    EXPECT_TRUE(names(node.inbox()).empty() && names(node.keep()).empty());
    // The node goes on taking what fits.
    EXPECT_EQ(node.store("CAM", {small}).exitCode, 0) << node.log();
    EXPECT_EQ(names(node.inbox()).size(), 1u);
}

// A large object sent over and over; the node ended by `signal` while the
// first is on its way: whatever is in the inbox and the keep folder is
// whole; SIGTERM lets at most that first object land.
void endMidTransfer(int signal, int expectedEnd) {
    privateNetwork();
    TempDir dir;
    const std::string dcm = synthesiseAndExport({"--matrix", "128", "--divisions", "16", "--frames", "64"}, dir);
    ASSERT_EQ(runProcess(kTrevikDicom, {"import", dcm, dir.file("study.gsd")}).exitCode, 0);
    Node node({"--allow", "CAM"});
    std::vector<std::string> args = node.storescu("CAM");
    args.insert(args.begin(), "-v");
    args.insert(args.end(), 10, dcm);
    const pid_t sender = spawn("storescu", args, dir.file("storescu.log"));
    waitFor([&] { return readFile(dir.file("storescu.log")).find("Sending Store Request") != std::string::npos; }, 30);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(node.stop(signal), expectedEnd) << node.log();
    EXPECT_NE(endOf(sender), 0);
    const std::set<std::string> kept = names(node.keep()), stored = names(node.inbox());
    if (signal == SIGTERM) {
        // The first object lands when the node had begun to take it, and is
        // refused when the signal came first; nothing after it is taken.
        // (The ten are one instance, so the log counts what was stored.)
        const std::string log = node.log();
        std::size_t landed = 0;
        for (std::size_t at = log.find(", stored as "); at != std::string::npos; at = log.find(", stored as ", at + 1))
            ++landed;
        EXPECT_LE(landed, 1u) << log;
        EXPECT_EQ(stored.size(), landed) << log;
        EXPECT_EQ(kept.size(), stored.size()) << log;
        // What landed was answered.
        if (landed == 1) {
            EXPECT_NE(readFile(dir.file("storescu.log")).find("Received Store Response (Success)"), std::string::npos);
        }
        EXPECT_NE(log.find("stopped"), std::string::npos) << log;
    }
    DcmFileFormat original;
    ASSERT_TRUE(original.loadFile(dcm.c_str()).good());
    for (const std::string& name : kept) {
        DcmFileFormat copy;
        ASSERT_TRUE(copy.loadFile((node.keep() + "/" + name).c_str()).good()) << name;
        expectSameDataset(*original.getDataset(), *copy.getDataset());
    }
    for (const std::string& name : stored) EXPECT_EQ(readFile(node.inbox() + "/" + name), readFile(dir.file("study.gsd")));
}

TEST(Receive, SigtermMidTransferEndsWithZeroAndLeavesNoPartialFile) { endMidTransfer(SIGTERM, 0); }

TEST(Receive, SigkillLeavesOnlyCompleteFiles) { endMidTransfer(SIGKILL, 128 + SIGKILL); }

TEST(Receive, OrthancPushesAStudyThatArrivesAsAGsd) {
    const int port = freePort();
    Pacs pacs("\"DicomModalities\":{\"node\":[\"NODE\",\"127.0.0.1\"," + std::to_string(port) + "]},");
    ASSERT_TRUE(pacs.ready()) << readFile(pacs.dir().file("orthanc.log"));
    TempDir dir;
    const std::string dcm = synthesiseAndExport({"--divisions", "8", "--frames", "32"}, dir);
    ASSERT_EQ(runProcess(kTrevikDicom, {"send", "--to", pacs.to(), dcm}).exitCode, 0);
    ASSERT_EQ(pacs.instances().size(), 1u);
    Node node({"--allow", "TESTPACS@127.0.0.1"}, port);
    const std::string pushed = pacs.post("/modalities/node/store", "[\"" + pacs.instances()[0] + "\"]");
    waitFor([&] { return !names(node.keep()).empty(); }, 30);
    const std::string name = instanceName("A123-45_20010514_102345_1", dcm);
    EXPECT_EQ(names(node.keep()), std::set<std::string>{name + ".dcm"}) << node.log();
    EXPECT_FALSE(pushed.empty());
    ASSERT_EQ(runProcess(kTrevikDicom, {"import", dcm, dir.file("study.gsd")}).exitCode, 0);
    expectFiles(node.inbox(), {{name + ".gsd", dir.file("study.gsd")}});
}

TEST(Receive, SlowAndSilentPeersDelayNoOne) {
    privateNetwork();
    Node node({"--allow", "ECHO"});
    std::vector<std::unique_ptr<RawAssociation>> slow;
    const std::vector<std::uint8_t> request = RawAssociation::request("SLOW", "NODE");
    for (int i = 0; i < 3; ++i) {
        slow.push_back(std::make_unique<RawAssociation>("127.0.0.1", "127.0.0.1", node.port()));
        // The request's header and one byte more; the next would be due in 5 s.
        ASSERT_TRUE(slow.back()->send({request.begin(), request.begin() + 7}));
    }
    RawAssociation silent("127.0.0.1", "127.0.0.1", node.port());
    const auto start = std::chrono::steady_clock::now();
    RawAssociation other("127.0.0.2", "127.0.0.1", node.port());
    EXPECT_TRUE(other.associate("ECHO", "NODE") && other.echo()) << node.log();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    // The whole request has a deadline, however the bytes trickle.
    for (int i = 0; i < 3 && !node.logs("not complete within 10 s"); ++i) {
        std::this_thread::sleep_for(std::chrono::seconds(5));
        for (auto& peer : slow) peer->send({request[7 + static_cast<std::size_t>(i)]});
    }
    waitFor([&] { return node.logs("not complete within 10 s"); }, 5);
    EXPECT_EQ(slow[0]->readPdu(), -1);
    EXPECT_TRUE(node.logs("association request from 127.0.0.1 not read: not complete within 10 s")) << node.log();
}

TEST(Receive, OneHostCannotTakeEverySlot) {
    privateNetwork();
    Node node({"--allow", "ECHO"});
    std::vector<std::unique_ptr<RawAssociation>> held;
    for (int i = 0; i < 4; ++i) {
        held.push_back(std::make_unique<RawAssociation>("127.0.0.1", "127.0.0.1", node.port()));
        ASSERT_TRUE(held.back()->associate("ECHO", "NODE")) << node.log();
    }
    RawAssociation fifth("127.0.0.1", "127.0.0.1", node.port());
    EXPECT_TRUE(fifth.send(RawAssociation::request("ECHO", "NODE")));
    EXPECT_EQ(fifth.readPdu(), 0x03);  // A-ASSOCIATE-RJ
    RawAssociation other("127.0.0.2", "127.0.0.1", node.port());
    EXPECT_TRUE(other.associate("ECHO", "NODE") && other.echo()) << node.log();
    EXPECT_TRUE(node.logs("4 associations already open from 127.0.0.1 (--max-per-host)")) << node.log();
}

TEST(Receive, AnObjectThatTricklesEndsAtItsDeadline) {
    privateNetwork();
    Node node({"--allow", "CAM", "--object-timeout", "2"});
    RawAssociation slow("127.0.0.1", "127.0.0.1", node.port());
    ASSERT_TRUE(slow.associate("CAM", "NODE", "1.2.840.10008.5.1.4.1.1.20"));
    ASSERT_TRUE(slow.storeCommand("1.2.840.10008.5.1.4.1.1.20", "1.2.3.4"));
    ASSERT_TRUE(slow.send(RawAssociation::pdv({0x08, 0x00}, 0x00)));  // the data set's first bytes, then nothing
    EXPECT_EQ(slow.readPdu(), -1);  // the node ends the association (before this client's own 10 s)
    waitFor([&] { return node.logs("not whole within 2 s (--object-timeout)"); }, 5);
    EXPECT_TRUE(node.logs("not whole within 2 s (--object-timeout)")) << node.log();
}

TEST(Receive, ListensOnlyOnTheAddressGiven) {
    privateNetwork();
    Node node({"--allow", "ECHO", "--listen", "127.0.0.2"});
    RawAssociation there("127.0.0.1", "127.0.0.2", node.port());
    EXPECT_TRUE(there.associate("ECHO", "NODE") && there.echo()) << node.log();
    EXPECT_FALSE(RawAssociation("127.0.0.1", "127.0.0.1", node.port()).connected());
    EXPECT_NE(runProcess(kTrevikDicom, {"receive", "--aet", "N", "--port", "104", "--inbox", ".", "--listen", "host"})
                  .exitCode,
              0);
}

TEST(Receive, LongIdentifiersAreStored) {
    privateNetwork();
    TempDir dir;
    const std::string dcm = synthesiseAndExport({"--frames", "8"}, dir);
    const std::string id(64, 'I');
    ASSERT_EQ(runProcess("dcmodify", {"-nb", "-m", "(0010,0020)=" + id, "-m", "(0020,0011)=123456789012", "-m",
                                      "(0008,0030)=235959.999999", dcm})
                  .exitCode,
              0);
    Node node({"--allow", "CAM"});
    EXPECT_EQ(node.store("CAM", {dcm}).exitCode, 0) << node.log();
    EXPECT_EQ(names(node.inbox()),
              std::set<std::string>{instanceName(id + "_20010514_235959.999999_123456789012", dcm) + ".gsd"});
}

TEST(Receive, AnotherInstanceWithTheSameNameGetsANumberedOne) {
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

TEST(Receive, AnObjectNestedDeeperThanAParserSurvivesIsRefused) {
    privateNetwork();
    Node node({"--allow", "CAM"});
    // 20,000 sequences, each in the item of the one before, all of undefined length.
    std::vector<std::uint8_t> nested;
    const std::vector<std::uint8_t> open = {0x08, 0x00, 0x40, 0x11, 0xFF, 0xFF, 0xFF, 0xFF,   // (0008,1140) SQ
                                            0xFE, 0xFF, 0x00, 0xE0, 0xFF, 0xFF, 0xFF, 0xFF};  // item
    const std::vector<std::uint8_t> close = {0xFE, 0xFF, 0x0D, 0xE0, 0, 0, 0, 0,   // item end
                                             0xFE, 0xFF, 0xDD, 0xE0, 0, 0, 0, 0};  // sequence end
    for (int i = 0; i < 20000; ++i) nested.insert(nested.end(), open.begin(), open.end());
    for (int i = 0; i < 20000; ++i) nested.insert(nested.end(), close.begin(), close.end());
    {
        RawAssociation bomb("127.0.0.1", "127.0.0.1", node.port());
        ASSERT_TRUE(bomb.associate("CAM", "NODE", "1.2.840.10008.5.1.4.1.1.20"));
        // Refused with a failure status by the scan before DCMTK parses it.
        EXPECT_EQ(bomb.store("1.2.840.10008.5.1.4.1.1.20", "1.2.3.4", nested), 0x04) << node.log();
    }
    waitFor([&] { return node.logs("sequences nested deeper than 16 (status 0xC000)"); }, 5);
    EXPECT_TRUE(node.logs("sequences nested deeper than 16 (status 0xC000)")) << node.log();
    EXPECT_TRUE(names(node.inbox()).empty()) << node.log();
    RawAssociation other("127.0.0.2", "127.0.0.1", node.port());
    EXPECT_TRUE(other.associate("CAM", "NODE") && other.echo()) << node.log();
}

// Each association may use 32 MiB: a deflated object that inflates to
// 32 MiB and a command set of 300 MiB each end in their own association.
TEST(Receive, MemoryBombsEndOnlyTheirOwnAssociation) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "a build with AddressSanitizer has no memory limit per association";
#endif
    privateNetwork();
    TempDir dir;
    const std::string big = synthesiseAndExport({"--matrix", "128", "--divisions", "16", "--frames", "64"}, dir);
    ASSERT_EQ(runProcess("dcmconv", {"+td", big, dir.file("deflated.dcm")}).exitCode, 0);
    ASSERT_LT(fs::file_size(dir.file("deflated.dcm")), 4u << 20);
    Node node({"--allow", "CAM", "--max-memory", "64", "--max-associations", "2"});
    const ProcessResult sent = node.store("CAM", {dir.file("deflated.dcm")});
    EXPECT_NE(sent.err.find("0xc000"), std::string::npos) << sent.err;
    EXPECT_TRUE(node.logs("not enough memory for one association")) << node.log();
    {
        RawAssociation bomb("127.0.0.1", "127.0.0.1", node.port());
        ASSERT_TRUE(bomb.associate("CAM", "NODE"));
        // A command element of 300 MiB, in fragments never marked last.
        std::vector<std::uint8_t> bytes(16000, 0);
        bytes[2] = 0x02, bytes[7] = 0x12, bytes[6] = 0xC0;
        for (int i = 0; i < 1280 && bomb.send(RawAssociation::pdv(bytes, 0x01)); ++i) bytes.assign(16000, 0);
        const int answer = bomb.readPdu();
        EXPECT_TRUE(answer == -1 || answer == 0x07) << answer;  // closed, or A-ABORT
    }
    EXPECT_TRUE(node.logs("Virtual Memory exhausted")) << node.log();
    RawAssociation other("127.0.0.2", "127.0.0.1", node.port());
    EXPECT_TRUE(other.associate("CAM", "NODE") && other.echo()) << node.log();
}

}  // namespace
}  // namespace trevik::test
