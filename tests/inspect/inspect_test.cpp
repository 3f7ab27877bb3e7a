// trevik-inspect: its report lines, its verdicts against what trevik
// actually answers, wrapped samples, Gated SPECT data files, TSV and PNG.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <set>
#include <new>
#include <string>
#include <tuple>
#include <vector>

#include "app/inspect/inspection.h"
#include "app/inspect/montage.h"
#include "tests/app/process.h"
#include "tests/support/temp_dir.h"
#include "tools/synth/source_file.h"

namespace trevik::inspect {
namespace {

using synth::SourceFile;
using synth::StudyPlan;

const std::string kTrevik = TREVIK_BIN;
const std::string kInspect = INSPECT_BIN;

// Image i holds i + 1 in every sample.
double imageNumber(int i, int, int) { return i + 1; }

StudyPlan small() { return {.hr = 60, .division = 2, .images = 6, .sample = imageNumber}; }

std::vector<std::string> split(const std::string& text, char at) {
    std::vector<std::string> parts(1);
    for (const char c : text) {
        if (c == at)
            parts.emplace_back();
        else
            parts.back().push_back(c);
    }
    return parts;
}

bool hasLine(const std::string& report, const std::string& line) {
    for (const std::string& l : split(report, '\n'))
        if (l == line) return true;
    return false;
}

TEST(InspectSource, ReportShowsRecognitionElementsAsReadAndTheVerdict) {
    test::TempDir dir;
    SourceFile f;
    f.element(0x0010, 0x0010, std::string("O'BRIEN\x01\"J\"", 11))
        .element(0x0009, 0x0010, "private")
        .heartRate(60, 2)
        .sliceAndOrder(3, true, 12)  // too short to be read
        .be16(0x0028, 0x0010, 64)
        .be16(0x0028, 0x0011, 64)
        .element(0x0028, 0x0030, "3.25\\3.25")
        .be32(0x6B01, 0x1001, 5)
        .end()
        .samples16(std::vector<std::int16_t>(6 * 4096, 7));
    f.save(dir.file("a.prj"));
    const Inspection ins = inspectFile(dir.file("a.prj"), false);
    const std::string& r = ins.report;
    EXPECT_TRUE(hasLine(r, "recognised: yes: (0000,0000) at offset 64 and (0000,0001) at offset 76 open the header")) << r;
    EXPECT_TRUE(hasLine(r, "sample form: 16-bit integers (preamble word at offset 18: 16)")) << r;
    EXPECT_TRUE(hasLine(r, "        88  (0010,0010)  Patient's Name           11  name \"O'BRIEN\\x01\\\"J\\\"\"")) << r;
    EXPECT_TRUE(hasLine(r, "       107  (0009,0010)  -                         7  skipped")) << r;
    EXPECT_TRUE(hasLine(r, "       122  (0019,1304)  Gating                   10  hr 60, division 2")) << r;
    EXPECT_TRUE(hasLine(r, "       140  (0019,1311)  Slice And Order          12  "
                           "shorter than the 21 bytes the reader needs: skipped")) << r;
    EXPECT_TRUE(hasLine(r, "       180  (0028,0030)  Pixel Spacing             9  pixel 3.25")) << r;
    EXPECT_TRUE(hasLine(r, "pixel data: from offset 1024")) << r;
    EXPECT_TRUE(hasLine(r, "gating: hr 60, 2 divisions, image count 5: 2 frames per division")) << r;
    EXPECT_TRUE(hasLine(r, "images: the file holds 6, the converter reads 4 (2 divisions of 2)")) << r;
    EXPECT_TRUE(hasLine(r, "wrapped samples: none")) << r;
    EXPECT_TRUE(r.ends_with("\nverdict: 0: converts 2 divisions of 2 frames, 64 x 64\n")) << r;
    EXPECT_EQ(ins.verdict.kind, FileKind::Source);
}

TEST(InspectVerdict, PredictedCodesAreTrevikExitCodesOnGoodAndBrokenFiles) {
    test::TempDir dir;
    const SourceFile good = synth::buildStudy(small());
    StudyPlan floats128 = small();
    floats128.matrix = 128;
    floats128.floats = true;
    const SourceFile big = synth::buildStudy(floats128);
    StudyPlan odd = small();
    odd.matrix = 96;
    auto header = [](std::int16_t hr, std::int16_t division, std::int32_t images) {
        return SourceFile().be16(0x0028, 0x0010, 64).be16(0x0028, 0x0011, 64).heartRate(hr, division)
            .be32(0x6B01, 0x1001, images).end();
    };
    const struct {
        std::string name;
        SourceFile file;
        int code;
        std::string reason;
    } cases[] = {
        {"good.prj", good, 0, "converts 2 divisions of 3 frames, 64 x 64"},
        // Inherits no geometry from the file before it.
        {"no-geometry.prj", SourceFile().be32(0x6B01, 0x1001, 1).end(), 2,
         "0 x 0 images; only 64 x 64 and 128 x 128 are converted"},
        {"cut-pixels.prj", SourceFile(good).cut(good.pixelStart() + 2 * 8192 + 12 * 128 + 5), 4,
         "the pixel data ends in image 3, row 13"},
        {"cut-128.prj", SourceFile(big).cut(big.pixelStart() + 65536 + 7 * 512), 4,
         "the pixel data ends in image 2, row 8"},
        {"cut-header.prj", SourceFile(good).cut(210), 4,
         "the file ends inside the header, before the end element (6B01,1004); the last element read is "
         "(0019,1304) at offset 196, length 10"},
        {"negative.prj", SourceFile().raw(0x0010, 0x0010, -3, "").end(), 2,
         "element (0010,0010) at offset 88 declares a negative length (-3)"},
        {"odd.prj", synth::buildStudy(odd), 2, "96 x 96 images; only 64 x 64 and 128 x 128 are converted"},
        {"first.prj", SourceFile(16, false).element(0x0008, 0x0020, "2001.05.14").end(), 2,
         "not a projection file: the element at offset 64 is (0008,0020), not (0000,0000)"},
        {"second.prj", SourceFile(16, false).raw(0, 0, 4, "abcd").raw(0, 2, 4, "wxyz"), 2,
         "not a projection file: the element at offset 76 is (0000,0002), not (0000,0001)"},
        {"short.prj", SourceFile().cut(79), 2, "not a projection file: the file is too short to hold (0000,0000) and (0000,0001)"},
        {"full.prj", header(60, 4, 4 * 65), 2, "4 divisions of 65 frames do not fit the frame store (at most 16 divisions of 64 frames)"},
        {"none.prj", header(60, 8, 7), 2, "no frame to convert: 0 frames per division (image count 7, 8 divisions, hr 60)"},
        {"negative-division.prj", header(60, -2, 8), 2, "a negative number of divisions (-2)"},
        {"overflow.prj", header(60, -1, INT32_MIN), 2, "the image count -2147483648 divided by -1 divisions does not fit"},
    };
    std::vector<std::string> args = {"--tsv"};
    std::vector<int> codes;
    std::vector<std::string> reasons;
    for (const auto& c : cases) {
        c.file.save(dir.file(c.name));
        args.push_back(dir.file(c.name));
        codes.push_back(c.code);
        reasons.push_back(c.reason);
    }
    // A converted study, a missing file, a directory, a FIFO, a path too long.
    ASSERT_EQ(test::runProcess(kTrevik, {dir.file("good.prj"), dir.file("good.gsd")}).exitCode, 0);
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    const std::string tooLong = dir.path() + "/" + std::string(120, 'x') + "/" + std::string(140, 'y');
    for (const auto& [name, code, reason] : std::vector<std::tuple<std::string, int, std::string>>{
             {dir.file("good.gsd"), 2, "not a projection file: the element at offset 64 is (3B0D,0A74), not (0000,0000); "
                                       "it is a Gated SPECT data file; gsd ok"},
             {dir.file("missing"), 1, "the file cannot be opened: No such file or directory"},
             {dir.file("fifo"), 1, "the file cannot be opened: it is a FIFO or a socket"},
             {tooLong, 1, "the path is longer than 255 bytes"}}) {
        args.push_back(name);
        codes.push_back(code);
        reasons.push_back(reason);
    }

    const test::ProcessResult run = test::runProcess(kInspect, args);
    EXPECT_EQ(run.exitCode, 1) << "some files cannot be read";
    // good.prj and good.gsd: their divisions hold 2 and 5 (x 10) in every
    // sample, a gate count curve the quality control warns about.
    EXPECT_EQ(run.err, "trevik-inspect: 18 files; exit code 0: 1, 1: 3, 2: 11, 4: 3; 2 with warnings\n");
    const std::vector<std::string> lines = split(run.out, '\n');
    ASSERT_EQ(lines.size(), args.size()) << run.out;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::vector<std::string> fields = split(lines[i - 1], '\t');
        ASSERT_EQ(fields.size(), 10u) << lines[i - 1];
        EXPECT_EQ(fields[0], args[i]);
        EXPECT_EQ(fields[2], std::to_string(codes[i - 1]));
        EXPECT_EQ(fields[3], reasons[i - 1]);
        const int actual = test::runProcess(kTrevik, {args[i], dir.file("out.gsd")}).exitCode;
        EXPECT_EQ(std::to_string(actual), fields[2]) << args[i];
    }
    // A directory on the command line is walked; given to the library, it
    // is what trevik makes of it.
    const Verdict directory = inspectFile(dir.path(), false).verdict;
    EXPECT_EQ(directory.code, 1);
    EXPECT_EQ(directory.reason, "the file cannot be opened: it is a directory");
    EXPECT_EQ(test::runProcess(kTrevik, {dir.path(), dir.file("out.gsd")}).exitCode, 1);
}

TEST(InspectWarnings, WrapsDroppedImagesAndTrailingBytesAreCountedAndShown) {
    test::TempDir dir;
    // 64 x 64 integers: 3277 and -3277 wrap, 3276 and -3276 do not.
    StudyPlan ints = small();
    ints.sample = [](int i, int y, int x) -> double {
        const double row[] = {3277, -3277, 3276, -3276, 32767};
        return i >= 3 && y == 0 && x < 5 ? row[x] : 1;
    };
    synth::buildStudy(ints).save(dir.file("ints.prj"));
    Inspection ins = inspectFile(dir.file("ints.prj"), false);
    EXPECT_TRUE(hasLine(ins.report, "warning: 9 stored samples wrap around modulo 65536 (division 2: 9)")) << ins.report;
    EXPECT_EQ(ins.verdict.wrapped, 9);
    EXPECT_EQ(ins.verdict.warnings, 1);
    EXPECT_TRUE(tsvLine("ints.prj", ins.verdict).ends_with("\t9\t1\t\t99.9\t\tok\n"));

    // 128 x 128 floats: the exact sum of each 2 x 2 block of truncated
    // tenfold values decides; non-finite samples are counted apart.
    StudyPlan floats = {.matrix = 128, .floats = true, .hr = 0, .division = 0, .images = 1};
    floats.sample = [](int, int y, int x) -> double {
        const double inf = std::numeric_limits<double>::infinity();
        const double blocks[][4] = {{819, 819, 819, 820},  // 32770: wraps
                                    {3276.75, 0, 0, 0},    // 32767: does not
                                    {-3277, 0, 0, 0},      // -32770: wraps
                                    {inf, 1, 1, 1},        // not finite, 30
                                    {1e15, -1e15, 5, 0}};  // 50
        return y < 2 && x < 10 ? blocks[x / 2][y * 2 + x % 2] : 0;
    };
    synth::buildStudy(floats).save(dir.file("floats.prj"));
    ins = inspectFile(dir.file("floats.prj"), false);
    EXPECT_TRUE(hasLine(ins.report, "warning: 2 stored samples wrap around modulo 65536 (division 1: 2)")) << ins.report;
    EXPECT_TRUE(hasLine(ins.report, "warning: 1 float sample is not finite and stored as 0 (division 1: 1)"));
    EXPECT_EQ(ins.verdict.wrapped, 2);
    EXPECT_EQ(ins.verdict.warnings, 2);

    // 66 images over 4 divisions: 16 each, 2 never read, and their bytes
    // lie after the last image read.
    synth::buildStudy({.hr = 60, .division = 4, .images = 66, .sample = imageNumber}).save(dir.file("drops.prj"));
    ins = inspectFile(dir.file("drops.prj"), false);
    EXPECT_TRUE(hasLine(ins.report, "warning: 2 images are never read: the image count 66 is not a multiple of 4 divisions"))
        << ins.report;
    EXPECT_TRUE(hasLine(ins.report, "warning: 16384 bytes follow the last image the converter reads (from offset 525312)"));
    // Its divisions hold ever more counts: the quality control's gating
    // warning too, and the beats per view's (each division against the
    // first changes from view to view).
    EXPECT_EQ(ins.verdict.warnings, 4);

    // The sixth TSV field, and the summary counts the files with warnings.
    const test::ProcessResult run = test::runProcess(
        kInspect, {"--tsv", dir.file("ints.prj"), dir.file("floats.prj"), dir.file("drops.prj")});
    std::string counts;
    for (const std::string& line : split(run.out, '\n'))
        if (!line.empty()) counts += split(line, '\t').at(5) + " ";
    EXPECT_EQ(counts, "1 2 4 ");
    EXPECT_EQ(run.err, "trevik-inspect: 3 files; exit code 0: 3; 3 with warnings\n");
}

TEST(InspectVerdict, AFileWhoseInspectionRunsOutOfMemoryGetsCode8) {
    const Inspection ins = inspectOrNoMemory("big\n.prj", true, [](const std::string&, bool) -> Inspection {
        throw std::bad_alloc();
    });
    EXPECT_EQ(ins.report, "== big\\x0A.prj\nverdict: 8: not enough memory to inspect the file\n");
    EXPECT_EQ(tsvLine(ins.path, ins.verdict), "big\\n.prj\tunknown\t8\tnot enough memory to inspect the file\t0\t0\t\t\t\t-\n");
    EXPECT_FALSE(ins.noMontage.empty());
}

TEST(InspectGsd, LengthHeaderLinesAndDivisionValuesAreChecked) {
    test::TempDir dir;
    synth::buildStudy(small()).save(dir.file("s.prj"));
    ASSERT_EQ(test::runProcess(kTrevik, {dir.file("s.prj"), dir.file("s.gsd")}).exitCode, 0);
    const std::string gsd = test::readFile(dir.file("s.gsd"));
    Inspection ins = inspectFile(dir.file("s.gsd"), false);
    EXPECT_EQ(ins.verdict.kind, FileKind::Gsd);
    EXPECT_EQ(ins.verdict.code, 2);
    EXPECT_TRUE(hasLine(ins.report, "  frames = 3;")) << ins.report;
    EXPECT_TRUE(hasLine(ins.report, "length: 49390 bytes; 238 header bytes + 2 x 3 frames x 8192 bytes = 49390: correct"));
    // Frames hold ten times the image number: 10, 20, 30 and 40, 50, 60.
    EXPECT_TRUE(hasLine(ins.report, "division 1: min 10, max 30, sum 245760"));
    EXPECT_TRUE(hasLine(ins.report, "division 2: min 40, max 60, sum 614400"));

    std::ofstream(dir.file("cut.gsd"), std::ios::binary) << gsd.substr(0, 238 + 4 * 8192 + 100);
    ins = inspectFile(dir.file("cut.gsd"), false);
    EXPECT_TRUE(hasLine(ins.report, "length: 33106 bytes; 238 header bytes + 2 x 3 frames x 8192 bytes = 49390: "
                                    "frames are missing"));
    EXPECT_TRUE(hasLine(ins.report, "division 2: min 40, max 40, sum 163840 (1 of 3 frames)"));

    std::string bad = gsd;
    bad.replace(bad.find("sex = M;"), 8, "sexx = M;");
    std::ofstream(dir.file("bad.gsd"), std::ios::binary) << bad;
    ins = inspectFile(dir.file("bad.gsd"), false);
    EXPECT_TRUE(hasLine(ins.report, "header: line 6 is \"sexx = M;\", expected \"sex = ...;\"; the length is not checked"))
        << ins.report;

    // The verdict names what the check found, so TSV lines tell them apart.
    std::string frames = gsd;
    frames.replace(frames.find("frames = 3;"), 11, "frames = 1x;");
    std::ofstream(dir.file("frames.gsd"), std::ios::binary) << frames;
    std::ofstream(dir.file("long.gsd"), std::ios::binary) << gsd << "xyz";
    // Their frames are checked too where all are there (the divisions' counts
    // are 2 to 5: a gating warning).
    const std::string warned = "\t0\t1\t\t57.1\t\twarn\n", unchecked = "\t0\t0\t\t\t\t-\n";
    for (const auto& [name, found, qc] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"s.gsd", "gsd ok", warned},
             {"cut.gsd", "gsd frames missing", unchecked},
             {"frames.gsd", "gsd header malformed at line 13", unchecked},
             {"long.gsd", "gsd extra bytes at the end", warned}}) {
        const Verdict v = inspectFile(dir.file(name), false).verdict;
        EXPECT_EQ(tsvLine(name, v), name + "\tgsd\t2\tnot a projection file: the element at offset 64 is (3B0D,0A74), "
                                           "not (0000,0000); it is a Gated SPECT data file; " + found + qc);
    }
}

