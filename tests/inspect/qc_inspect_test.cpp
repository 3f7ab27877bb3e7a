// trevik-inspect's quality control: its three TSV columns for a projection
// file and the .gsd converted from it, and the --qc and --cine pictures.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "app/inspect/qc_report.h"
#include "tests/app/process.h"
#include "tests/support/temp_dir.h"
#include "tools/synth/phantom.h"
#include "tools/synth/source_file.h"

namespace trevik::inspect {
namespace {

const std::string kTrevik = TREVIK_BIN;
const std::string kInspect = INSPECT_BIN;

// A phantom study of `divisions` x `views` written as a projection file.
void savePhantom(const std::string& path, synth::PhantomPlan p) {
    synth::StudyPlan plan{.hr = static_cast<std::int16_t>(p.divisions > 1 ? 60 : 0),
                          .division = static_cast<std::int16_t>(p.divisions > 1 ? p.divisions : 0),
                          .images = p.divisions * p.views};
    plan.sample = synth::phantomSamples(p);
    synth::buildStudy(plan).save(path);
}

TEST(InspectQc, TheThreeColumnsOfASourceAndOfItsGsdAgree) {
    test::TempDir dir;
    savePhantom(dir.file("moved.prj"), {.motionShift = 2, .motionView = 12});
    savePhantom(dir.file("still.prj"), {});
    savePhantom(dir.file("ungated.prj"), {.divisions = 1, .views = 6});
    ASSERT_EQ(test::runProcess(kTrevik, {dir.file("moved.prj"), dir.file("moved.gsd")}).exitCode, 0);
    std::ofstream(dir.file("notes.txt")) << "not a study\n";
    const test::ProcessResult run =
        test::runProcess(kInspect, {"--tsv", dir.file("moved.prj"), dir.file("moved.gsd"), dir.file("still.prj"),
                                    dir.file("ungated.prj"), dir.file("notes.txt")});
    const auto lines = test::tsvFields(run.out);
    ASSERT_EQ(lines.size(), 5u) << run.out;
    for (const auto& fields : lines) ASSERT_EQ(fields.size(), 10u);
    // The moving study warns, its lowest division is near the mean, and the
    // .gsd holds the same frames: the same figures, one warning more than none.
    EXPECT_EQ(lines[0][9], "warn");
    EXPECT_GE(std::stod(lines[0][8]), 1.5);
    EXPECT_GT(std::stod(lines[0][7]), 97.0);
    EXPECT_EQ(lines[0][5], "1");
    EXPECT_EQ(std::vector<std::string>(lines[1].begin() + 5, lines[1].end()),
              std::vector<std::string>(lines[0].begin() + 5, lines[0].end()));
    EXPECT_EQ(lines[1][2], "2") << "the verdict of a .gsd stays 2";
    EXPECT_EQ(lines[2][9], "ok");
    EXPECT_LT(std::stod(lines[2][8]), 0.5);
    // Ungated, 6 views: no curve, no track; no frames at all: "-".
    EXPECT_EQ(std::vector<std::string>(lines[3].begin() + 7, lines[3].end()), (std::vector<std::string>{"", "", "ok"}));
    EXPECT_EQ(std::vector<std::string>(lines[4].begin() + 7, lines[4].end()), (std::vector<std::string>{"", "", "-"}));
    EXPECT_EQ(lines[4][1], "other") << "notes are listed, not failed";
    EXPECT_EQ(run.err, "trevik-inspect: 5 files; exit code 0: 3, 2: 1; other: 1; 2 with warnings\n");

    // The report says the same in words.
    const test::ProcessResult report = test::runProcess(kInspect, {dir.file("moved.prj")});
    EXPECT_NE(report.out.find("\nwarning: qc motion: the heart shifts abruptly 2.0 pixels axially at view 12 (0.75 pixels or "
                              "more)\nqc advice: look at the cine"),
              std::string::npos)
        << report.out;
    EXPECT_NE(report.out.find("\nqc: warn\n"), std::string::npos);
}

// The report's words of a phantom of each kind: its verdict, and the line
// that says what was found.
TEST(InspectQc, EachKindOfFaultIsNamedInTheReport) {
    const auto words = [](synth::PhantomPlan p, const qc::Facts& facts = {}) {
        std::vector<std::int16_t> frames;
        const auto sample = synth::phantomSamples(p);
        for (int i = 0; i < p.divisions * p.views; ++i)
            for (int k = 0; k < 4096; ++k) frames.push_back(static_cast<std::int16_t>(sample(i, k / 64, k % 64)));
        Text t;
        Inspection ins;
        reportQc(t, {p.divisions, p.views, [&](int d, int v) { return &frames[static_cast<std::size_t>(d * p.views + v) * 4096]; }},
                 ins, facts);
        return std::string(t.str());
    };
    synth::PhantomPlan bounce{.counts = 40000};
    bounce.bounceShift = -2.5, bounce.bounceView = 9, bounce.bounceViews = 2;
    synth::PhantomPlan creep{.counts = 40000};
    creep.creep = 2.5;
    synth::PhantomPlan across{.counts = 40000};
    across.lateralShift = 2, across.motionView = 20;
    synth::PhantomPlan lost{.gateDropPercent = 82, .gateFrom = 5, .counts = 40000};
    lost.gateFirstView = 17;
    synth::PhantomPlan heads{.counts = 40000};
    heads.detectors = 2, heads.headOffset = 1.5;
    synth::PhantomPlan body{.divisions = 1, .views = 64, .counts = 150000};
    body.heart = false, body.lateralShift = -2, body.motionView = 40;
    const std::pair<std::string, std::string> cases[] = {
        {words(bounce), "warning: qc motion: the heart bounces 2.5 pixels axially at views 9 to 10 and returns (2.0 pixels or more)"},
        {words(creep), "warning: qc motion: the heart creeps 2."},
        {words(across), "warning: qc motion: the heart shifts abruptly 2."},
        {words(lost), "warning: qc beats lost in part of the arc: division "},
        {words(heads, {.detectors = 2}), "qc motion: judged on the heart, its axial centroid near row "},
        {words(body), "warning: qc motion: the body shifts abruptly 2."},
    };
    for (const auto& [report, line] : cases) {
        EXPECT_NE(report.find("\n" + line), std::string::npos) << report;
        EXPECT_NE(report.find(line.starts_with("warning") ? "\nqc: warn\n" : "\nqc: ok\n"), std::string::npos) << report;
    }
    EXPECT_NE(cases[2].first.find(" pixels laterally at view 20 (0.75 pixels or more)\n"), std::string::npos);
    EXPECT_NE(cases[5].first.find(" pixels laterally at view 40 (0.75 pixels or more)\n"), std::string::npos);
    EXPECT_NE(cases[3].first.find("(views 17 to 32)"), std::string::npos) << cases[3].first;
    EXPECT_NE(cases[4].first.find("two detectors tracked apart, the second 1."), std::string::npos) << cases[4].first;
    EXPECT_EQ(cases[5].first.find("heart"), std::string::npos);
}

TEST(InspectQc, PageAndCineAreNamedAsTheMontageAndReplaceOnlyTheirKind) {
    test::TempDir dir;
    const auto f = [&dir](const char* name) { return dir.file(name); };
    savePhantom(f("a.prj"), {.views = 8});
    savePhantom(f("b.prj"), {.views = 8});
    test::ProcessResult run = test::runProcess(kInspect, {"--qc", f("q.png"), "--cine=" + f("c.gif"), f("a.prj"), f("b.prj")});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("qc page: " + f("q-0002.png") + "\ncine: " + f("c-0002.gif") + "\nverdict: 0"), std::string::npos)
        << run.out;
    EXPECT_TRUE(test::readFile(f("q-0001.png")).starts_with("\x89PNG"));
    EXPECT_TRUE(test::readFile(f("c-0001.gif")).starts_with("GIF89a"));

