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

#include "tests/app/dicom/certificates.h"
#include "tests/app/dicom/dicom_fixtures.h"
#include "tests/app/dicom/node_fixture.h"
#include "tests/app/dicom/pacs_fixture.h"
#include "tests/app/dicom/frame_vectors.h"
#include "tests/app/dicom/raw_association.h"
#include "tests/app/dicom/six_windows.h"
#include "dicom/uid.h"

namespace trevik::test {
namespace {

namespace fs = std::filesystem;

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
    // In explicit VR behind an element whose VR bytes "xs" give it a 2-byte
    // length (its value reads as a length of 2 GB in the long form): an answer.
    std::vector<std::uint8_t> hidden = {0x09, 0x00, 0x10, 0x00, 'x', 's', 4, 0, 0xF0, 0xFF, 0xFF, 0x7F};
    const std::vector<std::uint8_t> level = {0x08, 0x00, 0x40, 0x11, 'S', 'Q', 0, 0, 0xFF, 0xFF, 0xFF, 0xFF,
                                             0xFE, 0xFF, 0x00, 0xE0, 0xFF, 0xFF, 0xFF, 0xFF};
    for (int i = 0; i < 20000; ++i) hidden.insert(hidden.end(), level.begin(), level.end());
    {
        RawAssociation bomb("127.0.0.1", "127.0.0.1", node.port());
        ASSERT_TRUE(bomb.associate("CAM", "NODE", "1.2.840.10008.5.1.4.1.1.20", "1.2.840.10008.1.2.1"));
        EXPECT_EQ(bomb.store("1.2.840.10008.5.1.4.1.1.20", "1.2.3.5", hidden), 0x04) << node.log();
    }
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

TEST(Receive, WithTlsOnlyPeersWithACertificateOfTheAuthorityStore) {
    privateNetwork();
    TempDir dir;
    for (const char* name : {"ca", "NODE", "GAMMACAM"}) makeCertificate(dir, name);
    const std::string dcm = synthesiseAndExport({"--frames", "8"}, dir);
    Node node({"--tls-key", dir.file("NODE.key"), "--tls-cert", dir.file("NODE.crt"), "--tls-ca", dir.file("ca.crt"),
               "--allow", "cn=GAMMACAM"});
    ASSERT_TRUE(node.logs("(DICOM TLS only)")) << node.log();
    const auto store = [&](const std::vector<std::string>& tls) {
        std::vector<std::string> args = tls;
        for (const std::string& arg : node.storescu("ANYNAME")) args.push_back(arg);
        args.push_back(dcm);
        return runProcess("storescu", args).exitCode;
    };
    EXPECT_NE(store({}), 0);  // plain
    EXPECT_NE(store({"+tla", "+cf", dir.file("ca.crt")}), 0);  // no certificate of its own
    EXPECT_TRUE(names(node.inbox()).empty());
    EXPECT_EQ(store({"+tls", dir.file("GAMMACAM.key"), dir.file("GAMMACAM.crt"), "+cf", dir.file("ca.crt")}), 0)
        << node.log();
    EXPECT_EQ(names(node.inbox()).size(), 1u) << node.log();
}

TEST(Receive, OrthancPushesAStudyOverTls) {
    TempDir dir;
    for (const char* name : {"ca", "NODE", "TESTPACS"}) makeCertificate(dir, name);
    const int port = freePort();
    Pacs pacs(tlsPacsSettings(dir, port));
    ASSERT_TRUE(pacs.ready()) << readFile(pacs.dir().file("orthanc.log"));
    const std::string dcm = synthesiseAndExport({"--frames", "8"}, dir);
    const std::string to = pacs.to();
    ASSERT_EQ(runProcess("storescu", {"+tls", dir.file("NODE.key"), dir.file("NODE.crt"), "+cf", dir.file("ca.crt"),
                                      "-aec", "TESTPACS", "127.0.0.1", to.substr(to.rfind(':') + 1), dcm})
                  .exitCode,
              0);
    ASSERT_EQ(pacs.instances().size(), 1u);
    Node node({"--tls-key", dir.file("NODE.key"), "--tls-cert", dir.file("NODE.crt"), "--tls-ca", dir.file("ca.crt"),
               "--allow", "cn=TESTPACS"},
              port);
    EXPECT_FALSE(pacs.post("/modalities/node/store", "[\"" + pacs.instances()[0] + "\"]").empty()) << node.log();
    waitFor([&] { return !names(node.inbox()).empty(); }, 30);
    EXPECT_EQ(names(node.inbox()), std::set<std::string>{instanceName("A123-45_20010514_102345_1", dcm) + ".gsd"})
        << node.log();
}

// A camera's six-window object of one instance, sent three times: without
// a nuclide code every window is a file of the set, with 201Tl coded only
// the windows that hold one of its photopeaks (70 and 167 keV, and 135 keV
// in 134-150), and with a window chosen for its caller that one alone;
// each resend replaces the set, the quality control's pages with it.
TEST(Receive, EachPhotopeakWindowIsAFileOfTheInstancesSet) {
    privateNetwork();
    TempDir dir;
    const std::string dcm = synthesiseAndExport({"--matrix", "64", "--divisions", "0", "--frames", "60"}, dir);
    ASSERT_TRUE(saveSixWindows(dcm, dir.file("six.dcm")));
    const std::string code = "(0054,0016)[0].(0054,0300)[0].";
    const std::string thallium =
        modified(dir.file("six.dcm"), dir.file("tl.dcm"), {"-m", code + "(0008,0100)=60057003", "-m",
                                                           code + "(0008,0104)=^201^Thallium"});
    const std::string none = modified(dir.file("six.dcm"), dir.file("none.dcm"), {"-e", "(0054,0016)[0].(0054,0300)"});
    Node node({"--allow", "CAM", "--allow", "CAM2", "--energy-window", "CAM2=3", "--qc", "--qc-pictures"});
    const std::string name = instanceName("A123-45_20010514_102345_1", dcm);
    auto expectWindows = [&](const std::string& sent, const std::vector<int>& windows) {
        std::map<std::string, std::string> expected;
        for (const int w : windows) {
            const std::string n = std::to_string(w), gsd = dir.file(n + ".gsd");
            fs::remove(gsd);
            ASSERT_EQ(runProcess(kTrevikDicom, {"import", "--energy-window", n, sent, gsd}).exitCode, 0);
            expected[name + "-ew" + n + ".gsd"] = gsd;
        }
        std::set<std::string> files;
        for (const auto& [gsd, from] : expected) files.insert(gsd), files.insert(gsd.substr(0, gsd.size() - 4) + ".qc.png");
        EXPECT_EQ(names(node.inbox()), files) << node.log();
        for (const auto& [gsd, from] : expected) EXPECT_EQ(readFile(node.inbox() + "/" + gsd), readFile(from)) << gsd;
    };
    ASSERT_EQ(node.store("CAM", {none}).exitCode, 0) << node.log();
    expectWindows(none, {1, 2, 3, 4, 5, 6});
    EXPECT_TRUE(node.logs("qc " + name + "-ew6.gsd: ")) << node.log();
    ASSERT_EQ(node.store("CAM", {thallium}).exitCode, 0) << node.log();
    expectWindows(thallium, {1, 2, 5});

    ASSERT_EQ(node.store("CAM2", {thallium}).exitCode, 0) << node.log();
    ASSERT_EQ(runProcess(kTrevikDicom, {"import", "--energy-window", "3", thallium, dir.file("3.gsd")}).exitCode, 0);
    EXPECT_EQ(names(node.inbox()), (std::set<std::string>{name + ".gsd", name + ".qc.png"})) << node.log();
    EXPECT_EQ(readFile(node.inbox() + "/" + name + ".gsd"), readFile(dir.file("3.gsd")));
    EXPECT_TRUE(node.logs("qc " + name + ".gsd: ")) << node.log();

    // Window 3 with a view twice: the windows written before it go again,
    // and the set stays as it was.
    DcmFileFormat broken;
    ASSERT_TRUE(broken.loadFile(none.c_str()).good());
    const Uint16* views = nullptr;
    unsigned long count = 0;
    ASSERT_TRUE(broken.getDataset()->findAndGetUint16Array(DCM_AngularViewVector, views, &count).good() && count == 360);
    std::vector<Uint16> twice(views, views + count);
    twice[121] = twice[120];
    broken.getDataset()->putAndInsertUint16Array(DCM_AngularViewVector, twice.data(), twice.size());
    ASSERT_TRUE(broken.saveFile(dir.file("broken.dcm").c_str(), EXS_LittleEndianExplicit).good());
    EXPECT_NE(node.store("CAM", {dir.file("broken.dcm")}).err.find("0xc000"), std::string::npos) << node.log();
    EXPECT_EQ(names(node.inbox()), (std::set<std::string>{name + ".gsd", name + ".qc.png"})) << node.log();
    const std::string log = node.log(), ew2 = "qc " + name + "-ew2.gsd: ";
    std::size_t written = 0;
    for (std::size_t at = log.find(ew2); at != std::string::npos; at = log.find(ew2, at + 1)) ++written;
    EXPECT_EQ(written, 3u) << log;  // written for the broken object, then removed
}

// A gated object with two R-R intervals: a file for each, or the one the
// caller's option takes.
TEST(Receive, EachRrIntervalIsAFileOfItsOwn) {
    privateNetwork();
    TempDir dir;
    const std::string dcm = synthesiseAndExport({"--matrix", "64", "--divisions", "4", "--frames", "8"}, dir);
    rewrite(dcm, dir.file("rr.dcm"),
            [](DcmDataset& d, std::vector<Uint16>& p, long n) { doubleFrames(d, p, n, DCM_RRIntervalVector); });
    for (const char* n : {"1", "2"})
        ASSERT_EQ(runProcess(kTrevikDicom, {"import", "--rr-interval", n, dir.file("rr.dcm"), dir.file(std::string(n) + ".gsd")})
                      .exitCode,
                  0);
    Node node({"--allow", "CAM", "--allow", "CAM2", "--rr-interval", "CAM2=2"});
    const std::string name = instanceName("A123-45_20010514_102345_1", dcm);
    ASSERT_EQ(node.store("CAM", {dir.file("rr.dcm")}).exitCode, 0) << node.log();
    expectFiles(node.inbox(), {{name + "-rr1.gsd", dir.file("1.gsd")}, {name + "-rr2.gsd", dir.file("2.gsd")}});
    ASSERT_EQ(node.store("CAM2", {dir.file("rr.dcm")}).exitCode, 0) << node.log();
    expectFiles(node.inbox(), {{name + ".gsd", dir.file("2.gsd")}});
}

// The node offers the syntaxes the reader decodes: a JPEG 2000 lossless
// copy gives the .gsd of the uncompressed object; JPEG baseline is not
// taken, so the sender falls back to an uncompressed one. An object
// flagged lossy is refused and kept; one in a character set that used to
// end the process is stored.
TEST(Receive, TransferSyntaxesTakenAreThoseTheReaderDecodes) {
    privateNetwork();
    TempDir dir;
    const std::string dcm = synthesiseAndExport({"--frames", "8"}, dir);
    ASSERT_EQ(runProcess(kTrevikDicom, {"import", dcm, dir.file("ref.gsd")}).exitCode, 0);
    const std::string name = instanceName("A123-45_20010514_102345_1", dcm);
    Node node({"--allow", "CAM"});
    ASSERT_EQ(runProcess("gdcmconv", {"--j2k", dcm, dir.file("j2k.dcm")}).exitCode, 0);
    const ProcessResult j2k = node.store("CAM", {dir.file("j2k.dcm")}, {"-xv"});
    ASSERT_EQ(j2k.exitCode, 0) << node.log() << j2k.err;
    expectFiles(node.inbox(), {{name + ".gsd", dir.file("ref.gsd")}});

    const ProcessResult jpeg = node.store("CAM", {dcm}, {"-xy"});
    EXPECT_EQ(jpeg.exitCode, 0) << jpeg.err;
    EXPECT_NE(jpeg.err.find("(Transfer Syntaxes Not Supported)\nD:     Abstract Syntax: =NuclearMedicineImageStorage"),
              std::string::npos)
        << jpeg.err;
    expectFiles(node.inbox(), {{name + ".gsd", dir.file("ref.gsd")}});

    const std::string lossy = modified(dcm, dir.file("lossy.dcm"), {"-i", "(0028,2110)=01"});
    const ProcessResult refused = node.store("CAM", {lossy});
    EXPECT_NE(refused.err.find("0xc000"), std::string::npos) << refused.err;
    // The same instance: its earlier .gsd stays, the object kept is this one.
    EXPECT_EQ(names(node.inbox()), std::set<std::string>{name + ".gsd"}) << node.log();
    EXPECT_EQ(names(node.keep()), std::set<std::string>{name + ".dcm"});

    const std::string latin2 = modified(dcm, dir.file("latin2.dcm"), {"-i", "(0008,0005)=ISO_IR 101"});
    ASSERT_EQ(node.store("CAM", {latin2}).exitCode, 0) << node.log();
    expectFiles(node.inbox(), {{name + ".gsd", dir.file("ref.gsd")}});
}

}  // namespace
}  // namespace trevik::test