TEST(InspectTsv, PathsAndReasonsHoldNoSeparator) {
    EXPECT_EQ(escapeTsv("a\tb\nc\\d\re"), "a\\tb\\nc\\\\d\\re");
    EXPECT_EQ(escapeTsv(std::string("\0\x01\x1B[2J\x7F \xC3\xA9~", 11)), "\\x00\\x01\\x1B[2J\\x7F \xC3\xA9~");
    // trevik-inspect reads trevik-dicom's fields back.
    std::string back;
    const std::string bytes("a\tb\nc\\d\re\0\x01\x7F\xC3\xA9", 14);
    EXPECT_TRUE(unescapeTsv(escapeTsv(bytes), back));
    EXPECT_EQ(back, bytes);
    for (const char* wrong : {"a\\", "\\q", "\\x4", "\\x4g"}) EXPECT_FALSE(unescapeTsv(wrong, back)) << wrong;
    test::TempDir dir;
    const std::string name = dir.file("we\tird\\na\nme.prj");
    synth::buildStudy(small()).save(name);
    const test::ProcessResult run = test::runProcess(kInspect, {"--tsv", "--", name});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, escapeTsv(dir.path()) + "/we\\tird\\\\na\\nme.prj\tsource\t0\t"
                                               "converts 2 divisions of 3 frames, 64 x 64\t0\t1\t\t57.1\t\twarn\n");
    EXPECT_EQ(run.err, "trevik-inspect: 1 file; exit code 0: 1; 1 with warnings\n");
}

