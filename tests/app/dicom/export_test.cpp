// trevik-dicom export run as a process on sources the synthesiser writes:
// the validator's verdict on every kind of study, other readers', the
// camera's own matrix and counts, the time slots, the names, the output
// rules and the exit codes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>

#include "tests/app/dicom/dicom_fixtures.h"
#include "tools/synth/source_file.h"

namespace trevik::test {
namespace {

ProcessResult exportStudy(const std::string& source, const std::string& output) {
    return runProcess(kTrevikDicom, {"export", source, output});
}

// dcm2niix builds its matrix from the detector's plane (without it: "Bogus
// spatial matrix") and GDCM reads the frames.
void expectOtherReadersRead(const std::string& object, const TempDir& dir, const std::string& name) {
    const ProcessResult nifti = runProcess("dcm2niix", {"-o", dir.path(), "-f", name + "-nifti", object});
    EXPECT_EQ(nifti.exitCode, 0) << nifti.out << nifti.err;
    for (const char* fault : {"Bogus", "spatial orientation"})
        EXPECT_EQ((nifti.out + nifti.err).find(fault), std::string::npos) << name << ": " << nifti.out << nifti.err;
    const ProcessResult gdcm = runProcess("gdcminfo", {object});
    EXPECT_EQ(gdcm.exitCode, 0) << gdcm.err;
    EXPECT_NE(gdcm.out.find("DirectionCosines: ("), std::string::npos) << gdcm.out;
}

// Every export goes to a name of its own: an existing DICOM file at the
// output is kept.
TEST(Export, ValidatorDcm2niixAndGdcmFindNoFaultInAnyKindOfStudyAndTheValidatorCatchesABrokenOne) {
    TempDir dir;
    const std::vector<std::vector<std::string>> kinds = {
        {"--matrix", "64", "--integer", "--divisions", "8", "--frames", "32"},
        {"--matrix", "128", "--float", "--divisions", "8", "--frames", "32"},
        {"--matrix", "64", "--integer", "--divisions", "0", "--frames", "60"},
        {"--matrix", "128", "--float", "--divisions", "1", "--frames", "64", "--reverse"},
        {"--matrix", "64", "--float", "--divisions", "16", "--frames", "64", "--reverse"},
    };
    for (std::size_t k = 0; k < kinds.size(); ++k) {
        const std::string name = "study" + std::to_string(k);
        const std::string object = synthesiseAndExport(kinds[k], dir, name);
        ASSERT_FALSE(object.empty());
        EXPECT_EQ(validatorErrors(object), std::vector<std::string>{}) << name;
        expectOtherReadersRead(object, dir, name);
    }
    // The validator does see a broken object.
    DcmFileFormat file;
    ASSERT_TRUE(file.loadFile(dir.file("study0.dcm").c_str()).good());
    file.getDataset()->putAndInsertString(DCM_NumberOfFrames, "1023");
    ASSERT_TRUE(file.saveFile(dir.file("frames.dcm").c_str(), EXS_LittleEndianExplicit).good());
    EXPECT_FALSE(validatorErrors(dir.file("frames.dcm")).empty());
    ASSERT_TRUE(file.loadFile(dir.file("study0.dcm").c_str()).good());
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
    // A DICOM file at the output is a source too, as for import: the same
    // file stays (a replacement would be a new one).
    struct stat before{}, after{};
    ASSERT_EQ(::stat(dir.file("a.dcm").c_str(), &before), 0);
    const ProcessResult dicom = exportStudy(source, dir.file("a.dcm"));
    EXPECT_EQ(dicom.exitCode, 1);
    EXPECT_NE(dicom.err.find("a.dcm: the output is a source file, which is never replaced"), std::string::npos)
        << dicom.err;
    ASSERT_EQ(::stat(dir.file("a.dcm").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);

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
        const std::string object = synthesiseAndExport(c.study, dir, "study" + std::to_string(&c - cases));
        const std::string name = dir.file("read" + std::to_string(&c - cases));  // medcon replaces no file
        const ProcessResult read = runProcess("medcon", {"-f", object, "-c", "intf", "-o", name});
        ASSERT_EQ(read.exitCode, 0) << read.err;
        EXPECT_EQ(read.err.find("warning"), std::string::npos) << read.err;
        std::string header = readFile(name + ".h33");
        std::erase(header, '\r');
        for (const std::string& line : c.lines) EXPECT_NE(header.find(line + "\n"), std::string::npos) << line;
    }
}

// Time Slot Time is each slot's total acquisition time (about Frame Time
// x the beats accepted), which the camera does not record: one item per
// slot, its Time Slot Time empty, never the slot's start in the cycle.
TEST(Export, TimeSlotsHoldNoTimeTheCameraDidNotRecord) {
    TempDir dir;
    const std::string object = synthesiseAndExport({"--divisions", "4", "--frames", "8"}, dir);
    DcmFileFormat file;
    ASSERT_TRUE(file.loadFile(object.c_str()).good());
    DcmItem *gate = nullptr, *info = nullptr;
    ASSERT_TRUE(file.getDataset()->findAndGetSequenceItem(DCM_GatedInformationSequence, gate).good());
    ASSERT_TRUE(gate->findAndGetSequenceItem(DCM_DataInformationSequence, info).good());
    DcmSequenceOfItems* slots = nullptr;
    ASSERT_TRUE(info->findAndGetSequence(DCM_TimeSlotInformationSequence, slots).good());
    ASSERT_EQ(slots->card(), 4u);
    for (unsigned long k = 0; k < slots->card(); ++k) {
        DcmElement* time = nullptr;
        ASSERT_TRUE(slots->getItem(k)->findAndGetElement(DCM_TimeSlotTime, time).good()) << k;
        EXPECT_EQ(time->getLength(), 0u) << k;
    }
}

// "=" separates a name's component groups: every reader, import too, would
// keep only what stands before it. It is written as "?", like a backslash.
TEST(Export, ANameHoldingAnEqualsSignComesBackWhole) {
    TempDir dir;
    const std::string object = synthesiseAndExport({"--frames", "8", "--name", "DOE=JOHN\\X^A"}, dir);
    ASSERT_EQ(runProcess(kTrevikDicom, {"import", object, dir.file("back.gsd")}).exitCode, 0);
    EXPECT_NE(readFile(dir.file("back.gsd")).find("name = DOE?JOHN?X^A;\r\n"), std::string::npos);
}

// DCMTK's dictionary is the compiled one, made without a word on stderr;
// DCMDICTPATH naming files is honoured: DCMTK loads them (and says so of
// a file it cannot open).
TEST(Export, TheCompiledDictionaryUnlessDcmdictpathNamesFiles) {
    TempDir dir;
    const std::string object = synthesiseAndExport({"--frames", "8"}, dir);
    ASSERT_FALSE(object.empty());
    const ProcessResult quiet = runProcess(kTrevikDicom, {"export", dir.file("study.prj"), dir.file("again.dcm")});
    EXPECT_EQ(quiet.exitCode, 0);
    EXPECT_EQ(quiet.err, "");
    ASSERT_EQ(::setenv("DCMDICTPATH", dir.file("none.dic").c_str(), 1), 0);
    const ProcessResult named = runProcess(kTrevikDicom, {"export", dir.file("study.prj"), dir.file("named.dcm")});
    ::unsetenv("DCMDICTPATH");
    EXPECT_NE(named.err.find("Cannot open file: " + dir.file("none.dic")), std::string::npos) << named.err;
}

}  // namespace
}  // namespace trevik::test
