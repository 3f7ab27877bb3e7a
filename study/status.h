// The one outcome every step of a conversion reports: a code (the process
// exit code), a reason, and where it happened; and the one table of words
// that says it to a user.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace trevik {

// The codes; they are the converter's exit codes.
enum StatusCode : int {
    kOk = 0,
    kCannotOpen = 1,     // a file cannot be opened, read or written
    kNotSupported = 2,   // not a source the converter reads, or a study it cannot hold
    kEndsEarly = 4,      // the source ends before the last image row
    kNoMemory = 8,       // memory ran out
};

// Why a step ended as it did. Each reason belongs to one code.
enum class Reason : std::uint8_t {
    Done,            // kOk
    PathTooLong,     // kCannotOpen: a path longer than 255 bytes
    PathHasZero,     // kCannotOpen: a path holding a zero byte
    CannotOpen,      // kCannotOpen: the source cannot be opened (error; 0 for a directory)
    NotRecognised,   // kNotSupported: the format probe failed (probe)
    NegativeLength,  // kNotSupported: a header element declares a negative length (element)
    HeaderEnds,      // kEndsEarly: the file ends before the end of the header (element)
    Geometry,        // kNotSupported: images other than 64 x 64 and 128 x 128
    CountOverflow,   // kNotSupported: the image count over the divisions does not fit 32 bits
    StoreFull,       // kNotSupported: the frames do not fit the frame store
    NoFrames,        // kNotSupported: negative divisions, or no frame in a division
    PixelDataEnds,   // kEndsEarly: the pixel data ends inside an image (image, row)
    NoMemory,        // kNoMemory
    CannotWrite,     // kCannotOpen: the output cannot be written (error)
    KeptSource,      // kCannotOpen: the output names a source file, which is never replaced
    NotSupported,    // kNotSupported: a reason given as text by a reader of another format (detail)
    CannotRead,      // kEndsEarly: a reader of another format found its data cut short (detail)
    NestedTooDeep,   // kNotSupported: a DICOM object's sequences nest deeper than its parser may go
    // The DICOM reader's refusals of an object (kNotSupported unless said).
    DicomNotPart10,          // no "DICM" at offset 128
    DicomFileEnds,           // kEndsEarly: the file ends inside an element
    DicomUnparsable,         // not a data set DCMTK parses
    DicomNotNm,              // the SOP class is not NM Image Storage
    DicomNotTomo,            // Image Type value 3 is neither GATED TOMO nor TOMO
    DicomSampleForm,         // not one 8- or 16-bit integer per pixel
    DicomFrameCount,         // no Number of Frames, or more than 8192
    DicomVectorLength,       // a frame vector without one value per frame
    DicomNoAngularView,      // the Frame Increment Pointer lists no Angular View Vector
    DicomNoTimeSlot,         // gated, and the Frame Increment Pointer lists no Time Slot Vector
    DicomRotations,          // more than one rotation
    DicomEnergyWindows,      // more than one energy window, none chosen
    DicomNoChosenWindow,     // no frame of the chosen energy window
    DicomRRIntervals,        // more than one R-R interval, none chosen
    DicomNoChosenInterval,   // no frame of the chosen R-R interval
    DicomIndexZero,          // a detector, time slot or angular view numbered 0
    DicomFrameTwice,         // a (detector, time slot, angular view) in more than one frame
    DicomFrameMissing,       // a (detector, time slot, angular view) without a frame
    DicomLossy,              // lossy compressed pixel data (by its transfer syntax or its codestream)
    DicomLossyFlag,          // Lossy Image Compression 01: the pixel data was compressed lossily once
    DicomCompression,        // compressed pixel data in a form not decoded
    DicomUndecodable,        // kEndsEarly: compressed pixel data damaged or cut short
    DicomNoPixelData,        // no Pixel Data
    DicomInflatesTooFar,     // a deflated data set inflates past the size limit
    DicomNeedsTrevikDicom,   // a DICOM file where trevik-dicom, which converts it, is not installed
    DicomPixelDataLonger,    // the pixel data holds more than its frames (pixelBytes, pixelFrames, frameBytes)
    DicomSequenceOverrun,    // a value read as a sequence whose contents do not end at its length
    DicomRescale,            // Rescale Slope or Intercept not a finite number, a zero slope, or counts not finite
    DicomLossyTile,          // a JPEG 2000 COD or COC without the reversible 5-3 wavelet, or a QCD or QCC that quantises
    DicomTooManyChoices,     // more than 64 energy windows, or more than 64 R-R intervals
};