// A PNG file as libpng decodes it to 8-bit RGB; 0 x 0 when it cannot.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb;
    std::tuple<int, int, int> at(int x, int y) const {
        const unsigned char* p = &rgb[(static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)) * 3];
        return {p[0], p[1], p[2]};
    }
};

Picture decodePng(const std::string& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return {};
    image.format = PNG_FORMAT_RGB;
    Picture p;
    p.rgb.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, p.rgb.data(), 0, nullptr)) return {};
    p.width = static_cast<int>(image.width);
    p.height = static_cast<int>(image.height);
    return p;
}

std::pair<int, int> pngSize(const std::string& path) {
    const Picture p = decodePng(path);
    return {p.width, p.height};
}

TEST(InspectPng, OneMontagePerFileDecodesToOneCellPerFrame) {
    test::TempDir dir;
    synth::buildStudy(small()).save(dir.file("s.prj"));
    ASSERT_EQ(test::runProcess(kTrevik, {dir.file("s.prj"), dir.file("s.gsd")}).exitCode, 0);
    const std::pair<int, int> size = {montageWidth(3), montageHeight(2)};

    test::ProcessResult run = test::runProcess(kInspect, {"--png", dir.file("m.png"), dir.file("s.prj")});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(pngSize(dir.file("m.png")), size);

    std::ofstream(dir.file("notes.txt")) << "not a study\n";
    run = test::runProcess(kInspect, {"--png=" + dir.file("m.png"), dir.file("s.prj"), dir.file("s.gsd"),
                                      dir.file("notes.txt")});
    EXPECT_EQ(run.exitCode, 1) << "no picture for the text file";
    EXPECT_EQ(pngSize(dir.file("m-0001.png")), size);
    EXPECT_EQ(pngSize(dir.file("m-0002.png")), size);
    EXPECT_FALSE(test::fileExists(dir.file("m-0003.png")));
    EXPECT_NE(run.err.find("no picture " + dir.file("m-0003.png")), std::string::npos) << run.err;

    // Wrong command lines: 2 and a usage line.
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{}, {"--png"}, {"--bogus", dir.file("s.prj")}, {"--tsv"}}) {
        run = test::runProcess(kInspect, args);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_TRUE(run.err.ends_with("usage: trevik-inspect [--tsv] [--png OUT.png] [--qc OUT.png] [--cine OUT.gif] FILE...\n")) << run.err;
    }
}