    // One file: the names themselves. A GIF is not replaced by the page, a
    // study not by the cine, and two pictures never share a name.
    run = test::runProcess(kInspect, {"--qc", f("q.png"), "--cine", f("c.gif"), f("a.prj")});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const std::string study = test::readFile(f("b.prj"));
    for (const auto& [args, err] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--qc", f("c.gif"), f("a.prj")}, f("c.gif") + ": it exists and is not a PNG picture\n"},
             {{"--cine", f("b.prj"), f("a.prj")}, f("b.prj") + ": it exists and is not a GIF picture\n"},
             {{"--cine", f("new.gif"), f("new.gif")}, f("new.gif") + ": it is one of the files inspected\n"},
             {{"--cine", f("q.png"), f("a.prj")}, f("q.png") + ": it exists and is not a GIF picture\n"},
             {{"--png", f("m.png"), "--qc", f("m.png"), f("a.prj")},
              f("m.png") + ": another picture of the run has that name\n"}}) {
        run = test::runProcess(kInspect, args);
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_EQ(run.out + run.err, "trevik-inspect: no picture is written to " + err);
    }
    EXPECT_EQ(test::readFile(f("b.prj")), study);
    EXPECT_TRUE(test::readFile(f("c.gif")).starts_with("GIF89a"));
}

// A projection file and the .gsd converted from it are each opened once,
// the listing, the montage, the quality control and its pictures included
// (strace counts the opens of the path; skipped where it cannot run).
TEST(InspectQc, EachFileIsOpenedOnce) {
    test::TempDir dir;
    savePhantom(dir.file("s.prj"), {.views = 8});
    ASSERT_EQ(test::runProcess(kTrevik, {dir.file("s.prj"), dir.file("s.gsd")}).exitCode, 0);
    for (const char* name : {"s.prj", "s.gsd"}) {
        const std::string path = dir.file(name);
        // LeakSanitizer cannot run under ptrace: the sanitizer build's
        // inspection checks no leaks while it is traced.
        const char* asan = std::getenv("ASAN_OPTIONS");
        const std::string kept = asan ? asan : "";
        ::setenv("ASAN_OPTIONS", (kept.empty() ? "detect_leaks=0" : kept + ":detect_leaks=0").c_str(), 1);
        const test::ProcessResult run =
            test::runProcess("strace", {"-f", "-e", "trace=open,openat", "-o", dir.file("trace"), kInspect, "--png",
                                        dir.file("m.png"), "--qc", dir.file("q.png"), "--cine", dir.file("c.gif"), path});
        if (asan) ::setenv("ASAN_OPTIONS", kept.c_str(), 1); else ::unsetenv("ASAN_OPTIONS");
        if (!run.started || !test::fileExists(dir.file("trace"))) GTEST_SKIP() << "strace cannot run here";
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const std::string trace = test::readFile(dir.file("trace"));
        std::size_t opens = 0;
        for (std::size_t at = trace.find("\"" + path + "\""); at != std::string::npos;
             at = trace.find("\"" + path + "\"", at + 1))
            ++opens;
        EXPECT_EQ(opens, 1u) << trace;
        for (const char* picture : {"m.png", "q.png", "c.gif"}) ::unlink(dir.file(picture).c_str());
        ::unlink(dir.file("trace").c_str());
    }
}

}  // namespace
}  // namespace trevik::inspect
