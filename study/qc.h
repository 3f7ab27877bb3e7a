// Quality control of the projections, on the frames as loaded: the gate
// count curve (gating errors, rejected beats), each view's counts across
// the arc (counts or beats lost in part of it), and patient motion from
// view to view: the heart's in a gated study where a region behaves as a
// heart, else the whole body's. Plain computation: no file, no picture;
// the programs report and draw what it finds.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "study/acquisition.h"
#include "study/study.h"

namespace trevik::qc {

// Every figure the checks compare with, in one table; the manual page
// names them by `name`.
struct Threshold {
    const char* name;
    double value;
    const char* meaning;
};
enum class Limit {
    GateLow, LastToFirst, RejectedBeats, Shift, Bounce, Creep, ViewCounts, BeatsLost, MotionViews, Window, Search, Level
};
inline constexpr Threshold kThresholds[] = {
    {"gate-low", 85.0, "% of the mean: a division holding fewer counts warns"},
    {"last-to-first", 90.0, "% of the first division: a last division holding fewer counts warns"},
    {"rejected-beats", 20.0, "% of the beats: a larger share rejected warns"},
    {"shift", 0.75, "pixels: an abrupt shift between neighbouring views this large warns"},
    {"bounce", 2.0, "pixels: a move that returns within two views warns this large (it is reported from 1 pixel)"},
    {"creep", 1.0, "pixels: a gradual axial move over the acquisition this large warns"},
    {"view-counts", 85.0, "% of the arc's smooth change: a view holding fewer counts warns"},
    {"beats-lost", 85.0, "% of its usual share: a division holding less in two views or more warns"},
    {"motion-views", 8.0, "views: with fewer, motion, view counts and beats per view are not judged"},
    {"window", 10.0, "pixels: the heart's centroid is taken this far around its hottest region, each way"},
    {"search", 4.0, "pixels: how far from the last view's centroid the heart's hottest region is looked for"},
    {"level", 50.0, "% of the hottest region's mean: pixels below it are left out of the heart's centroid"},
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

// What the caller knows besides the frames: what the check uses, and what
// the page names (ASCII, as the .gsd writes it; empty where not known).
struct Facts {
    int detectors = 1;            // the views split evenly between the detectors, in order
    long long acceptedBeats = -1;  // -1: not known
    long long rejectedBeats = -1;
    bool scatter = false;     // a scatter window of the coded nuclide: not judged for motion
    double arcDegrees = 180;  // the arc all views cover together
    double startAngle = 0;    // the first view's angle, degrees
    std::string patientId, patientName, date, time, series, window, comment;
};

// The facts of a source's acquisition as the checks take them: one
// detector where it says none, the beats where it gives them, its series
// (number and description) and energy window `window` (0: the source's one
// window, when it has one): its name and range, and whether it is a
// scatter window (no photopeak of the one coded nuclide in its range).
Facts factsOf(const Acquisition& acquisition, int window = 0);
// Fills the patient's ID and name, the study's date and time and the
// comment from `record` where `facts` has none.
void describe(Facts& facts, const StudyRecord& record);

constexpr double kNone = std::numeric_limits<double>::quiet_NaN();

// What moves: the heart of a gated study, the body otherwise; a scatter
// window is not judged.
enum class Subject { None, Heart, Body, Scatter };

// A motion found on one axis.
enum class MotionKind { None, Shift, Bounce, Creep };
struct Motion {
    MotionKind kind = MotionKind::None;
    bool lateral = false;  // across the detector (columns), else along the axis (rows)
    double pixels = 0;     // signed: towards the higher rows or columns
    int view = -1;         // the view it starts at, from 1
    int views = 0;         // a bounce: the views it lasts
    bool warns = false;
};

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

    // Each view's counts in % of the arc's smooth change (a curve of second
    // order through each detector's views), the lowest and its view.
    std::vector<double> viewPercent;
    double lowestViewPercent = kNone;
    int lowestView = -1;  // from 1
    bool countsWarning = false;
    // Beats lost in part of the arc: views where a division holds less than
    // `beats-lost` % of its usual share of the view (gated studies).
    int beatsLostViews = 0, beatsFirstView = -1, beatsLastView = -1, beatsDivision = -1;
    double beatsLowestPercent = kNone;
    bool beatsWarning = false;

    // Motion. axial and lateral: the subject's position per view in pixels
    // (rows and columns from 0; kNone where not found); empty when not judged.
    Subject subject = Subject::None;
    std::vector<double> axial, lateral;
    bool tracked = false;
    double detectorOffset = kNone;  // second detector's axial position less the first's
    int heartRow = kSide / 2;       // the row the sinogram shows: the subject's middle
    double startRow = kNone;        // the subject's axial position at the first view
    std::vector<Motion> motions;    // the largest shift, bounce and creep found, each axis
    bool motionWarning = false;
    int warnView = -1;  // the view the first motion warning names, from 1

    // The largest motion found, in pixels (0 when none).
    double largestMotion() const;
    bool warning() const { return gateWarning || rejectedWarning || motionWarning || countsWarning || beatsWarning; }
};

Result check(const Frames& frames, const Facts& facts = {});

namespace detail {
// Motion, on the summed views of `r` (study/qc_motion.cpp).
void judgeMotion(const Facts& facts, Result& r);
}  // namespace detail

}  // namespace trevik::qc
