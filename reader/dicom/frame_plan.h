// Which frames of an NM object a load takes and where each lands: the frame
// vectors the Frame Increment Pointer lists, read once, then for each
// energy window and R-R interval chosen every (detector, time slot,
// angular view) once.
#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcitem.h>

#include <vector>

#include "study/acquisition.h"
#include "study/status.h"

namespace trevik::dicom {

// One frame vector: a value for every frame, or every frame 1 when the
// object does not list it.
struct FrameVector {
    bool listed = false;
    std::vector<Uint16> values;
};

// The Number of Frames and the frame vectors of an object.
struct FrameVectors {
    long frames = 0;
    FrameVector windows, detectors, rotations, intervals, timeSlots, views;
};

// Reads the Number of Frames and the vectors the Frame Increment Pointer
// lists; refused when a vector does not hold a value per frame, without
// an Angular View Vector (or a Time Slot Vector when `gated`), or with more
// than one rotation.
Status readVectors(DcmItem& data, bool gated, FrameVectors& out);

struct FramePlan {
    std::vector<int> taken;                   // the frames taken, in file order
    int detectors = 0, timeSlots = 1, views = 0;  // the extent of (detector, time slot, view)
};

// Checks the vectors against the choice and picks the frames taken.
Status planFrames(const FrameVectors& vectors, bool gated, const SourceChoice& choice, FramePlan& plan);

// Where each taken frame lands: place[division x framesPerDivision + frame]
// is its index in the file; each division holds the views of detector 1,
// then those of detector 2, ...
Status placeFrames(const FrameVectors& vectors, bool gated, const FramePlan& plan, int framesPerDivision,
                   std::vector<int>& place);

}  // namespace trevik::dicom
