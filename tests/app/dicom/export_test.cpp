// trevik-dicom export run as a process on sources the synthesiser writes:
// the validator's verdict on every kind of study, another reader's, the
// camera's own matrix and counts, the output rules and the exit codes.
#include <gtest/gtest.h>

#include <cmath>

#include "tests/app/dicom/dicom_fixtures.h"
#include "tools/synth/source_file.h"

namespace trevik::test {
namespace {

ProcessResult exportStudy(const std::string& source, const std::string& output) {
    return runProcess(kTrevikDicom, {"export", source, output});
}

TEST(Export, ValidatorFindsNoErrorInAnyKindOfStudyAndCatchesABrokenOne) {
    TempDir dir;
    const std::vector<std::vector<std::string>> kinds = {
        {"--matrix", "64", "--integer", "--divisions", "8", "--frames", "32"},
        {"--matrix", "128", "--float", "--divisions", "8", "--frames", "32"},
        {"--matrix", "64", "--integer", "--divisions", "0", "--frames", "60"},
        {"--matrix", "128", "--float", "--divisions", "1", "--frames", "64", "--reverse"},
        {"--matrix", "64", "--float", "--divisions", "16", "--frames", "64", "--reverse"},
    };
    for (const std::vector<std::string>& kind : kinds) {
        const std::string object = synthesiseAndExport(kind, dir);
        ASSERT_FALSE(object.empty());
        EXPECT_EQ(validatorErrors(object), std::vector<std::string>{}) << kind[1] << " " << kind[5];
    }
    // The validator does see a broken object.
    DcmFileFormat file;
    ASSERT_TRUE(file.loadFile(dir.file("study.dcm").c_str()).good());
    file.getDataset()->putAndInsertString(DCM_NumberOfFrames, "1023");
    ASSERT_TRUE(file.saveFile(dir.file("frames.dcm").c_str(), EXS_LittleEndianExplicit).good());
    EXPECT_FALSE(validatorErrors(dir.file("frames.dcm")).empty());
    ASSERT_TRUE(file.loadFile(dir.file("study.dcm").c_str()).good());
    delete file.getDataset()->remove(DCM_FrameIncrementPointer);
    ASSERT_TRUE(file.saveFile(dir.file("pointer.dcm").c_str(), EXS_LittleEndianExplicit).good());
    EXPECT_FALSE(validatorErrors(dir.file("pointer.dcm")).empty());
}

TEST(Export, KeepsTheCamerasMatrixAndCountsRoundingFloats) {
    TempDir dir;
    synth::StudyPlan plan;
    plan.matrix = 128;
    plan.floats = true;
    plan.division = 2;
    plan.images = 8;
    plan.sample = [](int image, int y, int x) -> double {
        if (y == 0 && x < 5) return std::vector<double>{2.5, -2.5, 1e6, -1e6, 7}[x];
        return image * 10 + x % 7;
    };
    synth::buildStudy(plan).save(dir.file("floats.prj"));
    const ProcessResult exported = exportStudy(dir.file("floats.prj"), dir.file("floats.dcm"));
    ASSERT_EQ(exported.exitCode, 0) << exported.err;
    // One warning line says so.
    EXPECT_NE(exported.err.find("rounded"), std::string::npos) << exported.err;
    EXPECT_EQ(std::count(exported.err.begin(), exported.err.end(), '\n'), 1) << exported.err;

    DcmFileFormat file;
    ASSERT_TRUE(file.loadFile(dir.file("floats.dcm").c_str()).good());
    DcmDataset& data = *file.getDataset();
    EXPECT_TRUE(data.tagExistsWithValue(DCM_DerivationDescription));
    const Uint16* pixels = nullptr;
    unsigned long count = 0;
    ASSERT_TRUE(data.findAndGetUint16Array(DCM_PixelData, pixels, &count).good());
    ASSERT_EQ(count, 8u * 128 * 128);
    const std::int16_t expected[] = {3, -3, 32767, -32768, 7};
    for (int x = 0; x < 5; ++x) EXPECT_EQ(static_cast<std::int16_t>(pixels[x]), expected[x]) << x;
    EXPECT_EQ(static_cast<std::int16_t>(pixels[3 * 128 * 128 + 128 + 6]), 30 + 6);  // image 3, counts as stored
}

TEST(Export, FollowsTheOutputRulesAndTheConvertersExitCodes) {
    TempDir dir;
    synth::StudyPlan plan;
    plan.images = 16;
    plan.division = 2;
    const std::string source = dir.file("study.prj");
    synth::buildStudy(plan).save(source);
    const std::string original = readFile(source);

    ASSERT_EQ(exportStudy(source, dir.file("a.dcm")).exitCode, 0);
    ASSERT_EQ(exportStudy(source, dir.file("b.dcm")).exitCode, 0);
    EXPECT_EQ(readFile(dir.file("a.dcm")), readFile(dir.file("b.dcm")));  // the same object, UIDs and all
    EXPECT_EQ(readFile(dir.file("a.dcm")).substr(128, 4), "DICM");

    const ProcessResult kept = exportStudy(source, source);
    EXPECT_EQ(kept.exitCode, 1);
    EXPECT_NE(kept.err.find("never replaced"), std::string::npos) << kept.err;
    EXPECT_EQ(readFile(source), original);

    EXPECT_EQ(exportStudy(dir.file("missing.prj"), dir.file("c.dcm")).exitCode, 1);
    EXPECT_EQ(exportStudy(source, dir.file("no/such/dir/c.dcm")).exitCode, 1);
    writeText(dir.file("text.prj"), std::string(200, 'x'));
    EXPECT_EQ(exportStudy(dir.file("text.prj"), dir.file("c.dcm")).exitCode, 2);
    writeText(dir.file("cut.prj"), original.substr(0, original.size() - 100));
    EXPECT_EQ(exportStudy(dir.file("cut.prj"), dir.file("c.dcm")).exitCode, 4);
    EXPECT_FALSE(fileExists(dir.file("c.dcm")));
    EXPECT_EQ(runProcess(kTrevikDicom, {"export", "--arc", "0", source, dir.file("c.dcm")}).exitCode, 2);
}

// XMedCon reads the gated form as time slots of projections, the ungated
// one as projections.
TEST(Export, XMedConReadsTheTimeSlotsAndProjections) {
    TempDir dir;
    struct Case {
        std::vector<std::string> study;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {{"--matrix", "64", "--divisions", "8", "--frames", "32"},
         {"!type of data := GSPECT", "!total number of images := 256", "!number of images in time window := 8",
          "!number of projections := 32", "!matrix size [1] := 64"}},
        {{"--matrix", "128", "--float", "--divisions", "0", "--frames", "60", "--reverse"},
         {"!type of data := Tomographic", "!total number of images := 60", "!number of projections := 60",
          "!matrix size [1] := 128", "scaling factor (mm/pixel) [1] := +3.200000e+00"}},
    };
    for (const Case& c : cases) {
        const std::string object = synthesiseAndExport(c.study, dir);
        const std::string name = dir.file("read" + std::to_string(&c - cases));  // medcon replaces no file
        const ProcessResult read = runProcess("medcon", {"-f", object, "-c", "intf", "-o", name});
        ASSERT_EQ(read.exitCode, 0) << read.err;
        EXPECT_EQ(read.err.find("warning"), std::string::npos) << read.err;
        std::string header = readFile(name + ".h33");
        std::erase(header, '\r');
        for (const std::string& line : c.lines) EXPECT_NE(header.find(line + "\n"), std::string::npos) << line;
    }
}

}  // namespace
}  // namespace trevik::test
