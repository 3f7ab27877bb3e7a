// Quality control of the projections, on the frames as loaded: the gate
// count curve (gating errors, rejected beats) and the heart's centroid
// from view to view (patient motion). Plain computation: no file, no
// picture; the programs report and draw what it finds.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

#include "study/acquisition.h"

namespace trevik::qc {

// Every figure the checks compare with, in one table; the manual page
// names them by `name`.
struct Threshold {
    const char* name;
    double value;
    const char* meaning;
};
enum class Limit { GateLow, LastToFirst, RejectedBeats, Motion, MotionViews, Window, Search, Level };
inline constexpr Threshold kThresholds[] = {
    {"gate-low", 85.0, "% of the mean: a division holding fewer counts warns"},
    {"last-to-first", 90.0, "% of the first division: a last division holding fewer counts warns"},
    {"rejected-beats", 20.0, "% of the beats: a larger share rejected warns"},
    {"motion", 1.0, "pixels: an axial jump between neighbouring views or a drift over the acquisition this large warns"},
    {"motion-views", 8.0, "views: with fewer the heart is not tracked"},
    {"window", 10.0, "pixels: the centroid is taken this far around the hottest region, each way"},
    {"search", 4.0, "pixels: how far from the last view's centroid the hottest region is looked for"},
    {"level", 50.0, "% of the hottest region's mean: pixels below it are left out of the centroid"},
};
constexpr double limit(Limit l) { return kThresholds[static_cast<int>(l)].value; }

inline constexpr int kSide = 64;  // frames are 64 x 64

// The frames to check: at(d, v) is the frame of division d at view v (both
// from 0, views in acquisition order), 64 x 64 samples row by row, or
// nullptr when the frame is missing.
struct Frames {
    int divisions = 0;  // 1 for an ungated study
    int views = 0;      // frames per division
    std::function<const std::int16_t*(int d, int v)> at;
};

// What the caller knows besides the frames.
struct Facts {
    int detectors = 1;            // the views split evenly between the detectors, in order
    long long acceptedBeats = -1;  // -1: not known
    long long rejectedBeats = -1;
};

// The facts of a source's acquisition as the checks take them: one
// detector where it says none, the beats where it gives them.
Facts factsOf(const Acquisition& acquisition);

constexpr double kNone = std::numeric_limits<double>::quiet_NaN();

struct Result {
    bool checked = false;  // every frame was there: the figures below hold
    int divisions = 0, views = 0, detectors = 1;
    std::vector<float> summed;  // views x 64 x 64: each view summed over the divisions

    // The gate count curve: each division's counts over all views in % of
    // the mean of the divisions; empty for an ungated study or no counts.
    std::vector<double> gatePercent;
    int lowestDivision = -1;  // from 1
    double lowestPercent = kNone;
    double lastToFirstPercent = kNone;
    double rejectedPercent = kNone;  // rejected beats in % of all, when known
    bool gateWarning = false, rejectedWarning = false;

    // The heart's centroid per view in pixels (row: axial, column: lateral),
    // kNone where it was not found; empty below `motion-views` views.
    std::vector<double> axial, lateral;
    bool tracked = false;
    double largestJump = 0;  // the largest axial step between neighbouring views of one detector
    int jumpView = -1;       // the view after that step, from 1
    double drift = 0;        // the axial change from the first views to the last (largest of the detectors)
    int driftView = -1;      // the first view a motion-pixels drift has reached, from 1
    double detectorOffset = kNone;  // second detector's axial position less the first's
    int heartRow = kSide / 2;       // the row nearest the heart's axial centroid
    bool motionWarning = false;
    int warnView = -1;  // the view the motion warning names, from 1

    // The larger of the largest jump and the drift, in pixels.
    double largestMotion() const;
    bool warning() const { return gateWarning || rejectedWarning || motionWarning; }
};

Result check(const Frames& frames, const Facts& facts = {});

}  // namespace trevik::qc
