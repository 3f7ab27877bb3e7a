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

// The motion of `kind` on `lateral`, or none.
const Motion* found(const Result& r, MotionKind kind, bool lateral = false) {
    for (const Motion& m : r.motions)
        if (m.kind == kind && m.lateral == lateral) return &m;
    return nullptr;
}

TEST(QcMotion, ShiftsAxialAndLateralAreMeasuredWhereTheyAreAndAStillHeartPasses) {
    for (const double shift : {1.0, -2.0}) {
        const Result r = Phantom({.motionShift = shift, .motionView = 12}).check();
        EXPECT_EQ(r.subject, Subject::Heart);
        const Motion* m = found(r, MotionKind::Shift);
        ASSERT_TRUE(m) << shift;
        EXPECT_NEAR(m->pixels, shift, 0.3);
        EXPECT_EQ(m->view, 12);
        EXPECT_TRUE(r.motionWarning);
        EXPECT_EQ(r.warnView, 12);
    }
    synth::PhantomPlan lateral{.views = 64};
    lateral.lateralShift = -1.5;
    lateral.motionView = 40;
    const Result across = Phantom(lateral).check();
    const Motion* m = found(across, MotionKind::Shift, true);
    ASSERT_TRUE(m);
    EXPECT_NEAR(m->pixels, -1.5, 0.4);
    EXPECT_EQ(m->view, 40);
    EXPECT_TRUE(across.motionWarning);

    const Result still = Phantom({}).check();
    EXPECT_EQ(still.subject, Subject::Heart);
    EXPECT_LT(still.largestMotion(), 0.5);
    EXPECT_FALSE(still.warning());
    // The heart, not the liver below it, is followed: its row is the one the
    // phantom puts it at (2 pixels above the middle).
    EXPECT_NEAR(still.heartRow, 29, 1);
}

TEST(QcMotion, ABounceWarnsFromTwoPixelsAndACreepIsToldFromAShift) {
    synth::PhantomPlan p{.views = 32};
    p.bounceShift = 2.5;
    p.bounceView = 10;
    p.bounceViews = 2;
    Result r = Phantom(p).check();
    const Motion* bounce = found(r, MotionKind::Bounce);
    ASSERT_TRUE(bounce);
    EXPECT_EQ(bounce->views, 2);
    EXPECT_EQ(bounce->view, 10);
    EXPECT_TRUE(r.motionWarning);
    EXPECT_FALSE(found(r, MotionKind::Shift) && found(r, MotionKind::Shift)->warns);
    p.bounceShift = 1.5;
    r = Phantom(p).check();
    ASSERT_TRUE(found(r, MotionKind::Bounce));
    EXPECT_FALSE(r.motionWarning) << "a small bounce is reported, not warned";

    synth::PhantomPlan creep{.views = 32};
    creep.creep = 2.0;
    r = Phantom(creep).check();
    const Motion* m = found(r, MotionKind::Creep);
    ASSERT_TRUE(m);
    EXPECT_NEAR(m->pixels, 2.0, 0.4);
    EXPECT_TRUE(m->warns);
    EXPECT_FALSE(found(r, MotionKind::Shift) && found(r, MotionKind::Shift)->warns);
}

TEST(QcMotion, DetectorsAreJudgedApartAndTheFirstStepIsTheirOffset) {
    // The second detector's views (17 to 32) sit 1.5 rows lower.
    const Phantom p({.motionShift = 1.5, .motionView = 17});
    EXPECT_TRUE(p.check().motionWarning);
    const Result two = p.check({.detectors = 2});
    EXPECT_FALSE(two.motionWarning);
    EXPECT_NEAR(two.detectorOffset, 1.5, 0.3);
    EXPECT_LT(two.largestMotion(), 0.5);
    // Views that do not split evenly are one run.
    EXPECT_TRUE(p.check({.detectors = 5}).motionWarning);
}

TEST(QcMotion, ABodyWithoutAHeartIsJudgedWholeAndAScatterWindowNotAtAll) {
    synth::PhantomPlan body{.divisions = 1, .views = 64};
    body.heart = false;
    body.counts = 100000;
    const Result still = Phantom(body).check();
    EXPECT_EQ(still.subject, Subject::Body);
    EXPECT_FALSE(still.warning());
    body.motionShift = 2;
    body.motionView = 30;
    const Result moved = Phantom(body).check();
    const Motion* m = found(moved, MotionKind::Shift);
    ASSERT_TRUE(m);
    EXPECT_NEAR(m->pixels, 2, 0.3);
    EXPECT_EQ(m->view, 30);
    const Result scatter = Phantom(body).check({.scatter = true});
    EXPECT_EQ(scatter.subject, Subject::Scatter);
    EXPECT_FALSE(scatter.warning());
    EXPECT_TRUE(scatter.motions.empty());
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

    // Beats lost in half the arc: the whole study's curve passes, the views
    // do not.
    synth::PhantomPlan half{.gateDropPercent = 82, .gateFrom = 5};
    half.gateFirstView = 9;
    half.gateLastView = 24;
    const Result lost = Phantom(half).check();
    EXPECT_FALSE(lost.gateWarning);
    EXPECT_TRUE(lost.beatsWarning);
    EXPECT_NEAR(lost.beatsFirstView, 9, 1);
    EXPECT_NEAR(lost.beatsLastView, 24, 1);
    EXPECT_GE(lost.beatsDivision, 5);
    EXPECT_FALSE(r.beatsWarning);
    EXPECT_FALSE(r.countsWarning);

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