TEST(InspectPng, TheMontageIsLabelledScaledBelowItsHottestSampleAndShowsWrapsInRed) {
    test::TempDir dir;
    // A heart wall over a dim background, one hot sample (30000 stored, in
    // range) in image 1 and one that wraps (40000) in image 4.
    StudyPlan plan = {.hr = 60, .division = 2, .images = 4};
    plan.sample = [](int i, int y, int x) -> double {
        if (i == 0 && y == 5 && x == 5) return 3000;
        if (i == 3 && y == 7 && x == 9) return 4000;
        return synth::cardiacSample(i, y, x, 64, 2, 2);
    };
    synth::buildStudy(plan).save(dir.file("s.prj"));
    ASSERT_EQ(test::runProcess(kTrevik, {dir.file("s.prj"), dir.file("s.gsd")}).exitCode, 0);

    // With several files, the TSV's last field and the report name each picture.
    test::ProcessResult run = test::runProcess(kInspect, {"--tsv", "--png", dir.file("m.png"), dir.file("s.prj"), dir.file("s.gsd")});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(split(split(run.out, '\n').at(1), '\t').at(6), dir.file("m-0002.png"));
    run = test::runProcess(kInspect, {"--png", dir.file("m.png"), dir.file("s.prj"), dir.file("s.gsd")});
    EXPECT_TRUE(hasLine(run.out, "picture: " + dir.file("m-0001.png"))) << run.out;

    const Picture p = decodePng(dir.file("m-0001.png"));
    ASSERT_EQ(pngSize(dir.file("m-0001.png")), std::make_pair(montageWidth(2), montageHeight(2)));
    const std::tuple<int, int, int> background = {kMontageBackground[0], kMontageBackground[1], kMontageBackground[2]};
    // The file name and frame numbers above the cells, division numbers left of them.
    int top = 0, left = 0;
    for (int y = 0; y < kMontageTop + 2 * 66; ++y)
        for (int x = 0; x < p.width; ++x)
            if (p.at(x, y) != background) (y < kMontageTop ? top : left) += y < kMontageTop || x < kMontageLeft;
    EXPECT_GT(top, 100);
    EXPECT_GT(left, 20);
    // Cell (division 2, frame 2) is image 4; (division 1, frame 1) image 1.
    const auto cell = [&](int d, int i, int x, int y) {
        return p.at(kMontageLeft + kMontageGap + i * 66 + x, kMontageTop + kMontageGap + d * 66 + y);
    };
    EXPECT_EQ(cell(1, 1, 9, 7), std::make_tuple(255, 0, 0));
    EXPECT_EQ(cell(0, 0, 5, 5), std::make_tuple(255, 255, 255));
    // The heart wall keeps its many grey levels: the hot sample is not the top of the scale.
    std::set<int> greys;
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) greys.insert(std::get<0>(cell(0, 0, x, y)));
    EXPECT_GT(greys.size(), 100u) << "the scale is set by the hottest sample";
}

