// qc-bench: what the quality control adds to the inspection of a typical
// study. Synthesises phantom studies (make-study --phantom) of 8 divisions of
// 32 and of 64 views, and times, as medians of many runs: the inspection of
// the file as trevik-inspect does it (the check included), the check alone on
// the loaded frames, and the two pictures --qc and --cine add. Ends with 1
// when the check and the page together take more than 20 ms.
//
// Usage: qc-bench [RUNS] (default 40). Not part of the test run.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "app/inspect/inspection.h"
#include "app/inspect/qc_pictures.h"
#include "tools/synth/phantom.h"
#include "tools/synth/source_file.h"
#include "writer/qc/qc_picture.h"

namespace {

using namespace trevik;

// The median and the fastest of `runs` timings of `work`, in milliseconds,
// after two warm-up runs.
struct Timing {
    double median, fastest;
};
Timing medianMs(int runs, const std::function<void()>& work) {
    work();
    work();
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    return {ms[static_cast<std::size_t>(runs / 2)], ms.front()};
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 40;
    char dir[] = "/tmp/qc-bench-XXXXXX";
    if (!::mkdtemp(dir)) return 2;
    const std::string base = dir;
    bool within = true;
    std::printf("medians (fastest) of %d runs, in ms\n%-10s %16s %16s %16s %16s %16s\n", runs, "8 x", "inspection", "check",
                "--qc page", "--cine", "check+page");
    for (const int views : {32, 64}) {
        const std::string study = base + "/phantom-" + std::to_string(views) + ".prj";
        synth::StudyPlan plan{.hr = 60, .division = 8, .images = 8 * views};
        plan.sample = synth::phantomSamples({.views = views});
        synth::buildStudy(plan).save(study);
        const inspect::Inspection ins = inspect::inspectFile(study, false);
        const Timing inspection = medianMs(runs, [&] { (void)inspect::inspectFile(study, false); });
        // The frames as loaded (tenfold), for the check alone.
        const auto sample = synth::phantomSamples({.views = views});
        std::vector<std::int16_t> frames;
        for (int i = 0; i < 8 * views; ++i)
            for (int k = 0; k < 4096; ++k) frames.push_back(static_cast<std::int16_t>(10 * sample(i, k / 64, k % 64)));
        const Timing check = medianMs(runs, [&] {
            (void)qc::check({8, views, [&](int d, int v) { return &frames[static_cast<std::size_t>(d * views + v) * 4096]; }});
        });
        const std::string page = base + "/qc.png", cine = base + "/cine.gif";
        const Timing pageMs = medianMs(runs, [&] { (void)qc::writeQcPage(page.c_str(), inspect::qcPictureOf(ins)); });
        const Timing cineMs = medianMs(runs, [&] { (void)qc::writeCineGif(cine.c_str(), inspect::cineOf(ins)); });
        const auto cell = [](Timing t) {
            char b[32];
            std::snprintf(b, sizeof b, "%7.2f (%6.2f)", t.median, t.fastest);
            return std::string(b);
        };
        const Timing added = {check.median + pageMs.median, check.fastest + pageMs.fastest};
        std::printf("%-10s %16s %16s %16s %16s %16s\n", (std::to_string(views) + " views").c_str(), cell(inspection).c_str(),
                    cell(check).c_str(), cell(pageMs).c_str(), cell(cineMs).c_str(), cell(added).c_str());
        within = within && added.median <= 20.0;
        std::remove(study.c_str());
        std::remove(page.c_str());
        std::remove(cine.c_str());
    }
    ::rmdir(dir);
    std::printf("goal: the check and the --qc page at most 20 ms: %s\n", within ? "met" : "NOT met");
    return within ? 0 : 1;
}