// What the format probe of a projection file found.
enum class ProbeFinding : std::uint8_t {
    Recognised,     // (0000,0000) at offset 64 and (0000,0001) at offset 76
    TooShort,       // the file ends before the two elements
    FirstElement,   // another element at offset 64 (tag)
    SecondElement,  // another element at offset 76 (tag)
};

// Where a status happened: the fields its reason speaks of; the others stay 0.
struct Where {
    int error = 0;  // errno of the failing call
    ProbeFinding probe = ProbeFinding::Recognised;
    std::uint16_t group = 0, element = 0;  // NotRecognised, NegativeLength, HeaderEnds: the element
    std::int32_t length = 0;               // NegativeLength, HeaderEnds: its declared length
    std::int64_t offset = -1;              // NegativeLength, HeaderEnds: its offset (-1: none read)
    int sampleBits = 0;             // once the preamble is read
    std::int64_t dataOffset = -1;   // once the header is read: where the pixel data starts
    int rows = 0, columns = 0, hr = 0, division = 0;  // once the header is read
    std::int32_t imageCount = 0;
    std::int32_t frames = 0;  // once derived: frames per division
    int passes = 0;           // once derived: divisions in the file
    int image = 0, row = 0;   // PixelDataEnds: counted from 1
    std::int64_t pixelBytes = 0;  // DicomPixelDataLonger: the bytes of the pixel data
    std::int32_t pixelFrames = 0;  // DicomPixelDataLonger: the object's Number of Frames
    std::int64_t frameBytes = 0;   // DicomPixelDataLonger: the bytes of one frame
    const char* detail = nullptr;  // NotSupported, CannotRead: static text of the reader that refused
    bool output = false;           // the status concerns the output file, not the source
};

struct Status {
    int code = kOk;
    Reason reason = Reason::Done;
    Where where{};

    bool ok() const { return code == kOk; }
    // A status compares equal to its code.
    friend bool operator==(const Status& s, int code) { return s.code == code; }
    explicit operator int() const { return code; }
};

// A status of `reason` with its code and nothing else said.
Status statusOf(Reason reason);
// A status of `reason` with the errno of the failing call.
Status statusOf(Reason reason, int error);

// The code that belongs to `reason`.
int codeOf(Reason reason);

// The words for `status`: one line, English, no full stop. The window takes
// the same entries through its translation catalogue.
std::string statusWords(const Status& status);

// One entry of the words table, for a translator: the text with %1, %2 ...
// standing for the arguments that statusArguments gives in that order.
struct StatusWords {
    Reason reason;
    int code;     // the code of the reason
    int variant;  // which of the reason's texts
    const char* text;
};
const StatusWords& statusWordsEntry(const Status& status);
// Argument `index` (from 1) of the entry's placeholders, as text.
std::string statusArgument(const Status& status, int index);
// `text` (an entry's text, or its translation) with each of %1 ... %9
// replaced by that argument of `status`; statusWords is the entry's own text
// so expanded.
std::string expandStatusWords(std::string_view text, const Status& status);

// Appends `bytes` as messages show them: every byte outside 0x20..0x7E as
// \xNN, the backslash (and `quote`, when given) escaped with a backslash,
// so that no text can end a line or move the terminal.
void appendPrintable(std::string& out, std::string_view bytes, char quote = 0);
// A file name as messages show it (appendPrintable).
std::string printableName(std::string_view name);

// "(gggg,eeee)" in upper-case hexadecimal, as the words name an element.
std::string tagText(std::uint16_t group, std::uint16_t element);

}  // namespace trevik
