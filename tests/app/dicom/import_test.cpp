// trevik-dicom import (and trevik handing DICOM sources to it) run as
// processes: exported studies come back byte-identical to trevik's own
// conversion, also re-encoded by DCMTK's tools, shuffled, split over two
// detectors or rewritten by XMedCon; a camera's six energy windows each to a
// file of its own; every refusal has its case.
#include <dcmtk/dcmdata/dcvrat.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>

#include "tests/app/dicom/dicom_fixtures.h"
#include "tests/app/dicom/frame_vectors.h"
#include "tests/app/dicom/six_windows.h"

namespace trevik::test {
namespace {

const std::string kTrevik = TREVIK_BIN;

ProcessResult importObject(const std::string& object, const std::string& output, std::vector<std::string> options = {}) {
    options.insert(options.begin(), "import");
    options.insert(options.end(), {object, output});
    return runProcess(kTrevikDicom, options);
}

// A study synthesised and converted by trevik (the reference .gsd), and
// exported: the path of the export.
std::string referenceAndExport(const std::vector<std::string>& options, const TempDir& dir, const std::string& name) {
    const std::string object = synthesiseAndExport(options, dir, name);
    EXPECT_EQ(runProcess(kTrevik, {dir.file(name + ".prj"), dir.file(name + ".ref.gsd")}).exitCode, 0);
    return object;
}

// A .gsd without its comment line.
std::string withoutComment(std::string gsd) {
    const std::size_t at = gsd.find("comment = ");
    if (at != std::string::npos) gsd.erase(at, gsd.find("\r\n", at) + 2 - at);
    return gsd;
}

TEST(Import, EveryIntegerStudyComesBackAsTrevikConvertsItsSource) {
    TempDir dir;
    const std::vector<std::vector<std::string>> kinds = {
        {"--matrix", "64", "--divisions", "8", "--frames", "32"},
        {"--matrix", "128", "--divisions", "16", "--frames", "64", "--slice", "3"},
        {"--matrix", "64", "--divisions", "0", "--frames", "60", "--tracer", "Tc99m-MIBI"},
        {"--matrix", "128", "--divisions", "1", "--frames", "64", "--reverse", "--sex", ""},
        {"--matrix", "64", "--divisions", "4", "--frames", "20", "--reverse", "--tracer", "201Tl", "--sex", "F"},
    };
    for (std::size_t k = 0; k < kinds.size(); ++k) {
        const std::string name = std::string(1, static_cast<char>('a' + k));
        const std::string object = referenceAndExport(kinds[k], dir, name);
        const ProcessResult run = importObject(object, dir.file(name + ".gsd"));
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(readFile(dir.file(name + ".gsd")), readFile(dir.file(name + ".ref.gsd"))) << name;
        // trevik hands the DICOM source over and gives the same file.
        EXPECT_EQ(runProcess(kTrevik, {object, dir.file(name + ".batch.gsd")}).exitCode, 0);
        EXPECT_EQ(readFile(dir.file(name + ".batch.gsd")), readFile(dir.file(name + ".ref.gsd"))) << name;
    }
    // A DICOM file at the output is a source: kept, 1.
    const std::string kept = readFile(dir.file("b.dcm"));
    EXPECT_EQ(runProcess(kTrevik, {dir.file("a.dcm"), dir.file("b.dcm")}).exitCode, 1);
    EXPECT_EQ(readFile(dir.file("b.dcm")), kept);
}

TEST(Import, ObjectsReencodedShuffledOrSplitOverTwoDetectorsGiveTheSameFile) {
    TempDir dir;
    const std::string object =
        referenceAndExport({"--matrix", "128", "--divisions", "8", "--frames", "32", "--reverse"}, dir, "s");
    const std::string reference = readFile(dir.file("s.ref.gsd"));
    const std::vector<std::vector<std::string>> encoders = {{"dcmconv", "+ti"}, {"dcmconv", "+tb"},
                                                            {"dcmcjpls"},       {"dcmcrle"},
                                                            {"dcmcjpeg", "+e1"}};
    for (std::size_t k = 0; k < encoders.size(); ++k) {
        std::vector<std::string> args(encoders[k].begin() + 1, encoders[k].end());
        const std::string encoded = dir.file(std::string(1, static_cast<char>('a' + k)) + ".dcm");
        args.insert(args.end(), {object, encoded});
        ASSERT_EQ(runProcess(encoders[k][0], args).exitCode, 0) << encoders[k][0];
        EXPECT_EQ(importObject(encoded, dir.file("e.gsd")).exitCode, 0) << encoders[k][0];
        EXPECT_EQ(readFile(dir.file("e.gsd")), reference) << encoders[k][0];
    }

    // Frames and vectors permuted together.
    rewrite(object, dir.file("shuffled.dcm"), [](DcmDataset& data, std::vector<Uint16>& pixels, long frames) {
        std::vector<std::size_t> order(static_cast<std::size_t>(frames));
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::shuffle(order.begin(), order.end(), std::mt19937(21));
        const std::size_t side = pixels.size() / order.size();
        std::vector<Uint16> moved(pixels.size());
        for (std::size_t i = 0; i < order.size(); ++i)
            std::copy_n(pixels.begin() + static_cast<long>(order[i] * side), side, moved.begin() + static_cast<long>(i * side));
        pixels = moved;
        for (const DcmTagKey& tag : {DCM_TimeSlotVector, DCM_AngularViewVector}) {
            const std::vector<Uint16> v = vectorOf(data, tag);
            std::vector<Uint16> w(v.size());
            for (std::size_t i = 0; i < order.size(); ++i) w[i] = v[order[i]];
            setVector(data, tag, w);
        }
    });
    // Views 17..32 as detector 2's views 1..16.
    rewrite(object, dir.file("heads.dcm"), [](DcmDataset& data, std::vector<Uint16>&, long) {
        std::vector<Uint16> views = vectorOf(data, DCM_AngularViewVector), detectors(views.size(), 1);
        for (std::size_t i = 0; i < views.size(); ++i)
            if (views[i] > 16) views[i] -= 16, detectors[i] = 2;
        setVector(data, DCM_AngularViewVector, views);
        setVector(data, DCM_DetectorVector, detectors);
    });
    // A second energy window and R-R interval, taken only when chosen.
    for (const auto& [name, tag] : {std::pair{"windows.dcm", DCM_EnergyWindowVector}, {"intervals.dcm", DCM_RRIntervalVector}})
        rewrite(object, dir.file(name), [tag](DcmDataset& d, std::vector<Uint16>& p, long n) { doubleFrames(d, p, n, tag); });
    const std::vector<std::pair<std::string, std::vector<std::string>>> same = {
        {"shuffled.dcm", {}}, {"heads.dcm", {}}, {"windows.dcm", {"--energy-window", "1"}},
        {"intervals.dcm", {"--rr-interval=1"}}};
    for (const auto& [name, options] : same) {
        const ProcessResult run = importObject(dir.file(name), dir.file("x.gsd"), options);
        EXPECT_EQ(run.exitCode, 0) << name << run.err;
        // A window or interval taken out of several is named in the comment.
        EXPECT_EQ(withoutComment(readFile(dir.file("x.gsd"))), reference) << name;
    }
    EXPECT_NE(readFile(dir.file("x.gsd")).find("comment = R-R_interval_1;"), std::string::npos);
}

TEST(Import, AllWritesAFileForEachEnergyWindowAndIntervalAsItsChoiceWould) {
    TempDir dir;
    const std::string object = referenceAndExport({"--matrix", "64", "--divisions", "0", "--frames", "60"}, dir, "s");
    const std::string reference = readFile(dir.file("s.ref.gsd"));
    ASSERT_TRUE(saveSixWindows(object, dir.file("six.dcm")));
    ProcessResult run = importObject(dir.file("six.dcm"), dir.file("six.gsd"), {"--energy-window", "all"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_FALSE(fileExists(dir.file("six.gsd")));
    for (int w = 1; w <= 6; ++w) {
        const std::string n = std::to_string(w);
        ASSERT_EQ(importObject(dir.file("six.dcm"), dir.file(n + ".gsd"), {"--energy-window", n}).exitCode, 0);
        EXPECT_EQ(readFile(dir.file("six-ew" + n + ".gsd")), readFile(dir.file(n + ".gsd"))) << w;
    }
    // Window 1 is the source's frames, named in the comment.
    EXPECT_EQ(withoutComment(readFile(dir.file("six-ew1.gsd"))), reference);
    EXPECT_NE(readFile(dir.file("six-ew2.gsd")).find("comment = energy_window_2_TL201-167_150-184_keV;\r\n"),
              std::string::npos);

    // Existing outputs are never replaced: every name is checked before any
    // is written.
    for (const char* gone : {"six-ew1.gsd", "six-ew2.gsd"}) ASSERT_EQ(::unlink(dir.file(gone).c_str()), 0);
    const std::string kept = readFile(dir.file("six-ew3.gsd"));
    run = importObject(dir.file("six.dcm"), dir.file("six.gsd"), {"--energy-window=all"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("six-ew3.gsd: the output cannot be written: File exists"), std::string::npos) << run.err;
    EXPECT_FALSE(fileExists(dir.file("six-ew1.gsd")));
    EXPECT_EQ(readFile(dir.file("six-ew3.gsd")), kept);

    // R-R intervals, and both at once, named -ewN-rrM.
    const std::string gated = referenceAndExport({"--matrix", "64", "--divisions", "4", "--frames", "8"}, dir, "g");
    rewrite(gated, dir.file("rr.dcm"),
            [](DcmDataset& d, std::vector<Uint16>& p, long n) { doubleFrames(d, p, n, DCM_RRIntervalVector); });
    run = importObject(dir.file("rr.dcm"), dir.file("rr"), {"--energy-window", "all", "--rr-interval", "all"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(withoutComment(readFile(dir.file("rr-ew1-rr1"))), readFile(dir.file("g.ref.gsd")));
    EXPECT_NE(readFile(dir.file("rr-ew1-rr2")).find("comment = R-R_interval_2;"), std::string::npos);
}

TEST(Import, AnObjectRewrittenByXMedConHasTheSameFramesAndGeometry) {
    TempDir dir;
    const std::string object = referenceAndExport({"--matrix", "64", "--divisions", "8", "--frames", "32"}, dir, "s");
    ASSERT_EQ(runProcess("medcon", {"-f", object, "-c", "intf", "-o", dir.file("m")}).exitCode, 0);
    ASSERT_EQ(runProcess("medcon", {"-f", dir.file("m.h33"), "-c", "dicom", "-o", dir.file("m2")}).exitCode, 0);
    ASSERT_EQ(importObject(dir.file("m2.dcm"), dir.file("m.gsd")).exitCode, 0);
    const std::string got = readFile(dir.file("m.gsd")), want = readFile(dir.file("s.ref.gsd"));
    const std::string separator = "\x0C\r\n";
    ASSERT_NE(got.find(separator), std::string::npos);
    EXPECT_EQ(got.substr(got.find(separator)), want.substr(want.find(separator)));  // the frames
    for (const char* line : {"matrix = 64;", "pixel =     6.4000000000;", "division = 8;", "frames = 32;"})
        EXPECT_NE(got.find(line), std::string::npos) << line;
}

TEST(Import, EveryRefusalHasItsCodeAndReason) {
    TempDir dir;
    const std::string object = referenceAndExport({"--matrix", "64", "--divisions", "4", "--frames", "8"}, dir, "s");
    using Edit = std::function<void(DcmDataset&, std::vector<Uint16>&, long)>;
    auto set = [](const DcmTagKey& tag, const char* value) -> Edit {
        return [=](DcmDataset& d, std::vector<Uint16>&, long) { d.putAndInsertString(tag, value); };
    };
    auto vectorValue = [](const DcmTagKey& tag, std::size_t at, Uint16 value) -> Edit {
        return [=](DcmDataset& d, std::vector<Uint16>&, long) {
            std::vector<Uint16> v = vectorOf(d, tag);
            v[at] = value;
            setVector(d, tag, v);
        };
    };
    struct Case {
        const char* name;
        Edit edit;
        std::vector<std::string> options;
        int code;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {"matrix", set(DCM_Rows, "32"), {}, 2, "64 x 32 images"},
        {"form", set(DCM_BitsStored, "17"), {}, 2, "sample form"},
        {"rotations", vectorValue(DCM_RotationVector, 3, 2), {}, 2, "more than one rotation"},
        {"windows", vectorValue(DCM_EnergyWindowVector, 3, 2), {}, 2, "--energy-window N"},
        {"chosen", {}, {"--energy-window", "2"}, 2, "chosen energy window"},
        {"intervals", vectorValue(DCM_RRIntervalVector, 0, 3), {}, 2, "--rr-interval N"},
        {"duplicate", vectorValue(DCM_AngularViewVector, 1, 1), {}, 2, "more than one frame"},
        {"gap", vectorValue(DCM_AngularViewVector, 31, 9), {}, 2, "has no frame"},
        {"class", set(DCM_SOPClassUID, "1.2.840.10008.5.1.4.1.1.7"), {}, 2, "not a DICOM NM image"},
        {"cut", [](DcmDataset&, std::vector<Uint16>& p, long) { p.resize(p.size() - 5000); }, {}, 4,
         "pixel data ends in image 31"},
        {"longer", [](DcmDataset&, std::vector<Uint16>& p, long) { p.resize(p.size() + 4096); }, {}, 2,
         "holds more than its frames: 270336 bytes, 8192 more"},
        {"flagged", set(DCM_LossyImageCompression, "01"), {}, 2, "compressed lossily once"},
    };
    for (const Case& c : cases) {
        const std::string file = dir.file(std::string(c.name) + ".dcm");
        rewrite(object, file, c.edit ? c.edit : [](DcmDataset&, std::vector<Uint16>&, long) {});
        const ProcessResult run = importObject(file, dir.file("x.gsd"), c.options);
        EXPECT_EQ(run.exitCode, c.code) << c.name;
        EXPECT_NE(run.err.find(c.reason), std::string::npos) << c.name << ": " << run.err;
        EXPECT_FALSE(fileExists(dir.file("x.gsd"))) << c.name;
    }
    // Lossy JPEG; lossy JPEG-LS and JPEG 2000 as transfer syntaxes of the
    // same length put in place of lossless JPEG-LS's (DCMTK makes neither
    // of signed samples): the lossy ones refused before any decoding (DCMTK
    // flags its lossy JPEG as such), the JPEG 2000 one (once refused as a
    // syntax not read) not decodable.
    ASSERT_EQ(runProcess("dcmcjpeg", {"+ee", object, dir.file("lossy.dcm")}).exitCode, 0);
    ASSERT_EQ(runProcess("dcmcjpls", {object, dir.file("ls.dcm")}).exitCode, 0);
    const std::string lossless = readFile(dir.file("ls.dcm"));
    const std::size_t uid = lossless.find("1.2.840.10008.1.2.4.80");
    ASSERT_LT(uid, 400u);
    for (const auto& [name, last] : {std::pair{"lossyls.dcm", "81"}, {"j2k.dcm", "90"}}) {
        std::string bytes = lossless;
        bytes.replace(uid + 20, 2, last);
        writeText(dir.file(name), bytes);
    }
    for (const auto& [name, reason] : {std::pair{"lossy.dcm", "compressed lossily once"},
                                       {"lossyls.dcm", "lossy compressed"}, {"j2k.dcm", "cannot be decoded"}}) {
        const ProcessResult run = importObject(dir.file(name), dir.file("x.gsd"));
        EXPECT_EQ(run.exitCode, std::string(name) == "j2k.dcm" ? 4 : 2) << name;
        EXPECT_NE(run.err.find(reason), std::string::npos) << run.err;
    }
    // A file that ends inside an element.
    const std::string whole = readFile(object);
    writeText(dir.file("short.dcm"), whole.substr(0, 3000));
    EXPECT_EQ(importObject(dir.file("short.dcm"), dir.file("x.gsd")).exitCode, 4);
}

TEST(Import, JpegTwoThousandLosslessCopiesGiveTheSameFileLossyOrDamagedOnesAreRefused) {
    TempDir dir;
    for (const std::string name : {"a", "b"}) {
        const std::string object = referenceAndExport(
            name == "a" ? std::vector<std::string>{"--divisions", "4", "--frames", "8"}
                        : std::vector<std::string>{"--matrix", "128", "--divisions", "2", "--frames", "4"},
            dir, name);
        ASSERT_EQ(runProcess("gdcmconv", {"--j2k", object, dir.file(name + ".j2k.dcm")}).exitCode, 0)
            << "libgdcm-tools is not installed";
        const ProcessResult run = importObject(dir.file(name + ".j2k.dcm"), dir.file(name + ".gsd"));
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(readFile(dir.file(name + ".gsd")), readFile(dir.file(name + ".ref.gsd"))) << name;
    }
    EXPECT_EQ(runProcess(kTrevik, {dir.file("a.j2k.dcm"), dir.file("a.batch.gsd")}).exitCode, 0);
    EXPECT_EQ(readFile(dir.file("a.batch.gsd")), readFile(dir.file("a.ref.gsd")));
    // The first codestream's COD copied into its first tile-part header with
    // the 9-7 wavelet (the tile-part's and the fragment's lengths to match): 2.
    {
        std::string bytes = readFile(dir.file("a.j2k.dcm"));
        const std::size_t soc = bytes.find("\xFF\x4F\xFF\x51"), cod = bytes.find("\xFF\x52", soc);
        const std::size_t sot = bytes.find("\xFF\x90", cod);
        ASSERT_LT(sot, bytes.size());
        std::string segment = bytes.substr(cod, 2 + (std::uint8_t(bytes[cod + 2]) << 8 | std::uint8_t(bytes[cod + 3])));
        segment[2 + 2 + 9] = 0;
        bytes.insert(sot + 12, segment);
        auto grow = [&](std::size_t at, bool bigEndian) {
            std::uint32_t v = 0;
            for (int i = 0; i < 4; ++i) v |= std::uint32_t(std::uint8_t(bytes[at + i])) << 8 * (bigEndian ? 3 - i : i);
            v += static_cast<std::uint32_t>(segment.size());
            for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(v >> 8 * (bigEndian ? 3 - i : i));
        };
        grow(sot + 6, true);
        grow(soc - 4, false);
        writeText(dir.file("tile97.dcm"), bytes);
        const ProcessResult tile = importObject(dir.file("tile97.dcm"), dir.file("x.gsd"));
        EXPECT_EQ(tile.exitCode, 2) << tile.err;
        EXPECT_NE(tile.err.find("a tile uses the irreversible 9-7 wavelet"), std::string::npos) << tile.err;
        EXPECT_EQ(runProcess(kTrevik, {dir.file("tile97.dcm"), dir.file("x.gsd")}).exitCode, 2);
        EXPECT_FALSE(fileExists(dir.file("x.gsd")));
    }
    // Lossy (Lossy Image Compression 01): 2.
    ASSERT_EQ(runProcess("gdcmconv", {"--j2k", "--lossy", dir.file("a.dcm"), dir.file("lossy.dcm")}).exitCode, 0);
    ProcessResult run = importObject(dir.file("lossy.dcm"), dir.file("x.gsd"));
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("compressed lossily once"), std::string::npos) << run.err;
    // The first codestream's image header overwritten, or the codestream cut
    // short (its fragment 1,000 bytes, its item's length to match): 4.
    const std::string whole = readFile(dir.file("a.j2k.dcm"));
    const std::size_t start = whole.find("\xFF\x4F\xFF\x51");
    ASSERT_NE(start, std::string::npos);
    std::string damaged = whole;
    damaged.replace(start + 2, 10, 10, '\0');
    std::string cut = whole;
    std::uint32_t length = 0;
    std::memcpy(&length, cut.data() + start - 4, 4);
    cut.erase(start + 1000, length - 1000);
    length = 1000;
    std::memcpy(cut.data() + start - 4, &length, 4);
    for (const auto& [name, bytes] : {std::pair{"damaged.dcm", damaged}, {"cut.dcm", cut}}) {
        writeText(dir.file(name), bytes);
        run = importObject(dir.file(name), dir.file("x.gsd"));
        EXPECT_EQ(run.exitCode, 4) << name;
        EXPECT_NE(run.err.find("cannot be decoded"), std::string::npos) << run.err;
        EXPECT_FALSE(fileExists(dir.file("x.gsd")));
    }
}

TEST(Import, AnObjectNamingNoNuclideGivesNoTracerLineAndInspectSaysSo) {
    TempDir dir;
    const std::string object = referenceAndExport({"--divisions", "2", "--frames", "4", "--tracer", ""}, dir, "s");
    ASSERT_EQ(importObject(object, dir.file("s.gsd")).exitCode, 0);
    EXPECT_EQ(readFile(dir.file("s.gsd")), readFile(dir.file("s.ref.gsd")));
    EXPECT_EQ(readFile(dir.file("s.gsd")).find("tracer"), std::string::npos);
    const ProcessResult run = runProcess(kTrevikDicom, {"inspect", object});
    EXPECT_NE(run.out.find("warning: the object names no radionuclide"), std::string::npos) << run.out;
}

TEST(Import, TrevikAndTrevikInspectWithoutTrevikDicomOrWithOneThatCannotStart) {
    TempDir dir;
    const std::string object = synthesiseAndExport({"--divisions", "2", "--frames", "4"}, dir);
    // Beside trevik-dicom: the verdict and the attributes used.
    ProcessResult run = runProcess(TREVIK_INSPECT_BIN, {object});
    EXPECT_NE(run.out.find("attribute (0028,0010) Rows: 64\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("verdict: 0: converts 2 divisions of 4 frames, 64 x 64\n"), std::string::npos);
    ASSERT_EQ(mkdir(dir.file("bin").c_str(), 0755), 0);
    for (const std::string& program : {kTrevik, std::string(TREVIK_INSPECT_BIN)}) {
        const std::string copy = dir.file("bin/" + program.substr(program.rfind('/') + 1));
        writeText(copy, readFile(program));
        ASSERT_EQ(chmod(copy.c_str(), 0755), 0);
    }
    const std::string trevik = dir.file("bin/trevik");
    run = runProcess(trevik, {object, dir.file("x.gsd")});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("install the package trevik-dicom"), std::string::npos) << run.err;
    run = runProcess(dir.file("bin/trevik-inspect"), {object});
    EXPECT_NE(run.out.find("verdict: 2: a DICOM file"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("install the package trevik-dicom\n"), std::string::npos);
    // The loader's 127 (a library missing) becomes 1 with the reason.
    writeText(dir.file("bin/trevik-dicom"), "#!/bin/sh\necho 'error while loading shared libraries' >&2\nexit 127\n");
    ASSERT_EQ(chmod(dir.file("bin/trevik-dicom").c_str(), 0755), 0);
    run = runProcess(trevik, {object, dir.file("x.gsd")});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("a library it needs is missing"), std::string::npos) << run.err;
    // One that ends by a signal: said, with its name, not "reinstall".
    writeText(dir.file("bin/trevik-dicom"), "#!/bin/sh\nkill -SEGV $$\n");
    run = runProcess(trevik, {object, dir.file("x.gsd")});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("trevik-dicom ended by SIGSEGV (Segmentation fault)"), std::string::npos) << run.err;
    run = runProcess(dir.file("bin/trevik-inspect"), {object});
    EXPECT_NE(run.out.find("ended by SIGSEGV (Segmentation fault) while inspecting the file"), std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("reinstall"), std::string::npos) << run.out;
}

}  // namespace
}  // namespace trevik::test
