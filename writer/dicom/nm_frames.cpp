// The frames part of the NM object: how the frames are stored, what each
// one is (the frame vectors and their sequences) and the pixel data.
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcvrat.h>

#include <cmath>
#include <cstring>

#include "dicom/nuclide.h"
#include "dicom/values.h"
#include "writer/dicom/nm_builder.h"

namespace trevik::dicom {

namespace {

bool isGated(const NmStudy& study) { return study.facts.record.division >= 1; }

std::size_t frameCount(const NmStudy& study) {
    return static_cast<std::size_t>(study.frames.layout.passes) * study.frames.layout.frames;
}

// Image Pixel: the camera's own matrix and counts, signed 16 bits.
void putImagePixel(const NmStudy& study, DcmDataset& data, Builder& b) {
    b.integer(data, Nm::SamplesPerPixel, 1);
    b.text(data, Nm::PhotometricInterpretation, "MONOCHROME2");
    b.integer(data, Nm::NumberOfFrames, static_cast<long long>(frameCount(study)));
    const Nm vectors[] = {Nm::EnergyWindowVector, Nm::DetectorVector, Nm::RotationVector,
                          Nm::RRIntervalVector,   Nm::TimeSlotVector, Nm::AngularViewVector};
    auto* pointer = new DcmAttributeTag(tagOf(Nm::FrameIncrementPointer));
    unsigned long position = 0;
    for (const Nm id : vectors) {
        if (!isGated(study) && (id == Nm::RRIntervalVector || id == Nm::TimeSlotVector)) continue;
        b.check(pointer->putTagVal(tagOf(id), position++));
    }
    b.check(data.insert(pointer, true));
    b.integer(data, Nm::Rows, study.frames.layout.side);
    b.integer(data, Nm::Columns, study.frames.layout.side);
    const double pixel = study.facts.record.pixel;
    const std::string spacing = pixel > 0 ? decimalValue(pixel) : std::string();
    b.text(data, Nm::PixelSpacing, spacing.empty() ? "" : spacing + "\\" + spacing);
    b.integer(data, Nm::BitsAllocated, 16);
    b.integer(data, Nm::BitsStored, 16);
    b.integer(data, Nm::HighBit, 15);
    b.integer(data, Nm::PixelRepresentation, 1);
}

// Energy window, radiopharmaceutical: one item each.
void putWindowAndDrug(const NmStudy& study, const std::string& tracer, DcmDataset& data, Builder& b) {
    if (DcmItem* window = b.newItem(data, DCM_EnergyWindowInformationSequence))
        b.newItem(*window, DCM_EnergyWindowRangeSequence);
    b.integer(data, Nm::NumberOfEnergyWindows, 1);
    const StudyRecord& r = study.facts.record;
    if (DcmItem* drug = b.newItem(data, Nm::RadiopharmaceuticalInformationSequence)) {
        if (const NuclideCode* nuclide = nuclideCode(std::string_view(r.tracer, strnlen(r.tracer, sizeof r.tracer)))) {
            if (DcmItem* c = b.newItem(*drug, Nm::RadionuclideCodeSequence)) {
                b.text(*c, Nm::CodeValue, nuclide->code);
                b.text(*c, Nm::CodingSchemeDesignator, "SCT");
                b.text(*c, Nm::CodeMeaning, nuclide->meaning);
            }
        } else {
            b.empty(*drug, Nm::RadionuclideCodeSequence);
            if (!tracer.empty()) b.text(*drug, Nm::Radiopharmaceutical, tracer);
        }
    }
}

void putRotation(const NmStudy& study, const NmOptions& options, DcmDataset& data, Builder& b,
                 const std::vector<Uint16>& ones) {
    b.vector(data, Nm::RotationVector, ones);
    b.integer(data, Nm::NumberOfRotations, 1);
    if (DcmItem* rotation = b.newItem(data, DCM_RotationInformationSequence)) {
        b.text(*rotation, DCM_StartAngle, decimalValue(options.startAngle));
        b.text(*rotation, DCM_AngularStep, decimalValue(options.arc / study.frames.layout.frames));
        b.text(*rotation, DCM_RotationDirection, options.direction == Rotation::Clockwise ? "CW" : "CC");
        b.text(*rotation, DCM_ScanArc, decimalValue(options.arc));
        b.text(*rotation, DCM_ActualFrameDuration, "0");  // not recorded by the camera
        b.text(*rotation, DCM_NumberOfFramesInRotation, integerValue(study.frames.layout.frames));
    }
}

// The cardiac cycle (60000 / hr ms) in equal time slots.
void putGating(const NmStudy& study, DcmDataset& data, Builder& b, const std::vector<Uint16>& ones,
               const std::vector<Uint16>& slots) {
    const StudyRecord& r = study.facts.record;
    const int passes = study.frames.layout.passes;
    b.vector(data, Nm::RRIntervalVector, ones);
    b.integer(data, Nm::NumberOfRRIntervals, 1);
    b.vector(data, Nm::TimeSlotVector, slots);
    b.integer(data, Nm::NumberOfTimeSlots, static_cast<Uint16>(passes));
    const double cycle = r.hr > 0 ? 60000.0 / r.hr : 0.0;
    const double slotTime = cycle / passes;
    if (DcmItem* gate = b.newItem(data, DCM_GatedInformationSequence))
        if (DcmItem* info = b.newItem(*gate, DCM_DataInformationSequence)) {
            b.text(*info, DCM_FrameTime, decimalValue(slotTime));
            if (r.hr > 0) b.text(*info, DCM_NominalInterval, integerValue(std::lround(cycle)));
            for (int d = 0; d < passes; ++d)
                if (DcmItem* slot = b.newItem(*info, DCM_TimeSlotInformationSequence))
                    b.text(*slot, DCM_TimeSlotTime, decimalValue(slotTime * d));
        }
}

// The frame vectors: one value per frame, in the order the frames are
// written (each division's frames reversed where asked).
void putVectors(const NmStudy& study, const NmOptions& options, DcmDataset& data, Builder& b) {
    const FrameLayout& layout = study.frames.layout;
    std::vector<Uint16> ones(frameCount(study), 1), slots, views;
    for (int d = 0; d < layout.passes; ++d)
        for (int j = 0; j < layout.frames; ++j) {
            slots.push_back(static_cast<Uint16>(d + 1));
            views.push_back(static_cast<Uint16>(j + 1));
        }
    b.vector(data, Nm::EnergyWindowVector, ones);
    b.vector(data, Nm::DetectorVector, ones);
    b.integer(data, Nm::NumberOfDetectors, 1);
    if (DcmItem* detector = b.newItem(data, DCM_DetectorInformationSequence)) {
        // The camera records neither its collimator nor the detector's
        // position and orientation: present and empty.
        b.empty(*detector, DCM_CollimatorType);
        b.empty(*detector, DCM_ImagePositionPatient);
        b.empty(*detector, DCM_ImageOrientationPatient);
    }
    putRotation(study, options, data, b, ones);
    if (isGated(study)) putGating(study, data, b, ones, slots);
    b.vector(data, Nm::AngularViewVector, views);
}

// Pixel Data, frame after frame in the written order.
bool putPixels(const NmStudy& study, DcmDataset& data, Builder& b) {
    const FrameLayout& layout = study.frames.layout;
    auto* pixels = new DcmPixelData(tagOf(Nm::PixelData));
    b.check(data.insert(pixels, true));
    Uint16* words = nullptr;
    b.check(pixels->createUint16Array(static_cast<Uint32>(frameCount(study) * study.frames.frameSamples()), words));
    if (!b.ok || !words) return false;
    const std::size_t frameBytes = study.frames.frameSamples() * sizeof(std::int16_t);
    for (int d = 0; d < layout.passes; ++d)
        for (int j = 0; j < layout.frames; ++j) {
            const int f = study.facts.flags.reverseFrames ? layout.frames - 1 - j : j;
            std::memcpy(words, study.frames.frame(d, f), frameBytes);
            words += study.frames.frameSamples();
        }
    return b.ok;
}

}  // namespace

bool composeFrames(const NmStudy& study, const NmOptions& options, const std::string& tracer, DcmDataset& data,
                   Builder& b) {
    putImagePixel(study, data, b);
    putWindowAndDrug(study, tracer, data, b);
    putVectors(study, options, data, b);
    b.empty(data, Nm::CountsAccumulated);
    b.empty(data, DCM_PatientOrientationCodeSequence);
    b.empty(data, DCM_PatientGantryRelationshipCodeSequence);
    b.empty(data, DCM_AcquisitionContextSequence);
    return putPixels(study, data, b);
}

}  // namespace trevik::dicom