TEST(InspectCommandLine, APictureNeverReplacesAnInputOrAFileThatIsNotAPicture) {
    test::TempDir dir;
    const auto f = [&dir](const char* name) { return dir.file(name); };
    synth::buildStudy(small()).save(f("a.prj"));
    synth::buildStudy({.hr = 60, .division = 3, .images = 6, .sample = imageNumber}).save(f("b.prj"));
    const std::string study = test::readFile(f("a.prj"));
    ASSERT_EQ(test::runProcess(kInspect, {"--png", f("m.png"), f("a.prj"), f("b.prj")}).exitCode, 0);
    const std::string pictures = test::readFile(f("m-0001.png")) + test::readFile(f("m-0002.png"));
    ASSERT_EQ(::mkdir(f("d.png").c_str(), 0755), 0);
    const std::string notPng = ": it exists and is not a PNG picture\n", input = ": it is one of the files inspected\n";
    for (const auto& [args, err] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--png", f("a.prj"), f("b.prj")}, f("a.prj") + notPng},  // a one-word slip
             {{"--png", f("m.png"), f("b.prj"), f("m-0001.png")}, f("m-0001.png") + input},
             {{"--png", f("new.png"), f("new.png")}, f("new.png") + input},
             {{"--png", f("d.png"), f("b.prj")}, f("d.png") + notPng}}) {
        const test::ProcessResult run = test::runProcess(kInspect, args);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.out + run.err, "trevik-inspect: no picture is written to " + err);
    }
    EXPECT_EQ(test::readFile(f("a.prj")), study);
    EXPECT_EQ(test::readFile(f("m-0001.png")) + test::readFile(f("m-0002.png")), pictures);
    EXPECT_FALSE(test::fileExists(f("new.png")));
}

