// qc-accuracy: how often the quality control warns, and how close its
// motion is to the truth, on phantom studies (make-study --phantom) of every
// kind it judges: still hearts, abrupt shifts axial and lateral (1 to 3
// pixels, either way, at a view drawn at random), shifts of half a pixel,
// bounces, creep, beats lost over half the arc, two detectors whose heads
// disagree, and bodies without a heart, still and moved. Every study draws
// its divisions (8 or 16), views (32 or 64), heart counts per view (30000
// to 80000), pixel size (5.6, 6.4 or 7.2 mm), heart place and size, liver
// and bowel activity from a generator seeded per study. Two seed sets: the
// one the thresholds were tuned on, and one held out, reported apart.
//
// Usage: qc-accuracy [STUDIES-PER-KIND [KIND]] (default 20 of every kind; KIND:
// the kinds whose name holds it). Not part of the test run; prints the
// results table of BENCHMARKS.md. With QC_ACCURACY_VERBOSE set, the
// warnings of every study warned go to standard error.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/inspect/qc_report.h"
#include "study/qc.h"
#include "tools/synth/phantom.h"

namespace {

using namespace trevik;

struct Truth {
    double shift = 0;  // the abrupt shift put in, pixels (0: none)
    bool lateral = false;
};

using Rng = std::mt19937_64;
double uniform(Rng& g, double lo, double hi) { return lo + (hi - lo) * (static_cast<double>(g() >> 11) * 0x1.0p-53); }
int pick(Rng& g, int lo, int hi) { return lo + static_cast<int>(g() % static_cast<std::uint64_t>(hi - lo + 1)); }
double sign(Rng& g) { return g() % 2 ? 1.0 : -1.0; }

// A cardiac study of drawn sizes, counts and anatomy.
synth::PhantomPlan cardiac(Rng& g) {
    synth::PhantomPlan p;
    p.divisions = g() % 2 ? 8 : 16;
    p.views = g() % 2 ? 32 : 64;
    p.counts = uniform(g, 30000, 80000);
    const double pixels[] = {5.6, 6.4, 7.2};
    p.pixelMm = pixels[g() % 3];
    p.heartX = uniform(g, -2, 2);
    p.heartY = uniform(g, -2, 2);
    p.heartZ = uniform(g, -2, 2);
    p.heartSize = uniform(g, 0.85, 1.2);
    p.liverPercent = uniform(g, 60, 160);
    p.bowelPercent = g() % 2 ? uniform(g, 50, 150) : 0;
    return p;
}

synth::PhantomPlan body(Rng& g) {
    synth::PhantomPlan p;
    p.heart = false;
    p.divisions = 1;
    p.views = g() % 2 ? 32 : 64;
    p.counts = uniform(g, 60000, 200000);
    const double pixels[] = {4.8, 6.4, 7.2};
    p.pixelMm = pixels[g() % 3];
    p.liverPercent = uniform(g, 60, 160);
    return p;
}

int someView(Rng& g, const synth::PhantomPlan& p) { return pick(g, 4, p.views - 3); }

void shift(Rng& g, synth::PhantomPlan& p, Truth& t, double px, bool lateral) {
    p.motionView = someView(g, p);
    (lateral ? p.lateralShift : p.motionShift) = px;
    t = {std::fabs(px), lateral};
}

synth::PhantomPlan bounce(Rng& g, double lo, double hi) {
    auto p = cardiac(g);
    p.bounceView = someView(g, p);
    p.bounceViews = pick(g, 1, 2);
    p.bounceShift = sign(g) * uniform(g, lo, hi);
    return p;
}

struct Kind {
    const char* name;
    const char* judged;  // what "warned" counts
    std::function<synth::PhantomPlan(Rng&, Truth&)> make;
};

const std::vector<Kind>& kinds() {
    static const std::vector<Kind> k = {
        {"still heart", "any warning", [](Rng& g, Truth&) { return cardiac(g); }},
        {"shift axial 1-3 px", "motion", [](Rng& g, Truth& t) { auto p = cardiac(g); shift(g, p, t, sign(g) * uniform(g, 1, 3), false); return p; }},
        {"shift lateral 1-3 px", "motion", [](Rng& g, Truth& t) { auto p = cardiac(g); shift(g, p, t, sign(g) * uniform(g, 1, 3), true); return p; }},
        {"shift 0.5 px", "any warning", [](Rng& g, Truth& t) { auto p = cardiac(g); shift(g, p, t, sign(g) * 0.5, g() % 2); return p; }},
        {"bounce 1-1.8 px", "motion", [](Rng& g, Truth&) { return bounce(g, 1, 1.8); }},
        {"bounce 2.2-3 px", "motion", [](Rng& g, Truth&) { return bounce(g, 2.2, 3); }},
        {"creep 2-3 px", "motion", [](Rng& g, Truth&) { auto p = cardiac(g); p.creep = sign(g) * uniform(g, 2, 3); return p; }},
        {"beats lost, half the arc (late divisions at 82 %)", "any warning", [](Rng& g, Truth&) {
             auto p = cardiac(g);
             p.gateFrom = p.divisions / 2 + 1;
             p.gateDropPercent = 82;
             p.gateFirstView = pick(g, 1, p.views / 2 + 1);
             p.gateLastView = p.gateFirstView + p.views / 2 - 1;
             return p;
         }},
        {"two heads, offset 0.5-2 px", "any warning", [](Rng& g, Truth&) {
             auto p = cardiac(g);
             p.detectors = 2;
             p.headOffset = sign(g) * uniform(g, 0.5, 2);
             return p;
         }},
        {"body still", "any warning", [](Rng& g, Truth&) { return body(g); }},
        {"body moved 2 px", "motion", [](Rng& g, Truth& t) { auto p = body(g); shift(g, p, t, sign(g) * 2, g() % 2); return p; }},
    };
    return k;
}

struct Tally {
    int studies = 0, warned = 0, gateCurve = 0, measured = 0, within = 0, heartWords = 0;
    double error = 0, checkMs = 0, makeMs = 0;
};

Tally run(const Kind& kind, std::uint64_t firstSeed, int count) {
    Tally t;
    for (int i = 0; i < count; ++i) {
        Rng g(firstSeed + static_cast<std::uint64_t>(i));
        Truth truth;
        synth::PhantomPlan plan = kind.make(g, truth);
        plan.seed = firstSeed * 7919 + static_cast<std::uint64_t>(i);
        const auto start = std::chrono::steady_clock::now();
        const auto sample = synth::phantomSamples(plan);
        std::vector<std::int16_t> frames(static_cast<std::size_t>(plan.divisions * plan.views) * 4096);
        for (int f = 0; f < plan.divisions * plan.views; ++f)
            for (int k = 0; k < 4096; ++k)
                frames[static_cast<std::size_t>(f) * 4096 + static_cast<std::size_t>(k)] =
                    static_cast<std::int16_t>(std::min(32767.0, sample(f, k / 64, k % 64)));
        const auto made = std::chrono::steady_clock::now();
        const qc::Frames in{plan.divisions, plan.views, [&](int d, int v) {
                                return &frames[static_cast<std::size_t>(d * plan.views + v) * 4096];
                            }};
        const qc::Facts facts{.detectors = plan.detectors};
        const qc::Result r = qc::check(in, facts);
        const auto checked = std::chrono::steady_clock::now();
        t.makeMs += std::chrono::duration<double, std::milli>(made - start).count();
        t.checkMs += std::chrono::duration<double, std::milli>(checked - made).count();
        ++t.studies;
        const bool motionOnly = std::string(kind.judged) == "motion";
        t.warned += motionOnly ? r.motionWarning : r.warning();
        t.gateCurve += r.gateWarning;
        if (truth.shift > 0) {
            for (const qc::Motion& m : r.motions)
                if (m.kind == qc::MotionKind::Shift && m.lateral == truth.lateral) {
                    ++t.measured;
                    const double e = std::fabs(std::fabs(m.pixels) - truth.shift);
                    t.error += e;
                    t.within += e <= 0.5;
                }
        }
        inspect::Text text;
        inspect::Inspection ins;
        inspect::reportQc(text, in, ins, facts);
        t.heartWords += text.str().find("heart") != std::string::npos;
        // QC_ACCURACY_VERBOSE: the warnings of each study warned, on standard error.
        if (std::getenv("QC_ACCURACY_VERBOSE") && (motionOnly ? r.motionWarning : r.warning())) {
            std::istringstream lines(text.str());
            for (std::string line; std::getline(lines, line);)
                if (line.starts_with("warning: ")) std::fprintf(stderr, "%s seed %llu: %s\n", kind.name, static_cast<unsigned long long>(firstSeed + static_cast<std::uint64_t>(i)), line.c_str());
        }
    }
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const char* only = argc > 2 ? argv[2] : nullptr;
    std::printf("| seeds | kind | studies | warned (%%) | judged on | gate curve warned (%%) | shift within 0.5 px (%%) | "
                "mean shift error (px) | says \"heart\" (%%) | check ms | phantom ms |\n|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (const auto& [set, base] : {std::pair{"tuning", 1000ULL}, std::pair{"held out", 700000ULL}}) {
        for (std::size_t k = 0; k < kinds().size(); ++k) {
            const Kind& kind = kinds()[k];
            if (only && std::string(kind.name).find(only) == std::string::npos) continue;
            const Tally t = run(kind, base + 1000 * k, count);
            const auto pct = [&t](int n) { return 100.0 * n / std::max(t.studies, 1); };
            char measured[64] = "-", error[64] = "-";
            if (t.measured > 0) {
                std::snprintf(measured, sizeof measured, "%.0f", 100.0 * t.within / t.studies);
                std::snprintf(error, sizeof error, "%.2f", t.error / t.measured);
            }
            std::printf("| %s | %s | %d | %.0f | %s | %.0f | %s | %s | %.0f | %.2f | %.0f |\n", set, kind.name, t.studies,
                        pct(t.warned), kind.judged, pct(t.gateCurve), measured, error, pct(t.heartWords), t.checkMs / t.studies,
                        t.makeMs / t.studies);
            std::fflush(stdout);
        }
    }
    return 0;
}
