// A realistic gated cardiac study for tests and pictures: a torso of faint
// background activity, a liver, and a beating left-ventricular myocardium
// (an ellipsoidal shell whose cavity shrinks and whose wall thickens over
// the gate divisions, its activity unchanged), projected with parallel rays
// onto a detector that turns 180 degrees about the patient's long axis,
// from 45 degrees right anterior oblique to 45 degrees left posterior
// oblique, with Poisson noise from a fixed seed. Faults can be put in:
// the patient moving along the axis from one view on, and gate divisions
// that hold fewer counts (rejected beats).
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
};

// The sample of stored image i (division after division, each division's
// views in stored order) at row y, column x: a count, as StudyPlan::sample
// wants it. The images are made one at a time as they are asked for, each
// from its own seed, so the same plan always gives the same study.
std::function<double(int, int, int)> phantomSamples(const PhantomPlan& plan);

}  // namespace trevik::synth
