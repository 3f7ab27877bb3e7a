// Objects of every character set, and one nested 16,000 deep, through
// trevik-dicom import and inspect, trevik and trevik-inspect: no signal, no
// exit code outside the documented ones, the name as the record holds it.
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcvrat.h>

#include <vector>

#include "tests/app/dicom/dicom_fixtures.h"
#include "tests/reader/dicom/charset_cases.h"

namespace trevik::test {
namespace {

const std::string kTrevik = TREVIK_BIN;
const std::string kTrevikInspect = TREVIK_INSPECT_BIN;

// A TOMO object of one 64 x 64 frame with the character set and name given.
void writeObject(const std::string& path, const char* charset, const std::string& name) {
    DcmFileFormat file;
    DcmDataset& d = *file.getDataset();
    const std::pair<DcmTagKey, const char*> values[] = {
        {DCM_SOPClassUID, UID_NuclearMedicineImageStorage}, {DCM_SOPInstanceUID, "2.25.1"},
        {DCM_ImageType, "ORIGINAL\\PRIMARY\\TOMO\\EMISSION"}, {DCM_NumberOfFrames, "1"}, {DCM_DetectorVector, "1"},
        {DCM_AngularViewVector, "1"}, {DCM_Rows, "64"}, {DCM_Columns, "64"}, {DCM_BitsAllocated, "16"},
        {DCM_BitsStored, "16"}, {DCM_HighBit, "15"}, {DCM_PixelRepresentation, "0"},
        {DCM_SpecificCharacterSet, charset}};
    for (const auto& [tag, value] : values) d.putAndInsertString(tag, value);
    d.putAndInsertString(DCM_PatientName, name.c_str(), static_cast<Uint32>(name.size()));
    auto* pointer = new DcmAttributeTag(DCM_FrameIncrementPointer);
    pointer->putTagVal(DCM_DetectorVector, 0);
    pointer->putTagVal(DCM_AngularViewVector, 1);
    d.insert(pointer);
    const std::vector<Uint16> pixels(64 * 64, 3);
    d.putAndInsertUint16Array(DCM_PixelData, pixels.data(), pixels.size());
    ASSERT_TRUE(file.saveFile(path.c_str(), EXS_LittleEndianExplicit).good());
}

TEST(DicomCharsets, EveryDefinedTermThroughEveryProgram) {
    TempDir dir;
    const std::string object = dir.file("o.dcm"), out = dir.file("o.gsd"), batch = dir.file("b.gsd");
    for (const CharsetCase& c : charsetCases())
        for (const bool ascii : {true, false}) {
            const std::string what = std::string(c.declared) + (ascii ? " ascii" : "");
            const std::string expected = ascii ? "DOE^JOHN" : c.ascii;
            writeObject(object, c.declared, ascii ? "DOE^JOHN" : c.name);
            const ProcessResult import = runProcess(kTrevikDicom, {"import", object, out});
            ASSERT_EQ(import.exitCode, 0) << what << import.err;
            EXPECT_NE(readFile(out).find("name = " + expected + ";"), std::string::npos) << what;
            EXPECT_EQ(runProcess(kTrevik, {object, batch}).exitCode, 0) << what;
            EXPECT_EQ(readFile(batch), readFile(out)) << what;
            const ProcessResult inspect = runProcess(kTrevikDicom, {"inspect", object});
            EXPECT_EQ(inspect.exitCode, 0) << what;
            EXPECT_NE(inspect.out.find("record: name \"" + expected + "\""), std::string::npos) << what << inspect.out;
            EXPECT_NE(inspect.out.find("verdict: 0: "), std::string::npos) << what;
            // A malformed value says so; a Defined Term does not.
            EXPECT_EQ(inspect.out.find("warning: Specific Character Set") != std::string::npos, *c.utf8 == 0) << what;
            const ProcessResult overall = runProcess(kTrevikInspect, {object});
            EXPECT_EQ(overall.exitCode, 0) << what;
            EXPECT_NE(overall.out.find("verdict: 0: "), std::string::npos) << what << overall.out;
            std::remove(out.c_str()), std::remove(batch.c_str());
        }
}

TEST(DicomNesting, SixteenThousandLevelsAreRefusedBeforeParsing) {
    TempDir dir;
    // The meta group names explicit little endian; then one sequence of
    // undefined length in the item of the one before, 16,000 times.
    std::string bytes = std::string(128, '\0') + "DICM";
    bytes += std::string("\x02\x00\x10\x00UI\x14\x00", 8) + std::string("1.2.840.10008.1.2.1\0", 20);
    const std::string open("\x40\x00\x75\x02SQ\x00\x00\xFF\xFF\xFF\xFF\xFE\xFF\x00\xE0\xFF\xFF\xFF\xFF", 20);
    for (int i = 0; i < 16000; ++i) bytes += open;
    const std::string object = dir.file("deep.dcm");
    writeText(object, bytes);
    const char* reason = "sequences nested deeper than 16";
    for (const std::string& program : {kTrevikDicom, kTrevik}) {
        std::vector<std::string> args = {object, dir.file("x.gsd")};
        if (program == kTrevikDicom) args.insert(args.begin(), "import");
        const ProcessResult run = runProcess(program, args);
        EXPECT_EQ(run.exitCode, 2) << program << run.err;
        EXPECT_NE(run.err.find(reason), std::string::npos) << run.err;
        EXPECT_FALSE(fileExists(dir.file("x.gsd")));
    }
    for (const auto& [program, args] : {std::pair{kTrevikDicom, std::vector<std::string>{"inspect", object}},
                                        {kTrevikInspect, std::vector<std::string>{object}}}) {
        const ProcessResult run = runProcess(program, args);
        EXPECT_EQ(run.exitCode, 0) << program;
        EXPECT_NE(run.out.find(std::string("verdict: 2: ") + reason), std::string::npos) << run.out;
    }
}

}  // namespace
}  // namespace trevik::test
