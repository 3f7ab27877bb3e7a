// Each object is read once: a camera's six-window object imported with
// "--energy-window all", or received by the node, is parsed once, its
// facts read once, its patient's name decoded once and its pixel data read
// once, for all six files (the reader notes each read in the file
// TREVIK_READ_LOG names).
#include <unistd.h>

#include <cstdlib>
#include <map>

#include "tests/app/dicom/dicom_fixtures.h"
#include "tests/app/dicom/node_fixture.h"
#include "tests/app/dicom/pacs_fixture.h"
#include "tests/app/dicom/six_windows.h"

namespace trevik::test {
namespace {

// The reads a program noted, by their word.
std::map<std::string, int> readsNoted(const std::string& log) {
    std::map<std::string, int> reads;
    std::istringstream lines(readFile(log));
    for (std::string line; std::getline(lines, line);) ++reads[line];
    return reads;
}

const std::map<std::string, int> kOnce = {{"parse", 1}, {"facts", 1}, {"name", 1}, {"pixels", 1}};

TEST(ReadOnce, ImportOfEveryEnergyWindowReadsTheObjectOnce) {
    TempDir dir;
    const std::string dcm = synthesiseAndExport({"--matrix", "64", "--divisions", "0", "--frames", "60"}, dir);
    ASSERT_TRUE(saveSixWindows(dcm, dir.file("six.dcm")));
    const std::string log = dir.file("reads.log");
    ASSERT_EQ(::setenv("TREVIK_READ_LOG", log.c_str(), 1), 0);
    const ProcessResult run = runProcess(kTrevikDicom, {"import", "--energy-window", "all", dir.file("six.dcm"),
                                                        dir.file("six.gsd")});
    ::unsetenv("TREVIK_READ_LOG");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    for (int w = 1; w <= 6; ++w) EXPECT_TRUE(fileExists(dir.file("six-ew" + std::to_string(w) + ".gsd"))) << w;
    EXPECT_EQ(readsNoted(log), kOnce);

    // One window alone reads the same once.
    ::unlink(log.c_str());
    ASSERT_EQ(::setenv("TREVIK_READ_LOG", log.c_str(), 1), 0);
    const ProcessResult one = runProcess(kTrevikDicom, {"import", "--energy-window", "2", dir.file("six.dcm"),
                                                        dir.file("two.gsd")});
    ::unsetenv("TREVIK_READ_LOG");
    ASSERT_EQ(one.exitCode, 0) << one.err;
    EXPECT_EQ(readsNoted(log), kOnce);
}

TEST(ReadOnce, TheNodeReadsAnObjectOfSixWindowsOnce) {
    privateNetwork();
    TempDir dir;
    const std::string dcm = synthesiseAndExport({"--matrix", "64", "--divisions", "0", "--frames", "60"}, dir);
    ASSERT_TRUE(saveSixWindows(dcm, dir.file("six.dcm")));
    // No nuclide coded: every window is a file.
    const std::string none = modified(dir.file("six.dcm"), dir.file("none.dcm"), {"-e", "(0054,0016)[0].(0054,0300)"});
    const std::string log = dir.file("reads.log");
    ASSERT_EQ(::setenv("TREVIK_READ_LOG", log.c_str(), 1), 0);
    Node node({"--allow", "CAM"});
    ::unsetenv("TREVIK_READ_LOG");
    ASSERT_EQ(node.store("CAM", {none}).exitCode, 0) << node.log();
    EXPECT_EQ(names(node.inbox()).size(), 6u) << node.log();
    EXPECT_EQ(readsNoted(log), kOnce);
}

}  // namespace
}  // namespace trevik::test
