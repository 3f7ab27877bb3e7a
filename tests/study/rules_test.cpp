// The rules over the study facts, at their own level: what both readers
// check before settling, the settling itself (the reduction, the label of
// a window taken out of several), the acquisition's bounded lists and the
// quality control's view of them.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "study/choices.h"
#include "study/qc.h"
#include "study/rules.h"

namespace trevik {
namespace {

ChoiceEntry entry(int number, const char* name, const char* lower, const char* upper) {
    ChoiceEntry e{};
    e.number = static_cast<std::uint16_t>(number);
    copyText(e.name, name);
    copyText(e.lower, lower);
    copyText(e.upper, upper);
    return e;
}

// Two energy windows (one named in kana) and three R-R intervals.
StudyFacts twoWindows() {
    StudyFacts f{};
    f.geometry = {128, 128, 1};
    f.record.pixel = 3.2;
    f.record.frames = 60;
    Acquisition& a = f.acquisition;
    a.energyWindows.entries[0] = entry(1, "TC99M", "126", "154");
    a.energyWindows.entries[1] = entry(2, "\xE3\x82\xB9\xE3\x82\xAD\xE3\x83\xA3\xE3\x83\x83\xE3\x82\xBF", "110", "125");
    a.energyWindows.count = 2;
    for (int i = 0; i < 3; ++i) a.rrIntervals.entries[i] = entry(i + 1, "", "600", "1000");
    a.rrIntervals.count = 3;
    return f;
}

TEST(StudyRules, WhatBothReadersRefuseBeforeSettling) {
    EXPECT_EQ(matrixRefusal(64, 64), Reason::Done);
    EXPECT_EQ(matrixRefusal(128, 128), Reason::Done);
    EXPECT_EQ(matrixRefusal(128, 64), Reason::Geometry);
    EXPECT_EQ(matrixRefusal(256, 256), Reason::Geometry);
    StudyRecord r{};
    r.frames = 1024;
    EXPECT_EQ(framesRefusal(r), Reason::Done);  // one pass through every slot
    r.frames = 1025;
    EXPECT_EQ(framesRefusal(r), Reason::StoreFull);
    r.division = 16;
    r.frames = 64;
    EXPECT_EQ(framesRefusal(r), Reason::Done);
    r.division = 17;
    EXPECT_EQ(framesRefusal(r), Reason::StoreFull);
    r.division = 8;
    r.frames = 65;
    EXPECT_EQ(framesRefusal(r), Reason::StoreFull);
    r.frames = 0;
    EXPECT_EQ(framesRefusal(r), Reason::NoFrames);
    r.frames = 10;
    r.division = -1;
    EXPECT_EQ(framesRefusal(r), Reason::NoFrames);
}

TEST(StudyRules, SettlingReducesAndNamesTheWindowTaken) {
    StudyFacts f = twoWindows();
    FrameLayout layout = settleFacts(f, FrameForm{}, {2, 3});
    EXPECT_EQ(layout.side, 64);
    EXPECT_EQ(f.geometry.columns, 64);
    EXPECT_EQ(f.record.pixel, 6.4);
    EXPECT_TRUE(f.flags.reducedMatrix);
    // The window's name romanised; runs of spaces as one.
    EXPECT_STREQ(f.record.comment, "energy window 2 SUKYATTA 110-125 keV, R-R interval 3 600-1000 ms");

    // The source's own comment stays; no choice, no label.
    f = twoWindows();
    copyText(f.record.comment, "rest");
    settleFacts(f, FrameForm{}, {2, 0});
    EXPECT_STREQ(f.record.comment, "rest");
    f = twoWindows();
    settleFacts(f, FrameForm{FrameForm::Matrix::Source, FrameForm::Samples::Counts});
    EXPECT_STREQ(f.record.comment, "");
    EXPECT_FALSE(f.flags.reducedMatrix);
    EXPECT_EQ(f.geometry.columns, 128);

    // Only what the source holds several of is named; an unknown number not at all.
    f = twoWindows();
    f.acquisition.rrIntervals.count = 1;
    EXPECT_EQ(choiceLabel(f.acquisition, {1, 1}), "energy window 1 TC99M 126-154 keV");
    EXPECT_EQ(choiceLabel(f.acquisition, {9, 1}), "");
    EXPECT_EQ(entryText(f.acquisition.energyWindows.entries[0], "keV"), "1  TC99M  126-154 keV");
}

TEST(StudyAcquisition, ListsAreBoundedAndTheQualityControlSeesThem) {
    Acquisition a{};
    for (int t = 0; t < Acquisition::kMostNuclides; ++t) EXPECT_TRUE(a.addNuclide(static_cast<Tracer>(t)));
    EXPECT_TRUE(a.addNuclide(Tracer::Tc99m));  // already there
    EXPECT_FALSE(a.addNuclide(Tracer::I124));  // no room
    EXPECT_EQ(a.nuclideCount, Acquisition::kMostNuclides);

    const StudyFacts f = twoWindows();
    EXPECT_EQ(f.acquisition.energyWindows.find(2), &f.acquisition.energyWindows.entries[1]);
    EXPECT_EQ(f.acquisition.energyWindows.find(3), nullptr);

    // Nothing said: one detector, the beats unknown.
    qc::Facts q = qc::factsOf(Acquisition{});
    EXPECT_EQ(q.detectors, 1);
    EXPECT_EQ(q.acceptedBeats, -1);
    a = {};
    a.detectors = 2;
    a.beatsKnown = true;
    a.acceptedBeats = 900;
    a.rejectedBeats = 0;
    q = qc::factsOf(a);
    EXPECT_EQ(q.detectors, 2);
    EXPECT_EQ(q.acceptedBeats, 900);
    EXPECT_EQ(q.rejectedBeats, 0);
}

// A cleared acquisition is the value of a new one, byte for byte, whatever
// was set (a reader reuses the facts of the study before).
TEST(StudyAcquisition, ClearedIsNew) {
    const auto fresh = std::make_unique<Acquisition>();
    auto a = std::make_unique<Acquisition>();
    a->views = 60;
    a->detectors = 2;
    a->beatsKnown = true;
    a->acceptedBeats = 7;
    a->energyWindows = twoWindows().acquisition.energyWindows;
    a->rrIntervals = twoWindows().acquisition.rrIntervals;
    a->addNuclide(Tracer::Tl201);
    copyText(a->seriesNumber, "12");
    copyText(a->seriesDescription, "SPECT");
    a->clear();
    EXPECT_EQ(std::memcmp(a.get(), fresh.get(), sizeof(Acquisition)), 0);
}

}  // namespace
}  // namespace trevik

// newStudy is `new Study()` without clearing the store: the same value,
// every sample zero, the facts as a value-initialised study has them.
TEST(StudyRules, AMappedStudyIsTheValueOfANewOne) {
    const trevik::HeapStudy study = trevik::newStudy();
    ASSERT_TRUE(study);
    const std::unique_ptr<trevik::Study> fresh(new trevik::Study());
    for (const std::int16_t v : study->store.samples) ASSERT_EQ(v, 0);
    EXPECT_EQ(std::memcmp(&study->record, &fresh->record, sizeof fresh->record), 0);
    EXPECT_EQ(std::memcmp(&study->geometry, &fresh->geometry, sizeof fresh->geometry), 0);
    EXPECT_EQ(study->acquisition.energyWindows.count, 0);
    EXPECT_EQ(study->acquisition.detectors, fresh->acquisition.detectors);
}
