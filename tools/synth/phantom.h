// A realistic gated cardiac study for tests and pictures: a torso of faint
// background activity, a liver, and a beating left-ventricular myocardium
// (an ellipsoidal shell whose cavity shrinks and whose wall thickens over
// the gate divisions, its activity unchanged), projected with parallel rays
// onto a detector that turns 180 degrees about the patient's long axis,
// from 45 degrees right anterior oblique to 45 degrees left posterior
// oblique, with Poisson noise from a fixed seed. Faults can be put in:
// the patient moving (an abrupt shift along the axis and across, a bounce
// that returns, a slow creep), gate divisions that hold fewer counts in a
// range of views (rejected beats), two detectors whose heads disagree; the
// counts, the pixel size, the heart's place and size and the activity
// around it can be set. Without a heart it is a body study instead: liver,
// kidneys, spleen, bowel and a hot lesion, ungated.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace trevik::synth {

struct PhantomPlan {
    int matrix = 64;     // 64 or 128
    int divisions = 8;   // gate divisions, 1 for an ungated study
    int views = 32;      // frames per division: the detector's stops over the arc
    bool reverse = false;  // each division's views stored last to first
    // The patient moves motionShift rows of the 64 x 64 frame towards the
    // higher rows from view motionView on (views counted from 1; 0: still).
    double motionShift = 0;
    int motionView = 0;
    // Divisions from gateFrom on (counted from 1; 0: none) hold
    // gateDropPercent % of the counts they would hold.
    double gateDropPercent = 100;
    int gateFrom = 0;
    std::uint64_t seed = 20011005;

    // The heart's counts per view, summed over the divisions (the body's
    // whole view without a heart); the rest of the anatomy in proportion.
    // 0: the anatomy's own activities (about 17000 for the heart).
    double counts = 0;
    double pixelMm = 0;  // the frame's pixel size; 0: 6.4 mm at 64, 3.2 at 128
    // The patient moves lateralShift columns across the detector at view
    // motionView (towards the higher columns, in the direction the detector's
    // rows had there; later views see that move as the detector turns).
    double lateralShift = 0;
    // Views bounceView .. bounceView + bounceViews - 1 moved bounceShift rows.
    double bounceShift = 0;
    int bounceView = 0, bounceViews = 1;
    double creep = 0;  // rows moved from the first view to the last, evenly
    // The gate drop above holds in views gateFirstView .. gateLastView only
    // (from 1; 0: from the first, to the last).
    int gateFirstView = 0, gateLastView = 0;
    // Two detectors: the views split in halves, the second half's views
    // headOffset rows from where the first head sees them.
    int detectors = 1;
    double headOffset = 0;
    bool heart = true;  // false: the body study (ungated; no heart)
    double heartX = 0, heartY = 0, heartZ = 0;  // the heart moved, in pixels of 6.4 mm
    double heartSize = 1;  // its size, times the usual
    double liverPercent = 100;  // the liver's activity in % of the usual
    double bowelPercent = 0;    // a bowel loop below the heart, % of the liver's usual activity
};

// The sample of stored image i (division after division, each division's
// views in stored order) at row y, column x: a count, as StudyPlan::sample
// wants it. The images are made one at a time as they are asked for, each
// from its own seed, so the same plan always gives the same study.
std::function<double(int, int, int)> phantomSamples(const PhantomPlan& plan);

}  // namespace trevik::synth
