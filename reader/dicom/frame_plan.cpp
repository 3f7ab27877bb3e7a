#include "reader/dicom/frame_plan.h"

#include <dcmtk/dcmdata/dcelem.h>

#include <algorithm>

#include "dicom/nm_attributes.h"
#include "reader/dicom/dicom_source.h"

namespace trevik::dicom {

namespace {

// One frame vector: a value for every frame, or every frame 1 when the
// object does not list it.
struct Vector {
    bool listed = false;
    std::vector<Uint16> values;
};

Status readVector(DcmItem& data, const std::vector<DcmTagKey>& pointer, Nm id, long frames, Vector& out) {
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
bool several(const Vector& v) {
    for (const Uint16 value : v.values)
        if (value != v.values.front()) return true;
    return false;
}

bool holds(const Vector& v, int chosen) {
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

Status checkChoice(bool gated, const SourceChoice& choice, const Vector& windows, const Vector& intervals) {
    if (choice.energyWindow == 0 && several(windows)) return statusOf(Reason::DicomEnergyWindows);
    if (choice.energyWindow != 0 && !holds(windows, choice.energyWindow)) return statusOf(Reason::DicomNoChosenWindow);
    if (gated && choice.rrInterval == 0 && several(intervals)) return statusOf(Reason::DicomRRIntervals);
    if (gated && choice.rrInterval != 0 && !holds(intervals, choice.rrInterval))
        return statusOf(Reason::DicomNoChosenInterval);
    return {};
}

}  // namespace

Status planFrames(DcmItem& data, bool gated, const SourceChoice& choice, FramePlan& plan) {
    // More frames than eight frame stores' worth (several energy windows
    // and R-R intervals of a full study) is no study this converter reads;
    // the bound also keeps the decoding of compressed data within 256 MiB.
    constexpr long kMostFrames = 8 * FrameStore::kSlots;
    long& frames = plan.frames;
    if (!integerOf(data, Nm::NumberOfFrames, frames) || frames < 1 || frames > kMostFrames)
        return statusOf(Reason::DicomFrameCount);
    const std::vector<DcmTagKey> pointer = frameIncrementPointer(data);
    Vector windows, detectors, rotations, intervals, slots, views;
    for (auto [id, vector] : {std::pair{Nm::EnergyWindowVector, &windows}, {Nm::DetectorVector, &detectors},
                              {Nm::RotationVector, &rotations}, {Nm::RRIntervalVector, &intervals},
                              {Nm::TimeSlotVector, &slots}, {Nm::AngularViewVector, &views}})
        if (Status s = readVector(data, pointer, id, frames, *vector); !s.ok()) return s;
    if (!views.listed) return statusOf(Reason::DicomNoAngularView);
    if (gated && !slots.listed) return statusOf(Reason::DicomNoTimeSlot);
    if (several(rotations)) return statusOf(Reason::DicomRotations);
    if (Status s = checkChoice(gated, choice, windows, intervals); !s.ok()) return s;

    for (long i = 0; i < frames; ++i) {
        const auto k = static_cast<std::size_t>(i);
        if (choice.energyWindow != 0 && windows.values[k] != choice.energyWindow) continue;
        if (gated && choice.rrInterval != 0 && intervals.values[k] != choice.rrInterval) continue;
        const int d = detectors.values[k], t = gated ? slots.values[k] : 1, v = views.values[k];
        if (d < 1 || t < 1 || v < 1) return statusOf(Reason::DicomIndexZero);
        plan.detectors = std::max(plan.detectors, d);
        plan.slots = std::max(plan.slots, t);
        plan.views = std::max(plan.views, v);
        plan.taken.push_back(static_cast<int>(i));
    }
    plan.detector = std::move(detectors.values);
    plan.view = std::move(views.values);
    if (gated) plan.slot = std::move(slots.values);
    else plan.slot.assign(static_cast<std::size_t>(frames), 1);
    return {};
}

Status placeFrames(const FramePlan& plan, int framesPerDivision, std::vector<int>& place) {
    const auto perDivision = static_cast<std::size_t>(framesPerDivision);
    place.assign(static_cast<std::size_t>(plan.slots) * perDivision, -1);
    for (const int i : plan.taken) {
        const auto k = static_cast<std::size_t>(i);
        const std::size_t at = (static_cast<std::size_t>(plan.slot[k]) - 1) * perDivision +
                               (static_cast<std::size_t>(plan.detector[k]) - 1) * plan.views + plan.view[k] - 1;
        if (place[at] >= 0) return statusOf(Reason::DicomFrameTwice);
        place[at] = i;
    }
    for (const int i : place)
        if (i < 0) return statusOf(Reason::DicomFrameMissing);
    return {};
}

}  // namespace trevik::dicom
