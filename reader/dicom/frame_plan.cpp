#include "reader/dicom/frame_plan.h"

#include <dcmtk/dcmdata/dcelem.h>

#include <algorithm>

#include "dicom/nm_attributes.h"
#include "study/study.h"

namespace trevik::dicom {

namespace {

Status readVector(DcmItem& data, const std::vector<DcmTagKey>& pointer, Nm id, long frames, FrameVector& out) {
    out.values.assign(static_cast<std::size_t>(frames), 1);
    const DcmTagKey& tag = tagOf(id);
    for (const DcmTagKey& listed : pointer) {
        if (listed != tag) continue;
        out.listed = true;
        const Uint16* values = nullptr;
        unsigned long count = 0;
        if (data.findAndGetUint16Array(tag, values, &count).bad() || !values ||
            count != static_cast<unsigned long>(frames))
            return statusOf(Reason::DicomVectorLength);
        out.values.assign(values, values + count);
    }
    return {};
}

// Whether a vector takes more than one value, and whether `chosen` is one.
bool several(const FrameVector& v) {
    for (const Uint16 value : v.values)
        if (value != v.values.front()) return true;
    return false;
}

bool holds(const FrameVector& v, int chosen) {
    for (const Uint16 value : v.values)
        if (value == chosen) return true;
    return false;
}

std::vector<DcmTagKey> frameIncrementPointer(DcmItem& data) {
    std::vector<DcmTagKey> pointer;
    DcmElement* element = nullptr;
    if (data.findAndGetElement(tagOf(Nm::FrameIncrementPointer), element).good() && element)
        for (unsigned long i = 0; i < element->getVM(); ++i) {
            DcmTagKey tag;
            if (element->getTagVal(tag, i).good()) pointer.push_back(tag);
        }
    return pointer;
}

Status checkChoice(bool gated, const SourceChoice& choice, const FrameVector& windows, const FrameVector& intervals) {
    if (choice.energyWindow == 0 && several(windows)) return statusOf(Reason::DicomEnergyWindows);
    if (choice.energyWindow != 0 && !holds(windows, choice.energyWindow)) return statusOf(Reason::DicomNoChosenWindow);
    if (gated && choice.rrInterval == 0 && several(intervals)) return statusOf(Reason::DicomRRIntervals);
    if (gated && choice.rrInterval != 0 && !holds(intervals, choice.rrInterval))
        return statusOf(Reason::DicomNoChosenInterval);
    return {};
}

}  // namespace

Status readVectors(DcmItem& data, bool gated, FrameVectors& out) {
    // More frames than eight frame stores' worth (several energy windows
    // and R-R intervals of a full study) is no study this converter reads;
    // the bound also keeps the decoding of compressed data within 256 MiB.
    constexpr long kMostFrames = 8 * FrameStore::kSlots;
    long& frames = out.frames;
    if (!integerOf(data, Nm::NumberOfFrames, frames) || frames < 1 || frames > kMostFrames)
        return statusOf(Reason::DicomFrameCount);
    const std::vector<DcmTagKey> pointer = frameIncrementPointer(data);
    for (auto [id, vector] : {std::pair{Nm::EnergyWindowVector, &out.windows}, {Nm::DetectorVector, &out.detectors},
                              {Nm::RotationVector, &out.rotations}, {Nm::RRIntervalVector, &out.intervals},
                              {Nm::TimeSlotVector, &out.timeSlots}, {Nm::AngularViewVector, &out.views}})
        if (Status s = readVector(data, pointer, id, frames, *vector); !s.ok()) return s;
    if (!out.views.listed) return statusOf(Reason::DicomNoAngularView);
    if (gated && !out.timeSlots.listed) return statusOf(Reason::DicomNoTimeSlot);
    if (several(out.rotations)) return statusOf(Reason::DicomRotations);
    return {};
}

Status planFrames(const FrameVectors& v, bool gated, const SourceChoice& choice, FramePlan& plan) {
    plan = {};
    if (Status s = checkChoice(gated, choice, v.windows, v.intervals); !s.ok()) return s;
    for (long i = 0; i < v.frames; ++i) {
        const auto k = static_cast<std::size_t>(i);
        if (choice.energyWindow != 0 && v.windows.values[k] != choice.energyWindow) continue;
        if (gated && choice.rrInterval != 0 && v.intervals.values[k] != choice.rrInterval) continue;
        const int d = v.detectors.values[k], t = gated ? v.timeSlots.values[k] : 1, w = v.views.values[k];
        if (d < 1 || t < 1 || w < 1) return statusOf(Reason::DicomIndexZero);
        plan.detectors = std::max(plan.detectors, d);
        plan.timeSlots = std::max(plan.timeSlots, t);
        plan.views = std::max(plan.views, w);
        plan.taken.push_back(static_cast<int>(i));
    }
    return {};
}

Status placeFrames(const FrameVectors& v, bool gated, const FramePlan& plan, int framesPerDivision,
                   std::vector<int>& place) {
    const auto perDivision = static_cast<std::size_t>(framesPerDivision);
    place.assign(static_cast<std::size_t>(plan.timeSlots) * perDivision, -1);
    for (const int i : plan.taken) {
        const auto k = static_cast<std::size_t>(i);
        const std::size_t slot = gated ? v.timeSlots.values[k] : 1;
        const std::size_t at = (slot - 1) * perDivision +
                               (static_cast<std::size_t>(v.detectors.values[k]) - 1) * plan.views + v.views.values[k] - 1;
        if (place[at] >= 0) return statusOf(Reason::DicomFrameTwice);
        place[at] = i;
    }
    for (const int i : place)
        if (i < 0) return statusOf(Reason::DicomFrameMissing);
    return {};
}

}  // namespace trevik::dicom
