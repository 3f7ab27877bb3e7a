#include "dicom/nm_attributes.h"

#include <dcmtk/dcmdata/dcdeftag.h>

#include <cmath>
#include <cstring>

#include "study/names.h"
#include "study/rules.h"

#include "dicom/values.h"

namespace trevik::dicom {

namespace {

constexpr std::uint8_t kBoth = kRead | kWritten;
constexpr Listing kValue = Listing::Value;
constexpr Listing kNested = Listing::Nested;

// The facts the rows bind. A read takes the value whether present or not
// (an absent one leaves the fact as the reader reset it, or as the rule
// says); the reader reads the rows in tag order.

// The slice width in pixels of Pixel Spacing: the thickness over the
// spacing, rounded, when that is 1 to 32767; else 1. Slice Thickness comes
// before Pixel Spacing in tag order: each read settles it anew.
void settleSlicePixels(StudyFacts& facts) {
    const double spacing = facts.record.pixel, thickness = facts.record.thick;
    const double ratio = spacing > 0 ? std::round(thickness / spacing) : 0.0;
    facts.geometry.slicePixels = ratio >= 1 && ratio <= 32767 ? static_cast<std::int16_t>(ratio) : 1;
}

constexpr NmFact kImageType{
    "record.division (GATED TOMO or TOMO)", nullptr, [](const StudyFacts& f) -> std::optional<std::string> {
        // The third value follows the record's division, not its heart rate.
        return f.record.division >= 1 ? "ORIGINAL\\PRIMARY\\GATED TOMO\\EMISSION" : "ORIGINAL\\PRIMARY\\TOMO\\EMISSION";
    }};
constexpr NmFact kStudyDate{
    "record.date", [](const NmValue& v, StudyFacts& f) { copyText(f.record.date, recordDate(v.text)); },
    [](const StudyFacts& f) -> std::optional<std::string> {
        return dateValue(std::string_view(f.record.date, strnlen(f.record.date, sizeof f.record.date))).value_or("");
    }};
constexpr NmFact kStudyTime{
    "record.time", [](const NmValue& v, StudyFacts& f) { copyText(f.record.time, recordTime(v.text)); },
    [](const StudyFacts& f) -> std::optional<std::string> {
        return timeValue(std::string_view(f.record.time, strnlen(f.record.time, sizeof f.record.time))).value_or("");
    }};
// The readable ASCII of the first name (its alphabetic group, else its kana
// romanised); the writer converts the record's name with its own warnings.
constexpr NmFact kPatientName{"record.name",
                              [](const NmValue& v, StudyFacts& f) {
                                  copyText(f.record.name, readableName(v.text.substr(0, v.text.find('\\'))));
                              },
                              nullptr};
constexpr NmFact kPatientId{
    "record.id", [](const NmValue& v, StudyFacts& f) { copyText(f.record.id, readableIdentifier(v.text)); }, nullptr};
// A code string, ASCII by definition: any other byte stands as "_", as the
// projection reader writes a byte it cannot show. Written: M, F or O alone.
constexpr NmFact kPatientSex{
    "record.sex",
    [](const NmValue& v, StudyFacts& f) {
        std::string sex = v.text.substr(0, 1);
        if (!sex.empty() && static_cast<unsigned char>(sex[0]) >= 0x80) sex = "_";
        copyText(f.record.sex, sex);
    },
    [](const StudyFacts& f) -> std::optional<std::string> {
        const char sex = f.record.sex[0];
        return (sex == 'M' || sex == 'F' || sex == 'O') && f.record.sex[1] == '\0' ? std::string(1, sex) : std::string();
    }};
constexpr NmFact kPatientSize{"record.height (m)", nullptr, [](const StudyFacts& f) -> std::optional<std::string> {
                                  if (!heightRecorded(f.record)) return std::nullopt;
                                  return decimalValue(f.record.height / 100.0);
                              }};
constexpr NmFact kPatientWeight{"record.weight", nullptr, [](const StudyFacts& f) -> std::optional<std::string> {
                                    if (!weightRecorded(f.record)) return std::nullopt;
                                    return decimalValue(f.record.weight);
                                }};
// Read as the object holds it; written as the .gsd holds it (of the
// source's matrix), when there is one.
constexpr NmFact kSliceThickness{"record.thick, geometry.slicePixels (in pixels of Pixel Spacing)",
                                 [](const NmValue& v, StudyFacts& f) {
                                     f.record.thick = v.hasDecimal ? v.decimal : 0.0;
                                     settleSlicePixels(f);
                                 },
                                 [](const StudyFacts& f) -> std::optional<std::string> {
                                     const double thickness = writtenThickness(f);
                                     if (!std::isfinite(thickness) || thickness <= 0) return std::nullopt;
                                     return decimalValue(thickness);
                                 }};
// Out of range is 0 (not recorded); written when above 0, an ungated
// study's too: the .gsd keeps it.
constexpr NmFact kHeartRate{"record.hr",
                            [](const NmValue& v, StudyFacts& f) {
                                const long hr = v.hasInteger && v.integer >= 0 && v.integer <= 32767 ? v.integer : 0;
                                f.record.hr = static_cast<std::int16_t>(hr);
                            },
                            [](const StudyFacts& f) -> std::optional<std::string> {
                                if (f.record.hr <= 0) return std::nullopt;
                                return integerValue(f.record.hr);
                            }};
constexpr NmFact kPixelSpacing{"record.pixel",
                               [](const NmValue& v, StudyFacts& f) {
                                   f.record.pixel = v.hasDecimal ? v.decimal : 0.0;
                                   settleSlicePixels(f);
                               },
                               nullptr};
constexpr NmFact kSeriesNumber{
    "acquisition.seriesNumber",
    [](const NmValue& v, StudyFacts& f) { copyText(f.acquisition.seriesNumber, v.text); }, nullptr};
constexpr NmFact kRows{"geometry.rows", nullptr, nullptr};
constexpr NmFact kColumns{"geometry.columns", nullptr, nullptr};
constexpr NmFact kFactSpecificCharacterSet{"the character set of the record's texts", nullptr, nullptr};
constexpr NmFact kFactCodeValue{"record.tracer (the first code), acquisition.nuclides (every code)", nullptr, nullptr};
constexpr NmFact kFactDerivationDescription{"float samples rounded", nullptr, nullptr};
constexpr NmFact kFactRadiopharmaceutical{"record.tracer (without a code)", nullptr, nullptr};
constexpr NmFact kFactIntervalsAcquired{"acquisition.acceptedBeats", nullptr, nullptr};
constexpr NmFact kFactIntervalsRejected{"acquisition.rejectedBeats", nullptr, nullptr};
constexpr NmFact kFactImageComments{"record.comment", nullptr, nullptr};
constexpr NmFact kFactNumberOfFrames{"record.frames x divisions", nullptr, nullptr};
constexpr NmFact kFactRadiopharmaceuticalInformationSequence{"record.tracer, acquisition.nuclides", nullptr, nullptr};
constexpr NmFact kFactDetectorVector{"record.frames (detectors x views), acquisition.detectors", nullptr, nullptr};
constexpr NmFact kFactEnergyWindowVector{"acquisition.energyWindows", nullptr, nullptr};
constexpr NmFact kFactRRIntervalVector{"acquisition.rrIntervals", nullptr, nullptr};
constexpr NmFact kFactTimeSlotVector{"record.division", nullptr, nullptr};
constexpr NmFact kFactNumberOfTimeSlots{"record.division", nullptr, nullptr};
constexpr NmFact kFactAngularViewVector{"record.frames (views), acquisition.views", nullptr, nullptr};
constexpr NmFact kFactRadionuclideCodeSequence{"record.tracer, acquisition.nuclides", nullptr, nullptr};
constexpr NmFact kFactPixelData{"the frames", nullptr, nullptr};

// The table. A fact binds the field of the study facts (StudyRecord,
// AcquisitionGeometry, Acquisition) the attribute is read into and written
// from.
const NmAttribute kTable[] = {
    {Nm::TransferSyntaxUid, DCM_TransferSyntaxUID, EVR_UI, "Transfer Syntax UID", nullptr, kRead, kValue},
    {Nm::SpecificCharacterSet, DCM_SpecificCharacterSet, EVR_CS, "Specific Character Set",
     &kFactSpecificCharacterSet, kBoth, kValue},
    {Nm::ImageType, DCM_ImageType, EVR_CS, "Image Type", &kImageType, kBoth, kValue},
    {Nm::SopClassUid, DCM_SOPClassUID, EVR_UI, "SOP Class UID", nullptr, kBoth, kValue},
    {Nm::SopInstanceUid, DCM_SOPInstanceUID, EVR_UI, "SOP Instance UID", nullptr, kWritten, kValue},
    {Nm::StudyDate, DCM_StudyDate, EVR_DA, "Study Date", &kStudyDate, kBoth, kValue},
    {Nm::StudyTime, DCM_StudyTime, EVR_TM, "Study Time", &kStudyTime, kBoth, kValue},
    {Nm::AccessionNumber, DCM_AccessionNumber, EVR_SH, "Accession Number", nullptr, kWritten, kValue},
    {Nm::Modality, DCM_Modality, EVR_CS, "Modality", nullptr, kWritten, kValue},
    {Nm::Manufacturer, DCM_Manufacturer, EVR_LO, "Manufacturer", nullptr, kWritten, kValue},
    {Nm::ReferringPhysicianName, DCM_ReferringPhysicianName, EVR_PN, "Referring Physician's Name", nullptr, kWritten,
     kValue},
    {Nm::CodeValue, DCM_CodeValue, EVR_SH, "Code Value", &kFactCodeValue, kBoth, kNested},
    {Nm::CodingSchemeDesignator, DCM_CodingSchemeDesignator, EVR_SH, "Coding Scheme Designator", nullptr, kWritten,
     kNested},
    {Nm::CodeMeaning, DCM_CodeMeaning, EVR_LO, "Code Meaning", nullptr, kWritten, kNested},
    {Nm::DerivationDescription, DCM_DerivationDescription, EVR_ST, "Derivation Description",
     &kFactDerivationDescription, kWritten, kValue},
    {Nm::PatientName, DCM_PatientName, EVR_PN, "Patient's Name", &kPatientName, kBoth, kValue},
    {Nm::PatientId, DCM_PatientID, EVR_LO, "Patient ID", &kPatientId, kBoth, kValue},
    {Nm::PatientBirthDate, DCM_PatientBirthDate, EVR_DA, "Patient's Birth Date", nullptr, kWritten, kValue},
    {Nm::PatientSex, DCM_PatientSex, EVR_CS, "Patient's Sex", &kPatientSex, kBoth, kValue},
    {Nm::PatientSize, DCM_PatientSize, EVR_DS, "Patient's Size", &kPatientSize, kWritten, kValue},
    {Nm::PatientWeight, DCM_PatientWeight, EVR_DS, "Patient's Weight", &kPatientWeight, kWritten, kValue},
    {Nm::BodyPartExamined, DCM_BodyPartExamined, EVR_CS, "Body Part Examined", nullptr, kWritten, kValue},
    {Nm::Radiopharmaceutical, DCM_Radiopharmaceutical, EVR_LO, "Radiopharmaceutical", &kFactRadiopharmaceutical, kBoth,
     kNested},
    {Nm::SliceThickness, DCM_SliceThickness, EVR_DS, "Slice Thickness",
     &kSliceThickness, kBoth, kValue},
    {Nm::CountsAccumulated, DCM_CountsAccumulated, EVR_IS, "Counts Accumulated", nullptr, kWritten, kValue},
    // The beats the gating accepted and rejected, for the quality control:
    // in the Gated Information Sequence's Data Information Sequence, or at
    // the top level as some cameras write them.
    {Nm::IntervalsAcquired, DCM_IntervalsAcquired, EVR_IS, "Intervals Acquired", &kFactIntervalsAcquired,
     kRead, kNested},
    {Nm::IntervalsRejected, DCM_IntervalsRejected, EVR_IS, "Intervals Rejected", &kFactIntervalsRejected,
     kRead, kNested},
    {Nm::HeartRate, DCM_HeartRate, EVR_IS, "Heart Rate", &kHeartRate, kBoth, kValue},
    {Nm::StudyInstanceUid, DCM_StudyInstanceUID, EVR_UI, "Study Instance UID", nullptr, kWritten, kValue},
    {Nm::SeriesInstanceUid, DCM_SeriesInstanceUID, EVR_UI, "Series Instance UID", nullptr, kWritten, kValue},
    {Nm::StudyId, DCM_StudyID, EVR_SH, "Study ID", nullptr, kWritten, kValue},
    {Nm::SeriesNumber, DCM_SeriesNumber, EVR_IS, "Series Number", &kSeriesNumber, kBoth, kValue},
    {Nm::InstanceNumber, DCM_InstanceNumber, EVR_IS, "Instance Number", nullptr, kWritten, kValue},
    {Nm::PatientOrientation, DCM_PatientOrientation, EVR_CS, "Patient Orientation", nullptr, kWritten, kValue},
    {Nm::ImageComments, DCM_ImageComments, EVR_LT, "Image Comments", &kFactImageComments, kWritten, kValue},
    {Nm::SamplesPerPixel, DCM_SamplesPerPixel, EVR_US, "Samples per Pixel", nullptr, kBoth, kValue},
    {Nm::PhotometricInterpretation, DCM_PhotometricInterpretation, EVR_CS, "Photometric Interpretation", nullptr,
     kWritten, kValue},
    {Nm::NumberOfFrames, DCM_NumberOfFrames, EVR_IS, "Number of Frames", &kFactNumberOfFrames, kBoth, kValue},
    {Nm::FrameIncrementPointer, DCM_FrameIncrementPointer, EVR_AT, "Frame Increment Pointer", nullptr, kBoth, kValue},
    {Nm::Rows, DCM_Rows, EVR_US, "Rows", &kRows, kBoth, kValue},
    {Nm::Columns, DCM_Columns, EVR_US, "Columns", &kColumns, kBoth, kValue},
    {Nm::PixelSpacing, DCM_PixelSpacing, EVR_DS, "Pixel Spacing", &kPixelSpacing, kBoth, kValue},
    {Nm::BitsAllocated, DCM_BitsAllocated, EVR_US, "Bits Allocated", nullptr, kBoth, kValue},
    {Nm::BitsStored, DCM_BitsStored, EVR_US, "Bits Stored", nullptr, kBoth, kValue},
    {Nm::HighBit, DCM_HighBit, EVR_US, "High Bit", nullptr, kBoth, kValue},
    {Nm::PixelRepresentation, DCM_PixelRepresentation, EVR_US, "Pixel Representation", nullptr, kBoth, kValue},
    {Nm::RescaleIntercept, DCM_RescaleIntercept, EVR_DS, "Rescale Intercept", nullptr, kRead, kValue},
    {Nm::RescaleSlope, DCM_RescaleSlope, EVR_DS, "Rescale Slope", nullptr, kRead, kValue},
    {Nm::LossyImageCompression, DCM_LossyImageCompression, EVR_CS, "Lossy Image Compression", nullptr, kRead, kValue},
    {Nm::EnergyWindowVector, DCM_EnergyWindowVector, EVR_US, "Energy Window Vector", &kFactEnergyWindowVector, kBoth, kValue},
    {Nm::NumberOfEnergyWindows, DCM_NumberOfEnergyWindows, EVR_US, "Number of Energy Windows", nullptr, kBoth, kValue},
    {Nm::RadiopharmaceuticalInformationSequence, DCM_RadiopharmaceuticalInformationSequence, EVR_SQ,
     "Radiopharmaceutical Information Sequence", &kFactRadiopharmaceuticalInformationSequence, kBoth, kValue},
    {Nm::DetectorVector, DCM_DetectorVector, EVR_US, "Detector Vector", &kFactDetectorVector, kBoth,
     kValue},
    {Nm::NumberOfDetectors, DCM_NumberOfDetectors, EVR_US, "Number of Detectors", nullptr, kBoth, kValue},
    {Nm::RotationVector, DCM_RotationVector, EVR_US, "Rotation Vector", nullptr, kBoth, kValue},
    {Nm::NumberOfRotations, DCM_NumberOfRotations, EVR_US, "Number of Rotations", nullptr, kBoth, kValue},
    {Nm::RRIntervalVector, DCM_RRIntervalVector, EVR_US, "R-R Interval Vector", &kFactRRIntervalVector, kBoth, kValue},
    {Nm::NumberOfRRIntervals, DCM_NumberOfRRIntervals, EVR_US, "Number of R-R Intervals", nullptr, kBoth, kValue},
    {Nm::TimeSlotVector, DCM_TimeSlotVector, EVR_US, "Time Slot Vector", &kFactTimeSlotVector, kBoth, kValue},
    {Nm::NumberOfTimeSlots, DCM_NumberOfTimeSlots, EVR_US, "Number of Time Slots", &kFactNumberOfTimeSlots, kBoth,
     kValue},
    {Nm::AngularViewVector, DCM_AngularViewVector, EVR_US, "Angular View Vector", &kFactAngularViewVector, kBoth,
     kValue},
    {Nm::RadionuclideCodeSequence, DCM_RadionuclideCodeSequence, EVR_SQ, "Radionuclide Code Sequence",
     &kFactRadionuclideCodeSequence, kBoth, kNested},
    {Nm::PixelData, DCM_PixelData, EVR_px, "Pixel Data", &kFactPixelData, kBoth, Listing::Length},
};

}  // namespace

std::span<const NmAttribute> nmAttributes() { return kTable; }

const NmAttribute& nmAttribute(Nm id) { return kTable[static_cast<std::size_t>(id)]; }

NmValue valueOf(DcmItem& item, Nm id) {
    NmValue v;
    v.present = item.tagExists(tagOf(id));
    if (!v.present) return v;
    v.text = textOf(item, id);
    v.hasInteger = integerOf(item, id, v.integer);
    v.hasDecimal = decimalOf(item, id, v.decimal);
    return v;
}

bool decodedText(const NmAttribute& row) {
    switch (row.vr) {
    case EVR_PN: case EVR_LO: case EVR_SH: case EVR_ST: case EVR_LT: case EVR_UT: case EVR_UC: return true;
    default: return false;
    }
}

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
