// What trevik-dicom receive makes of objects of several energy windows or
// R-R intervals, and of each transfer syntax the reader decodes: every
// .gsd equals `trevik-dicom import` of the object with the same choice.
#include <gtest/gtest.h>

#include <sys/xattr.h>

#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "tests/app/dicom/dicom_fixtures.h"
#include "tests/app/dicom/frame_vectors.h"
#include "tests/app/dicom/receive_fixture.h"
#include "tests/app/dicom/six_windows.h"

namespace trevik::test {
namespace {

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
