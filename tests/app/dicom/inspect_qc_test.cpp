// The quality control of DICOM objects, through trevik-inspect handing them
// to trevik-dicom inspect: phantoms exported give the verdicts of their
// projection files; an object of two detectors reports their offset; one
// that records many rejected beats warns.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/app/dicom/dicom_fixtures.h"
#include "tests/app/dicom/frame_vectors.h"
#include "tests/app/dicom/six_windows.h"

namespace trevik::test {
namespace {

const std::string kInspect = TREVIK_INSPECT_BIN;

// A phantom with make-study's `options`, exported: the object's path.
std::string phantom(std::vector<std::string> options, const TempDir& dir, const std::string& name) {
    options.insert(options.begin(), "--phantom");
    return synthesiseAndExport(options, dir, name);
}

// The number after `marker` in `text`.
double numberAfter(const std::string& text, const std::string& marker) {
    const std::size_t at = text.find(marker);
    return at == std::string::npos ? -99 : std::stod(text.substr(at + marker.size()));
}

TEST(InspectDicomQc, ExportedPhantomsGiveTheVerdictsOfTheirProjectionFiles) {
    TempDir dir;
    const std::vector<std::pair<std::string, std::vector<std::string>>> phantoms = {
        {"moved", {"--motion-shift", "2", "--motion-view", "12"}},
        {"still", {}},
        {"gating", {"--gate-drop", "70", "--gate-from", "6"}}};
    std::vector<std::string> files;
    for (const auto& [name, options] : phantoms) {
        ASSERT_FALSE(phantom(options, dir, name).empty());
        files.insert(files.end(), {dir.file(name + ".prj"), dir.file(name + ".dcm")});
    }
    std::vector<std::string> args = files;
    args.insert(args.begin(), "--tsv");
    const ProcessResult run = runProcess(kInspect, args);
    const auto lines = tsvFields(run.out);
    ASSERT_EQ(lines.size(), 6u) << run.out << run.err;
    for (std::size_t k = 0; k < lines.size(); k += 2) {
        ASSERT_EQ(lines[k + 1].size(), 10u);
        EXPECT_EQ(lines[k + 1][1], "dicom");
        // The warnings and the three figures of the object are those of its source.
        EXPECT_EQ(std::vector<std::string>(lines[k + 1].begin() + 5, lines[k + 1].end()),
                  std::vector<std::string>(lines[k].begin() + 5, lines[k].end()))
            << files[k];
    }
    EXPECT_EQ(lines[1][9], "warn");
    EXPECT_GE(std::stod(lines[1][8]), 1.5);
    EXPECT_EQ(lines[3][9], "ok");
    EXPECT_LT(std::stod(lines[3][8]), 0.5);
    EXPECT_EQ(lines[5][9], "warn");
    EXPECT_LT(std::stod(lines[5][7]), 85.0);
    EXPECT_EQ(run.err, "trevik-inspect: 6 files; exit code 0: 6; 4 with warnings\n");

    // The report in words names the view, and the pictures are trevik-dicom's,
    // named as trevik-inspect names its own.
    const ProcessResult report =
        runProcess(kInspect, {"--qc", dir.file("q.png"), "--cine", dir.file("c.gif"), dir.file("moved.dcm"),
                              dir.file("still.dcm")});
    EXPECT_EQ(report.exitCode, 0) << report.err;
    EXPECT_NE(report.out.find("warning: qc motion: the heart shifts abruptly 2.0 pixels axially at view 12 "), std::string::npos)
        << report.out;
    EXPECT_NE(report.out.find("qc page: " + dir.file("q-0002.png") + "\ncine: " + dir.file("c-0002.gif") +
                              "\nverdict: 0"),
              std::string::npos)
        << report.out;
    EXPECT_TRUE(readFile(dir.file("q-0001.png")).starts_with("\x89PNG"));
    EXPECT_TRUE(readFile(dir.file("c-0002.gif")).starts_with("GIF89a"));

    // trevik-dicom keeps its own input and other files as trevik-inspect does.
    const ProcessResult refused = runProcess(kTrevikDicom, {"inspect", "--cine", dir.file("still.dcm"), dir.file("still.dcm")});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.err, "trevik-dicom inspect: no picture is written to " + dir.file("still.dcm") +
                               ": it is the file inspected\n");
}

TEST(InspectDicomQc, TwoDetectorsAreTrackedApartAndRejectedBeatsWarn) {
    TempDir dir;
    const std::string object = phantom({}, dir, "still");
    ASSERT_FALSE(object.empty());
    // Views 17..32 as detector 2's views 1..16, its frames two rows lower:
    // an offset between the detectors, no motion within either.
    rewrite(object, dir.file("heads.dcm"), [](DcmDataset& data, std::vector<Uint16>& pixels, long) {
        const Uint16* values = nullptr;
        unsigned long count = 0;
        ASSERT_TRUE(data.findAndGetUint16Array(DCM_AngularViewVector, values, &count).good());
        std::vector<Uint16> views(values, values + count), detectors(count, 1);
        for (std::size_t i = 0; i < count; ++i) {
            if (views[i] <= 16) continue;
            views[i] = static_cast<Uint16>(views[i] - 16);
            detectors[i] = 2;
            Uint16* frame = pixels.data() + i * 64 * 64;
            std::copy_backward(frame, frame + 62 * 64, frame + 64 * 64);
            std::fill(frame, frame + 2 * 64, Uint16(0));
        }
        data.putAndInsertUint16Array(DCM_AngularViewVector, views.data(), count);
        data.putAndInsertUint16Array(DCM_DetectorVector, detectors.data(), count);
    });
    // The beats, where the standard places them and where some cameras do.
    rewrite(object, dir.file("rejected.dcm"), [](DcmDataset& data, std::vector<Uint16>&, long) {
        DcmItem* gate = nullptr;
        DcmItem* info = nullptr;
        ASSERT_TRUE(data.findAndGetSequenceItem(DCM_GatedInformationSequence, gate).good());
        ASSERT_TRUE(gate->findAndGetSequenceItem(DCM_DataInformationSequence, info).good());
        info->putAndInsertString(DCM_IntervalsAcquired, "700");
        info->putAndInsertString(DCM_IntervalsRejected, "300");
    });
    rewrite(object, dir.file("accepted.dcm"), [](DcmDataset& data, std::vector<Uint16>&, long) {
        data.putAndInsertString(DCM_IntervalsAcquired, "900");
        data.putAndInsertString(DCM_IntervalsRejected, "100");
    });

    ProcessResult run = runProcess(kInspect, {dir.file("heads.dcm")});
    EXPECT_NEAR(numberAfter(run.out, "two detectors tracked apart, the second "), 2.0, 0.5) << run.out;
    EXPECT_NE(run.out.find("\nqc: ok\n"), std::string::npos);

    run = runProcess(kInspect, {dir.file("rejected.dcm"), dir.file("accepted.dcm")});
    EXPECT_NE(run.out.find("\nwarning: qc rejected beats: 30.0 % of the beats were rejected (above 20.0 %)\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\nqc rejected beats: 10.0 % of the beats\n"), std::string::npos);
    run = runProcess(kInspect, {"--tsv", dir.file("rejected.dcm"), dir.file("accepted.dcm")});
    const auto lines = tsvFields(run.out);
    ASSERT_EQ(lines.size(), 2u) << run.out;
    EXPECT_EQ(lines[0][9], "warn");
    EXPECT_EQ(lines[0][5], "1");
    EXPECT_EQ(lines[1][9], "ok");
}

// Both inspections of a six-window object list every window with its
// range and kind; --energy-window N judges that window, QC included; a
// projection file has window 1 only.
TEST(InspectDicomQc, SixWindowsAreListedAndTheChosenOneIsJudged) {
    TempDir dir;
    const std::string object = synthesiseAndExport({"--matrix", "64", "--divisions", "0", "--frames", "60", "--tracer", "201Tl"}, dir, "s");
    ASSERT_TRUE(saveSixWindows(object, dir.file("six.dcm")));
    for (const std::string& program : {kInspect, kTrevikDicom}) {
        std::vector<std::string> args{dir.file("six.dcm")};
        if (program == kTrevikDicom) args.insert(args.begin(), "inspect");
        ProcessResult run = runProcess(program, args);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_NE(run.out.find("energy windows: 6 (choose one with --energy-window N)\n"
                               "  energy window 1: TL201-70 63-77 keV, photopeak of 201Tl\n"),
                  std::string::npos) << run.out;
        EXPECT_NE(run.out.find("  energy window 6: SC167U 184-200 keV, scatter (no photopeak of 201Tl)\n"),
                  std::string::npos) << run.out;
        EXPECT_NE(run.out.find("verdict: 2: "), std::string::npos) << run.out;

        args.insert(args.end() - 1, {"--energy-window", "2"});
        run = runProcess(program, args);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_NE(run.out.find("  energy window 2: TL201-167 150-184 keV, photopeak of 201Tl (inspected)\n"),
                  std::string::npos) << run.out;
        EXPECT_NE(run.out.find("\nqc: "), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("no frames were read"), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("verdict: 0: "), std::string::npos) << run.out;
    }
    const ProcessResult projection = runProcess(kInspect, {"--energy-window", "2", dir.file("s.prj")});
    EXPECT_NE(projection.out.find("verdict: 2: "), std::string::npos) << projection.out;
    EXPECT_EQ(runProcess(kInspect, {"--energy-window=1", dir.file("s.prj")}).exitCode, 0);
}

}  // namespace
}  // namespace trevik::test
