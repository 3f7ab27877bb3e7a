// The quality control on phantom studies: patient motion and gating faults
// are found where they were put, and a regular, still study passes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "study/qc.h"
#include "tools/synth/phantom.h"

namespace trevik::qc {
namespace {

// The frames of a 64 x 64 phantom, stored tenfold as a conversion stores
// them, division after division.
struct Phantom {
    synth::PhantomPlan plan;
    std::vector<std::int16_t> samples;

    explicit Phantom(synth::PhantomPlan p) : plan(p) {
        const auto sample = synth::phantomSamples(plan);
        for (int i = 0; i < plan.divisions * plan.views; ++i)
            for (int y = 0; y < kSide; ++y)
                for (int x = 0; x < kSide; ++x) samples.push_back(static_cast<std::int16_t>(10 * sample(i, y, x)));
    }
    Result check(const Facts& facts = {}) const {
        return qc::check({plan.divisions, plan.views, [this](int d, int v) {
                              return &samples[static_cast<std::size_t>(d * plan.views + v) * kSide * kSide];
                          }}, facts);
    }
};

TEST(QcMotion, AShiftFromView12IsFoundThereAndAStillPatientPasses) {
    for (const double shift : {1.0, 2.0, 3.0}) {
        const Result r = Phantom({.motionShift = shift, .motionView = 12}).check();
        ASSERT_TRUE(r.tracked);
        // The step into view 12, or next to it.
        double step = 0;
        for (int v = 11; v <= 13; ++v) step = std::max(step, std::fabs(r.axial[v - 1] - r.axial[v - 2]));
        EXPECT_GE(step, shift - 0.5) << shift;
        EXPECT_GE(r.largestJump, shift - 0.5);
        EXPECT_NEAR(r.jumpView, 12, 1);
        EXPECT_TRUE(r.motionWarning);
        EXPECT_NEAR(r.warnView, 12, 1);
    }
    const Result still = Phantom({}).check();
    EXPECT_LT(still.largestMotion(), 0.5);
    EXPECT_FALSE(still.motionWarning);
    EXPECT_FALSE(still.warning());
    // The heart, not the liver below it, is followed: its row is the one the
    // phantom puts it at (2 pixels above the middle).
    EXPECT_NEAR(still.heartRow, 29, 1);
}

TEST(QcMotion, DetectorsAreTrackedApartAndTheFirstStepIsTheirOffset) {
    // The second detector's views (17 to 32) sit 1.5 rows lower.
    const Phantom p({.motionShift = 1.5, .motionView = 17});
    const Result one = p.check();
    EXPECT_TRUE(one.motionWarning);
    const Result two = p.check({.detectors = 2});
    EXPECT_FALSE(two.motionWarning);
    EXPECT_NEAR(two.detectorOffset, 1.5, 0.3);
    EXPECT_LT(two.largestMotion(), 0.5);
    // Four detectors of 8 views each: the step lies between the second and
    // the third. Views that do not split evenly are one track.
    EXPECT_FALSE(p.check({.detectors = 4}).motionWarning);
    EXPECT_TRUE(p.check({.detectors = 5}).motionWarning);
}

TEST(QcGating, LateDivisionsWithFewerCountsOrManyRejectedBeatsWarn) {
    const Result dropped = Phantom({.gateDropPercent = 70, .gateFrom = 6}).check();
    ASSERT_EQ(dropped.gatePercent.size(), 8u);
    EXPECT_TRUE(dropped.gateWarning);
    EXPECT_LT(dropped.lowestPercent, 85);
    EXPECT_GE(dropped.lowestDivision, 6);
    EXPECT_NEAR(dropped.lastToFirstPercent, 70, 2);

    const Phantom regular({});
    Result r = regular.check();
    EXPECT_FALSE(r.gateWarning);
    EXPECT_GT(r.lowestPercent, 97);
    EXPECT_TRUE(std::isnan(r.rejectedPercent));
    r = regular.check({.acceptedBeats = 790, .rejectedBeats = 210});
    EXPECT_DOUBLE_EQ(r.rejectedPercent, 21.0);
    EXPECT_TRUE(r.rejectedWarning);
    EXPECT_FALSE(regular.check({.acceptedBeats = 800, .rejectedBeats = 200}).rejectedWarning);

    // An ungated study has no curve; fewer than 8 views are not tracked.
    const Result ungated = Phantom({.divisions = 1, .views = 7}).check();
    EXPECT_TRUE(ungated.checked);
    EXPECT_TRUE(ungated.gatePercent.empty());
    EXPECT_FALSE(ungated.tracked);
    EXPECT_FALSE(ungated.warning());
}

TEST(QcFrames, AMissingFrameOrNoCountsLeaveNothingToJudge) {
    std::vector<std::int16_t> zeros(kSide * kSide, 0);
    const Result missing = check({2, 8, [&](int d, int v) { return d == 1 && v == 7 ? nullptr : zeros.data(); }});
    EXPECT_FALSE(missing.checked);
    EXPECT_FALSE(missing.warning());
    const Result empty = check({2, 8, [&](int, int) { return zeros.data(); }});
    EXPECT_TRUE(empty.checked);
    EXPECT_TRUE(empty.gatePercent.empty());
    EXPECT_FALSE(empty.tracked);
    EXPECT_FALSE(empty.warning());
}

TEST(QcThresholds, TheManualPageNamesEachWithItsValue) {
    std::ifstream in(TREVIK_SOURCE_DIR "/docs/man/trevik-inspect.1.in");
    std::stringstream page;
    page << in.rdbuf();
    for (const Threshold& t : kThresholds) {
        std::string name;  // as roff writes a hyphen: \-
        for (const char* c = t.name; *c; ++c) name += *c == '-' ? std::string("\\-") : std::string(1, *c);
        std::ostringstream value;
        value << t.value;
        EXPECT_NE(page.str().find(".B " + name + "\n(" + value.str() + " "), std::string::npos) << t.name;
    }
}

}  // namespace
}  // namespace trevik::qc
