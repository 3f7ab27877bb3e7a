#include "dicom/nm_attributes.h"

#include <dcmtk/dcmdata/dcdeftag.h>

#include <cmath>

#include "dicom/values.h"

namespace trevik::dicom {

namespace {

constexpr std::uint8_t kBoth = kRead | kWritten;
constexpr Listing kValue = Listing::Value;
constexpr Listing kNested = Listing::Nested;

// The table. A fact names the field of the study facts (StudyRecord,
// AcquisitionGeometry) the attribute is read into and written from.
const NmAttribute kTable[] = {
    {Nm::TransferSyntaxUid, DCM_TransferSyntaxUID, EVR_UI, "Transfer Syntax UID", "", kRead, kValue},
    {Nm::SpecificCharacterSet, DCM_SpecificCharacterSet, EVR_CS, "Specific Character Set",
     "the character set of the record's texts", kBoth, kValue},
    {Nm::ImageType, DCM_ImageType, EVR_CS, "Image Type", "record.division (GATED TOMO or TOMO)", kBoth, kValue},
    {Nm::SopClassUid, DCM_SOPClassUID, EVR_UI, "SOP Class UID", "", kBoth, kValue},
    {Nm::SopInstanceUid, DCM_SOPInstanceUID, EVR_UI, "SOP Instance UID", "", kWritten, kValue},
    {Nm::StudyDate, DCM_StudyDate, EVR_DA, "Study Date", "record.date", kBoth, kValue},
    {Nm::StudyTime, DCM_StudyTime, EVR_TM, "Study Time", "record.time", kBoth, kValue},
    {Nm::AccessionNumber, DCM_AccessionNumber, EVR_SH, "Accession Number", "", kWritten, kValue},
    {Nm::Modality, DCM_Modality, EVR_CS, "Modality", "", kWritten, kValue},
    {Nm::Manufacturer, DCM_Manufacturer, EVR_LO, "Manufacturer", "", kWritten, kValue},
    {Nm::ReferringPhysicianName, DCM_ReferringPhysicianName, EVR_PN, "Referring Physician's Name", "", kWritten,
     kValue},
    {Nm::CodeValue, DCM_CodeValue, EVR_SH, "Code Value", "record.tracer (a radionuclide's code)", kBoth, kNested},
    {Nm::CodingSchemeDesignator, DCM_CodingSchemeDesignator, EVR_SH, "Coding Scheme Designator", "", kWritten,
     kNested},
    {Nm::CodeMeaning, DCM_CodeMeaning, EVR_LO, "Code Meaning", "", kWritten, kNested},
    {Nm::DerivationDescription, DCM_DerivationDescription, EVR_ST, "Derivation Description",
     "float samples rounded", kWritten, kValue},
    {Nm::PatientName, DCM_PatientName, EVR_PN, "Patient's Name", "record.name", kBoth, kValue},
    {Nm::PatientId, DCM_PatientID, EVR_LO, "Patient ID", "record.id", kBoth, kValue},
    {Nm::PatientBirthDate, DCM_PatientBirthDate, EVR_DA, "Patient's Birth Date", "", kWritten, kValue},
    {Nm::PatientSex, DCM_PatientSex, EVR_CS, "Patient's Sex", "record.sex", kBoth, kValue},
    {Nm::PatientSize, DCM_PatientSize, EVR_DS, "Patient's Size", "record.height (m)", kWritten, kValue},
    {Nm::PatientWeight, DCM_PatientWeight, EVR_DS, "Patient's Weight", "record.weight", kWritten, kValue},
    {Nm::BodyPartExamined, DCM_BodyPartExamined, EVR_CS, "Body Part Examined", "", kWritten, kValue},
    {Nm::Radiopharmaceutical, DCM_Radiopharmaceutical, EVR_LO, "Radiopharmaceutical", "record.tracer", kBoth,
     kNested},
    {Nm::SliceThickness, DCM_SliceThickness, EVR_DS, "Slice Thickness",
     "record.thick, geometry.slicePixels (in pixels of Pixel Spacing)", kBoth, kValue},
    {Nm::CountsAccumulated, DCM_CountsAccumulated, EVR_IS, "Counts Accumulated", "", kWritten, kValue},
    // The beats the gating accepted and rejected, for the quality control:
    // in the Gated Information Sequence's Data Information Sequence, or at
    // the top level as some cameras write them.
    {Nm::IntervalsAcquired, DCM_IntervalsAcquired, EVR_IS, "Intervals Acquired", "the accepted beats (quality control)",
     kRead, kNested},
    {Nm::IntervalsRejected, DCM_IntervalsRejected, EVR_IS, "Intervals Rejected", "the rejected beats (quality control)",
     kRead, kNested},
    {Nm::HeartRate, DCM_HeartRate, EVR_IS, "Heart Rate", "record.hr", kBoth, kValue},
    {Nm::StudyInstanceUid, DCM_StudyInstanceUID, EVR_UI, "Study Instance UID", "", kWritten, kValue},
    {Nm::SeriesInstanceUid, DCM_SeriesInstanceUID, EVR_UI, "Series Instance UID", "", kWritten, kValue},
    {Nm::StudyId, DCM_StudyID, EVR_SH, "Study ID", "", kWritten, kValue},
    {Nm::SeriesNumber, DCM_SeriesNumber, EVR_IS, "Series Number", "", kWritten, kValue},
    {Nm::InstanceNumber, DCM_InstanceNumber, EVR_IS, "Instance Number", "", kWritten, kValue},
    {Nm::PatientOrientation, DCM_PatientOrientation, EVR_CS, "Patient Orientation", "", kWritten, kValue},
    {Nm::ImageComments, DCM_ImageComments, EVR_LT, "Image Comments", "record.comment", kWritten, kValue},
    {Nm::SamplesPerPixel, DCM_SamplesPerPixel, EVR_US, "Samples per Pixel", "", kBoth, kValue},
    {Nm::PhotometricInterpretation, DCM_PhotometricInterpretation, EVR_CS, "Photometric Interpretation", "",
     kWritten, kValue},
    {Nm::NumberOfFrames, DCM_NumberOfFrames, EVR_IS, "Number of Frames", "record.frames x divisions", kBoth, kValue},
    {Nm::FrameIncrementPointer, DCM_FrameIncrementPointer, EVR_AT, "Frame Increment Pointer", "", kBoth, kValue},
    {Nm::Rows, DCM_Rows, EVR_US, "Rows", "geometry.rows", kBoth, kValue},
    {Nm::Columns, DCM_Columns, EVR_US, "Columns", "geometry.columns", kBoth, kValue},
    {Nm::PixelSpacing, DCM_PixelSpacing, EVR_DS, "Pixel Spacing", "record.pixel", kBoth, kValue},
    {Nm::BitsAllocated, DCM_BitsAllocated, EVR_US, "Bits Allocated", "", kBoth, kValue},
    {Nm::BitsStored, DCM_BitsStored, EVR_US, "Bits Stored", "", kBoth, kValue},
    {Nm::HighBit, DCM_HighBit, EVR_US, "High Bit", "", kBoth, kValue},
    {Nm::PixelRepresentation, DCM_PixelRepresentation, EVR_US, "Pixel Representation", "", kBoth, kValue},
    {Nm::RescaleIntercept, DCM_RescaleIntercept, EVR_DS, "Rescale Intercept", "", kRead, kValue},
    {Nm::RescaleSlope, DCM_RescaleSlope, EVR_DS, "Rescale Slope", "", kRead, kValue},
    {Nm::LossyImageCompression, DCM_LossyImageCompression, EVR_CS, "Lossy Image Compression", "", kRead, kValue},
    {Nm::EnergyWindowVector, DCM_EnergyWindowVector, EVR_US, "Energy Window Vector", "", kBoth, kValue},
    {Nm::NumberOfEnergyWindows, DCM_NumberOfEnergyWindows, EVR_US, "Number of Energy Windows", "", kBoth, kValue},
    {Nm::RadiopharmaceuticalInformationSequence, DCM_RadiopharmaceuticalInformationSequence, EVR_SQ,
     "Radiopharmaceutical Information Sequence", "record.tracer", kBoth, kValue},
    {Nm::DetectorVector, DCM_DetectorVector, EVR_US, "Detector Vector", "record.frames (detectors x views)", kBoth,
     kValue},
    {Nm::NumberOfDetectors, DCM_NumberOfDetectors, EVR_US, "Number of Detectors", "", kBoth, kValue},
    {Nm::RotationVector, DCM_RotationVector, EVR_US, "Rotation Vector", "", kBoth, kValue},
    {Nm::NumberOfRotations, DCM_NumberOfRotations, EVR_US, "Number of Rotations", "", kBoth, kValue},
    {Nm::RRIntervalVector, DCM_RRIntervalVector, EVR_US, "R-R Interval Vector", "", kBoth, kValue},
    {Nm::NumberOfRRIntervals, DCM_NumberOfRRIntervals, EVR_US, "Number of R-R Intervals", "", kBoth, kValue},
    {Nm::TimeSlotVector, DCM_TimeSlotVector, EVR_US, "Time Slot Vector", "record.division", kBoth, kValue},
    {Nm::NumberOfTimeSlots, DCM_NumberOfTimeSlots, EVR_US, "Number of Time Slots", "record.division", kBoth,
     kValue},
    {Nm::AngularViewVector, DCM_AngularViewVector, EVR_US, "Angular View Vector", "record.frames (views)", kBoth,
     kValue},
    {Nm::RadionuclideCodeSequence, DCM_RadionuclideCodeSequence, EVR_SQ, "Radionuclide Code Sequence",
     "record.tracer", kBoth, kNested},
    {Nm::PixelData, DCM_PixelData, EVR_px, "Pixel Data", "the frames", kBoth, Listing::Length},
};

}  // namespace

std::span<const NmAttribute> nmAttributes() { return kTable; }

const NmAttribute& nmAttribute(Nm id) { return kTable[static_cast<std::size_t>(id)]; }

std::string textOf(DcmItem& item, Nm id, long position) {
    OFString value;
    const DcmTagKey& tag = tagOf(id);
    const OFCondition c = position < 0 ? item.findAndGetOFStringArray(tag, value)
                                       : item.findAndGetOFString(tag, value, static_cast<unsigned long>(position));
    return c.good() ? trimmed(std::string_view(value.c_str(), value.length())) : std::string();
}

bool integerOf(DcmItem& item, Nm id, long& value) {
    Sint32 s = 0;
    if (item.findAndGetSint32(tagOf(id), s).good()) {
        value = s;
        return true;
    }
    Uint16 u = 0;
    if (item.findAndGetUint16(tagOf(id), u).good()) {
        value = u;
        return true;
    }
    return false;
}

bool decimalOf(DcmItem& item, Nm id, double& value) {
    Float64 v = 0;
    if (item.findAndGetFloat64(tagOf(id), v, 0).bad() || !std::isfinite(v)) return false;
    value = v;
    return true;
}

OFCondition putText(DcmItem& item, Nm id, const std::string& value) {
    return item.putAndInsertString(tagOf(id), value.c_str());
}

OFCondition putInteger(DcmItem& item, Nm id, long long value) {
    const NmAttribute& a = nmAttribute(id);
    if (a.vr == EVR_US) return item.putAndInsertUint16(a.tag, static_cast<Uint16>(value));
    return item.putAndInsertString(a.tag, integerValue(value).c_str());
}

OFCondition putDecimal(DcmItem& item, Nm id, double value) {
    return item.putAndInsertString(tagOf(id), decimalValue(value).c_str());
}

OFCondition putEmpty(DcmItem& item, Nm id) { return item.insertEmptyElement(tagOf(id)); }

}  // namespace trevik::dicom
