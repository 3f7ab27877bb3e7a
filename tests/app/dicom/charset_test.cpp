// Objects of every character set, and one nested 16,000 deep, through
// trevik-dicom import and inspect, trevik and trevik-inspect: no signal, no
// exit code outside the documented ones, the name as the record holds it.
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcvrat.h>

#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

#include "tests/app/dicom/dicom_fixtures.h"
#include "tests/app/dicom/pacs_fixture.h"
#include "tests/reader/dicom/charset_cases.h"

namespace trevik::test {
namespace {

const std::string kTrevik = TREVIK_BIN;
const std::string kTrevikInspect = TREVIK_INSPECT_BIN;

// A TOMO object of one 64 x 64 frame with the character set and name given.
void writeObject(const std::string& path, const char* charset, const std::string& name,
                 const char* instance = "2.25.1") {
    DcmFileFormat file;
    DcmDataset& d = *file.getDataset();
    const std::pair<DcmTagKey, const char*> values[] = {
        {DCM_SOPClassUID, UID_NuclearMedicineImageStorage}, {DCM_SOPInstanceUID, instance},
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

TEST(DicomCharsets, EveryDefinedTermIsStoredByTheNode) {
    privateNetwork();
    TempDir dir;
    std::vector<std::string> args = {"-aet", "CAM", "-aec", "NODE", "127.0.0.1"};
    std::multiset<std::string> expected;
    for (const CharsetCase& c : charsetCases())
        for (const bool ascii : {true, false}) {
            const std::string uid = "2.25." + std::to_string(expected.size() + 1);
            args.push_back(dir.file(uid + ".dcm"));
            writeObject(args.back(), c.declared, ascii ? "DOE^JOHN" : c.name, uid.c_str());
            expected.insert("name = " + std::string(ascii ? "DOE^JOHN" : c.ascii) + ";");
        }
    const int port = freePort();
    std::filesystem::create_directory(dir.file("in"));
    const pid_t node = spawn(kTrevikDicom, {"receive", "--aet", "NODE", "--port", std::to_string(port), "--inbox",
                                            dir.file("in"), "--allow", "CAM"}, dir.file("node.log"));
    for (int i = 0; i < 200 && readFile(dir.file("node.log")).find("listening as NODE") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    args.insert(args.begin() + 5, std::to_string(port));
    const ProcessResult sent = runProcess("storescu", args);
    EXPECT_EQ(sent.exitCode, 0) << sent.err;
    std::multiset<std::string> stored;
    for (const auto& entry : std::filesystem::directory_iterator(dir.file("in"))) {
        const std::string gsd = readFile(entry.path().string());
        const std::size_t at = gsd.find("name = ");
        if (at != std::string::npos) stored.insert(gsd.substr(at, gsd.find('\r', at) - at));
    }
    EXPECT_EQ(stored, expected);
    EXPECT_EQ(runProcess("echoscu", {"-aet", "CAM", "-aec", "NODE", "127.0.0.1", std::to_string(port)}).exitCode, 0);
    ::kill(node, SIGTERM);
    int status = 0;
    ::waitpid(node, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << readFile(dir.file("node.log"));
}

TEST(DicomNesting, DeepNestingIsRefusedBeforeParsingWhateverTheVrInFront) {
    TempDir dir;
    // The meta group names explicit little endian; then an element whose VR
    // bytes are of each kind the parser reads its own way, with a length
    // there and a value that reads as a length of 2 GB where a scan took
    // the long form for it; then one sequence of undefined length in the
    // item of the one before, 200,000 times.
    const std::string open("\x40\x00\x75\x02SQ\x00\x00\xFF\xFF\xFF\xFF\xFE\xFF\x00\xE0\xFF\xFF\xFF\xFF", 20);
    std::string levels;
    for (int i = 0; i < 200000; ++i) levels += open;
    const std::string opaque("\xFE\xFF\x00\xE0\xFF\xFF\xFF\xFF\x09\x00\x00\x10\xFF\xFF\xFF\xFF\x09\x00\x01\x10\xF0\xFF\xFF\x7F", 24);
    const std::string cases[] = {
        std::string("\x09\x00\x10\x00\x00\x00\x04\x00\xF0\xFF\xFF\x7F", 12),  // 00 00: a 2-byte length
        std::string("\x09\x00\x10\x00xs\x04\x00\xF0\xFF\xFF\x7F", 12),          // xs: the same
        std::string("\x09\x00\x10\x00na\x04\x00\x00\x00\xF0\xFF\xFF\x7F", 14),  // na: 4 bytes after the VR
        std::string("\x09\x00\x10\x00ox\x00\x00\x18\x00\x00\x00", 12) + opaque,  // ox: bytes, however they look
        std::string("\x09\x00\x10\x00ZZ\x00\x00\x18\x00\x00\x00", 12) + opaque,  // ZZ: UN, its items cut short
    };
    std::string meta = std::string(128, '\0') + "DICM";
    meta += std::string("\x02\x00\x10\x00UI\x14\x00", 8) + std::string("1.2.840.10008.1.2.1\0", 20);
    const char* reason = "sequences nested deeper than 16";
    for (const std::string& element : cases) {
        const std::string object = dir.file("deep.dcm");
        writeText(object, meta + element + levels);
        const std::string vr = element.substr(4, 2);
        for (const std::string& program : {kTrevikDicom, kTrevik}) {
            std::vector<std::string> args = {object, dir.file("x.gsd")};
            if (program == kTrevikDicom) args.insert(args.begin(), "import");
            const ProcessResult run = runProcess(program, args);
            EXPECT_EQ(run.exitCode, 2) << program << vr << run.err;
            EXPECT_NE(run.err.find(reason), std::string::npos) << run.err;
            EXPECT_FALSE(fileExists(dir.file("x.gsd")));
        }
        for (const auto& [program, args] : {std::pair{kTrevikDicom, std::vector<std::string>{"inspect", object}},
                                            {kTrevikInspect, std::vector<std::string>{object}}}) {
            const ProcessResult run = runProcess(program, args);
            EXPECT_EQ(run.exitCode, 0) << program << vr;
            EXPECT_NE(run.out.find(std::string("verdict: 2: ") + reason), std::string::npos) << run.out;
        }
    }
}

}  // namespace
}  // namespace trevik::test
