// The NM object's attributes, bound once: for each, its tag, VR, name, its
// place in the study facts, whether the reader reads it and the writer
// writes it, and how the inspection lists it. The reader, the writer and
// the inspection walk this table and name attributes by `Nm` only; what is
// not one attribute of the top level (the sequences' inner items other than
// the ones listed here) stays code of its own.
#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dctagkey.h>
#include <dcmtk/dcmdata/dcvr.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "study/study.h"

namespace trevik::dicom {

// One name per row of the table, in its order (the tags' order).
enum class Nm : std::uint8_t {
    TransferSyntaxUid,
    SpecificCharacterSet,
    ImageType,
    SopClassUid,
    SopInstanceUid,
    StudyDate,
    StudyTime,
    AccessionNumber,
    Modality,
    Manufacturer,
    ReferringPhysicianName,
    CodeValue,
    CodingSchemeDesignator,
    CodeMeaning,
    DerivationDescription,
    PatientName,
    PatientId,
    PatientBirthDate,
    PatientSex,
    PatientSize,
    PatientWeight,
    BodyPartExamined,
    Radiopharmaceutical,
    SliceThickness,
    CountsAccumulated,
    IntervalsAcquired,
    IntervalsRejected,
    HeartRate,
    StudyInstanceUid,
    SeriesInstanceUid,
    StudyId,
    SeriesNumber,
    InstanceNumber,
    PatientOrientation,
    ImageComments,
    SamplesPerPixel,
    PhotometricInterpretation,
    NumberOfFrames,
    FrameIncrementPointer,
    Rows,
    Columns,
    PixelSpacing,
    BitsAllocated,
    BitsStored,
    HighBit,
    PixelRepresentation,
    RescaleIntercept,
    RescaleSlope,
    LossyImageCompression,
    EnergyWindowVector,
    NumberOfEnergyWindows,
    RadiopharmaceuticalInformationSequence,
    DetectorVector,
    NumberOfDetectors,
    RotationVector,
    NumberOfRotations,
    RRIntervalVector,
    NumberOfRRIntervals,
    TimeSlotVector,
    NumberOfTimeSlots,
    AngularViewVector,
    RadionuclideCodeSequence,
    PixelData,
};

// Who uses an attribute.
enum NmUse : std::uint8_t {
    kRead = 1,     // the reader takes it into account (and the inspection lists it)
    kWritten = 2,  // the writer puts it into every object it composes (or when it has a value)
};

// How the inspection lists an attribute it finds.
enum class Listing : std::uint8_t {
    Value,   // its values as text (a sequence: the number of its items)
    Length,  // the number of its bytes
    Nested,  // an attribute inside a sequence's item: not listed at the top level
};

// A value as a fact takes it from the reader: its text without padding
// (UTF-8 where the reader decodes the row's texts), and its number as
// DCMTK reads it (the first value), where it is one.
struct NmValue {
    bool present = false;
    std::string text;
    bool hasInteger = false;
    long integer = 0;
    bool hasDecimal = false;
    double decimal = 0;
};

// The place of an attribute in the study facts, bound as the .gsd key table
// binds its keys: `read` takes the attribute's value (absent too) into the
// facts, `write` gives the value the writer puts in, nothing when the
// object holds none. Either may be null: the reader or the writer then
// has code of its own for it (the patient's texts that the writer
// converts with its warnings, the tracer's codes, the frame vectors).
struct NmFact {
    const char* name;  // for people: the field of the facts
    void (*read)(const NmValue& value, StudyFacts& facts);
    std::optional<std::string> (*write)(const StudyFacts& facts);
};

struct NmAttribute {
    Nm id;
    DcmTagKey tag;
    DcmEVR vr;
    const char* name;
    const NmFact* fact;  // its place in the study facts; null: the object's own form
    std::uint8_t use;    // NmUse bits
    Listing listing;
};

// The whole table, in tag order.
std::span<const NmAttribute> nmAttributes();
const NmAttribute& nmAttribute(Nm id);
inline const DcmTagKey& tagOf(Nm id) { return nmAttribute(id).tag; }

// The value of row `id` in `item` as a fact takes it (its text as the
// item holds it: the caller decodes a text of the character set).
NmValue valueOf(DcmItem& item, Nm id);

// Whether a row's texts are of the object's character set (PN, LO, SH,
// ST, LT, UT, UC): the reader decodes them before a fact takes them.
bool decodedText(const NmAttribute& row);

// Reading, in the attribute's own form. `textOf`: the values (or the one at
// `position`) without padding, empty when absent. `integerOf`: a US, SS, SL
// or IS value. `decimalOf`: the first DS value, false when absent or not finite.
std::string textOf(DcmItem& item, Nm id, long position = -1);
bool integerOf(DcmItem& item, Nm id, long& value);
bool decimalOf(DcmItem& item, Nm id, double& value);

// Writing, in the attribute's VR: a text (a DS or IS value as its text), an
// integer (US as a binary value, IS as text), a decimal (DS), or present and
// empty.
OFCondition putText(DcmItem& item, Nm id, const std::string& value);
OFCondition putInteger(DcmItem& item, Nm id, long long value);
OFCondition putDecimal(DcmItem& item, Nm id, double value);
OFCondition putEmpty(DcmItem& item, Nm id);

}  // namespace trevik::dicom