TEST(InspectCommandLine, DirectoriesAreWalkedInByteOrderWithoutLinksAndNamesAreEscaped) {
    test::TempDir dir;
    const std::string top = dir.file("d");
    ASSERT_EQ(::mkdir(top.c_str(), 0755) + ::mkdir((top + "/sub").c_str(), 0755), 0);
    for (const char* name : {"b.prj", "a.prj", "Z.prj", "sub/c.prj", "\xC3\xA9.prj"})
        synth::buildStudy(small()).save(top + "/" + name);
    ASSERT_EQ(::symlink("a.prj", (top + "/link.prj").c_str()) + ::symlink("sub", (top + "/linked").c_str()), 0);
    ASSERT_EQ(::mkfifo((top + "/fifo").c_str(), 0600), 0);
    test::ProcessResult run = test::runProcess(kInspect, {"--tsv", top + "/"});
    std::string paths;
    for (const std::string& line : split(run.out, '\n')) paths += split(line, '\t')[0] + " ";
    EXPECT_EQ(paths, top + "/Z.prj " + top + "/a.prj " + top + "/b.prj " + top + "/sub/c.prj " + top + "/\xC3\xA9.prj  ");
    EXPECT_EQ(run.err, "trevik-inspect: 5 files; exit code 0: 5; 5 with warnings\n");

    // A name that would forge a summary line, with a terminal escape.
    const std::string evil = dir.file("x\ntrevik-inspect: 0 files\x1B[2J.txt");
    std::ofstream(evil) << "not a study\n";
    run = test::runProcess(kInspect, {"--tsv", "--png", dir.file("m.png"), evil});
    EXPECT_EQ(run.err, "trevik-inspect: no picture " + dir.file("m.png") + " for " + dir.path() +
                           "/x\\x0Atrevik-inspect: 0 files\\x1B[2J.txt: neither a projection file nor a Gated SPECT "
                           "data file\ntrevik-inspect: 1 file; other: 1; 0 with warnings\n");
    EXPECT_EQ(split(run.out, '\t')[0], dir.path() + "/x\\ntrevik-inspect: 0 files\\x1B[2J.txt");
    EXPECT_EQ(test::runProcess(kInspect, {"--version"}).out,
              "trevik-inspect " + test::runProcess(kTrevik, {"--version"}).out.substr(7));
}

}  // namespace
}  // namespace trevik::inspect
