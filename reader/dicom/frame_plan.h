// Which frames of an NM object a load takes and where each lands: the frame
// vectors the Frame Increment Pointer lists, the energy window and R-R
// interval chosen, and every (detector, time slot, angular view) once.
#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcitem.h>

#include <vector>

#include "study/status.h"

namespace trevik::dicom {

struct SourceChoice;

struct FramePlan {
    long frames = 0;                // Number of Frames
    std::vector<int> taken;         // the frames taken, in file order
    int detectors = 0, slots = 1, views = 0;  // the extent of (detector, time slot, view)
    std::vector<Uint16> detector, slot, view;  // each frame's numbers (slot: 1 when ungated)
};

// Reads the Number of Frames and the vectors, checks them against the
// choice and picks the frames taken.
Status planFrames(DcmItem& data, bool gated, const SourceChoice& choice, FramePlan& plan);

// Where each taken frame lands: place[division x framesPerDivision + frame]
// is its index in the file; each division holds the views of detector 1,
// then those of detector 2, ...
Status placeFrames(const FramePlan& plan, int framesPerDivision, std::vector<int>& place);

}  // namespace trevik::dicom
