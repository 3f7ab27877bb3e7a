#include "study/status.h"

#include <cerrno>
#include <charconv>
#include <cstring>

// Marks the words for the window's translation catalogue; in the core they
// are plain texts.
#ifndef QT_TRANSLATE_NOOP
#define QT_TRANSLATE_NOOP(context, text) text
#endif

namespace trevik {

namespace {

// The words of every status. %1, %2 ... stand for the arguments that
// statusArgument gives; the variant picks among the texts of one reason.
using Entry = StatusWords;

constexpr Entry kWords[] = {
    {Reason::Done, kOk, 0, QT_TRANSLATE_NOOP("status", "converts %1 of %2, %3 x %4")},
    {Reason::Done, kOk, 1, QT_TRANSLATE_NOOP("status", "converts %1 of %2, %3 x %4 reduced to 64 x 64")},
    {Reason::PathTooLong, kCannotOpen, 0, QT_TRANSLATE_NOOP("status", "the path is longer than 255 bytes")},
    {Reason::PathHasZero, kCannotOpen, 0, QT_TRANSLATE_NOOP("status", "the path holds a zero byte")},
    {Reason::CannotOpen, kCannotOpen, 0, QT_TRANSLATE_NOOP("status", "the file cannot be opened: %1")},
    {Reason::CannotOpen, kCannotOpen, 1, QT_TRANSLATE_NOOP("status", "the file cannot be opened: it is a directory")},
    {Reason::CannotOpen, kCannotOpen, 2,
     QT_TRANSLATE_NOOP("status", "the file cannot be opened: it is a FIFO or a socket")},
    {Reason::NotRecognised, kNotSupported, 0,
     QT_TRANSLATE_NOOP("status", "not a projection file: the file is too short to hold (0000,0000) and (0000,0001)")},
    {Reason::NotRecognised, kNotSupported, 1,
     QT_TRANSLATE_NOOP("status", "not a projection file: the element at offset 64 is %1, not (0000,0000)")},
    {Reason::NotRecognised, kNotSupported, 2,
     QT_TRANSLATE_NOOP("status", "not a projection file: the element at offset 76 is %1, not (0000,0001)")},
    {Reason::NegativeLength, kNotSupported, 0,
     QT_TRANSLATE_NOOP("status", "element %1 at offset %2 declares a negative length (%3)")},
    {Reason::HeaderEnds, kEndsEarly, 0,
     QT_TRANSLATE_NOOP("status", "the file ends inside the header, before the end element (6B01,1004)")},
    {Reason::HeaderEnds, kEndsEarly, 1,
     QT_TRANSLATE_NOOP("status", "the file ends inside the header, before the end element (6B01,1004); the last "
                                 "element read is %1 at offset %2, length %3")},
    {Reason::Geometry, kNotSupported, 0,
     QT_TRANSLATE_NOOP("status", "%1 x %2 images; only 64 x 64 and 128 x 128 are converted")},
    {Reason::CountOverflow, kNotSupported, 0,
     QT_TRANSLATE_NOOP("status", "the image count %1 divided by %2 divisions does not fit")},
    {Reason::StoreFull, kNotSupported, 0,
     QT_TRANSLATE_NOOP("status", "%1 frames in one division do not fit the frame store (at most 1024)")},
    {Reason::StoreFull, kNotSupported, 1,
     QT_TRANSLATE_NOOP("status", "%1 divisions of %2 frames do not fit the frame store (at most 16 divisions of 64 "
                                 "frames)")},
    {Reason::NoFrames, kNotSupported, 0, QT_TRANSLATE_NOOP("status", "a negative number of divisions (%1)")},
    {Reason::NoFrames, kNotSupported, 1,
     QT_TRANSLATE_NOOP("status", "no frame to convert: %1 per division (image count %2, %3, hr %4)")},
    {Reason::PixelDataEnds, kEndsEarly, 0, QT_TRANSLATE_NOOP("status", "the pixel data ends in image %1, row %2")},
    {Reason::NoMemory, kNoMemory, 0, QT_TRANSLATE_NOOP("status", "not enough memory")},
    {Reason::CannotWrite, kCannotOpen, 0, QT_TRANSLATE_NOOP("status", "the output cannot be written: %1")},
    {Reason::CannotWrite, kCannotOpen, 1,
     QT_TRANSLATE_NOOP("status", "the output cannot be written: the study's frames do not fit the frame store")},
    {Reason::KeptSource, kCannotOpen, 0,
     QT_TRANSLATE_NOOP("status", "the output is a source file, which is never replaced")},
    {Reason::NotSupported, kNotSupported, 0, QT_TRANSLATE_NOOP("status", "%1")},
    {Reason::CannotRead, kEndsEarly, 0, QT_TRANSLATE_NOOP("status", "%1")},
    {Reason::NestedTooDeep, kNotSupported, 0, QT_TRANSLATE_NOOP("status", "sequences nested deeper than 16")},
    {Reason::DicomNotPart10, kNotSupported, 0,
     QT_TRANSLATE_NOOP("status", "not a DICOM file: no \"DICM\" at offset 128")},
    {Reason::DicomFileEnds, kEndsEarly, 0, QT_TRANSLATE_NOOP("status", "the file ends early, inside an element")},
    {Reason::DicomUnparsable, kNotSupported, 0,
     QT_TRANSLATE_NOOP("status", "not a DICOM object the converter can parse")},
    {Reason::DicomNotNm, kNotSupported, 0,
     QT_TRANSLATE_NOOP("status", "not a DICOM NM image (its SOP class is not NM Image Storage)")},
    {Reason::DicomNotTomo, kNotSupported, 0,
     QT_TRANSLATE_NOOP("status",
                       "not a SPECT projection acquisition (Image Type value 3 is neither GATED TOMO nor TOMO)")},
    {Reason::DicomSampleForm, kNotSupported, 0,
     QT_TRANSLATE_NOOP("status", "a sample form other than one 8- or 16-bit integer per pixel (Samples per Pixel, "
                                 "Bits Allocated, Bits Stored, High Bit, Pixel Representation)")},
    {Reason::DicomFrameCount, kNotSupported, 0, QT_TRANSLATE_NOOP("status", "no Number of Frames, or more than 8192")},
    {Reason::DicomVectorLength, kNotSupported, 0,
     QT_TRANSLATE_NOOP("status", "a frame vector does not hold one value for every frame")},
    {Reason::DicomNoAngularView, kNotSupported, 0,
     QT_TRANSLATE_NOOP("status", "the Frame Increment Pointer lists no Angular View Vector")},
    {Reason::DicomNoTimeSlot, kNotSupported, 0,
     QT_TRANSLATE_NOOP("status", "a gated object whose Frame Increment Pointer lists no Time Slot Vector")},
    {Reason::DicomRotations, kNotSupported, 0, QT_TRANSLATE_NOOP("status", "more than one rotation")},
    {Reason::DicomEnergyWindows, kNotSupported, 0,
     QT_TRANSLATE_NOOP("status", "more than one energy window: choose one with --energy-window N")},
    {Reason::DicomNoChosenWindow, kNotSupported, 0,
     QT_TRANSLATE_NOOP("status", "the object holds no frame of the chosen energy window (--energy-window)")},
    {Reason::DicomRRIntervals, kNotSupported, 0,
     QT_TRANSLATE_NOOP("status", "more than one R-R interval: choose one with --rr-interval N")},
    {Reason::DicomNoChosenInterval, kNotSupported, 0,
     QT_TRANSLATE_NOOP("status", "the object holds no frame of the chosen R-R interval (--rr-interval)")},
    {Reason::DicomIndexZero, kNotSupported, 0,
     QT_TRANSLATE_NOOP("status", "a detector, time slot or angular view numbered 0")},
    {Reason::DicomFrameTwice, kNotSupported, 0,
     QT_TRANSLATE_NOOP("status", "a (detector, time slot, angular view) occurs in more than one frame")},
    {Reason::DicomFrameMissing, kNotSupported, 0,
     QT_TRANSLATE_NOOP("status", "a (detector, time slot, angular view) has no frame")},
    {Reason::DicomLossy, kNotSupported, 0,
     QT_TRANSLATE_NOOP("status", "lossy compressed pixel data: the counts are no longer the camera's")},
    {Reason::DicomLossyFlag, kNotSupported, 0,
     QT_TRANSLATE_NOOP("status", "the pixel data was compressed lossily once (Lossy Image Compression 01): the "
                                 "counts are no longer the camera's")},
    {Reason::DicomCompression, kNotSupported, 0,
     QT_TRANSLATE_NOOP("status", "compressed pixel data in a form the converter does not decode")},
    {Reason::DicomUndecodable, kEndsEarly, 0,
     QT_TRANSLATE_NOOP("status", "the compressed pixel data cannot be decoded: it is damaged or cut short")},
    {Reason::DicomNoPixelData, kNotSupported, 0, QT_TRANSLATE_NOOP("status", "no Pixel Data")},
    {Reason::DicomInflatesTooFar, kNotSupported, 0,
     QT_TRANSLATE_NOOP("status", "the deflated data set inflates past the size limit (512 MiB)")},
    {Reason::DicomNeedsTrevikDicom, kNotSupported, 0,
     QT_TRANSLATE_NOOP("status",
                       "a DICOM file, which trevik-dicom converts; it is not installed: install the package trevik-dicom")},
    {Reason::DicomPixelDataLonger, kNotSupported, 0,
     QT_TRANSLATE_NOOP("status", "the pixel data holds more than its frames: %1 bytes, %2 more than %3 of %4 bytes")},
    {Reason::DicomSequenceOverrun, kNotSupported, 0,
     QT_TRANSLATE_NOOP("status", "a value read as a sequence whose items do not end at its length: its nesting "
                                 "cannot be checked")},
    {Reason::DicomRescale, kNotSupported, 0,
     QT_TRANSLATE_NOOP("status", "Rescale Slope or Rescale Intercept is not a finite number, the slope is 0, or the "
                                 "rescaled counts are not finite")},
    {Reason::DicomLossyTile, kNotSupported, 0,
     QT_TRANSLATE_NOOP("status", "lossy JPEG 2000 pixel data: a tile uses the irreversible 9-7 wavelet or "
                                 "quantisation: the counts are no longer the camera's")},
    {Reason::DicomTooManyChoices, kNotSupported, 0,
     QT_TRANSLATE_NOOP("status", "more than 64 energy windows or more than 64 R-R intervals")},
};

template <typename T>
std::string number(T value) {
    char text[24];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value);
    return std::string(text, error == std::errc{} ? end : text);
}

std::string plural(long long count, const char* one, const char* many) {
    return number(count) + " " + (count == 1 ? one : many);
}

int variantOf(const Status& s) {
    const Where& w = s.where;
    switch (s.reason) {
    case Reason::Done: return w.columns == 128 ? 1 : 0;
    // The open itself succeeded when no error was left: a directory; a
    // stream that cannot seek cannot be read from its start again.
    case Reason::CannotOpen: return w.error == 0 ? 1 : w.error == ESPIPE ? 2 : 0;
    case Reason::NotRecognised: return static_cast<int>(w.probe) - 1;
    case Reason::HeaderEnds: return w.offset >= 0 ? 1 : 0;
    case Reason::StoreFull: return w.division > 1 ? 1 : 0;
    case Reason::NoFrames: return w.division < 0 ? 0 : 1;
    case Reason::CannotWrite: return w.error == 0 ? 1 : 0;
    default: return 0;
    }
}

}  // namespace

std::string tagText(std::uint16_t group, std::uint16_t element) {
    constexpr char kHex[] = "0123456789ABCDEF";
    std::string s = "(gggg,eeee)";
    for (int i = 0; i < 4; ++i) {
        s[static_cast<std::size_t>(4 - i)] = kHex[(group >> (4 * i)) & 0xF];
        s[static_cast<std::size_t>(9 - i)] = kHex[(element >> (4 * i)) & 0xF];
    }
    return s;
}

void appendPrintable(std::string& out, std::string_view bytes, char quote) {
    constexpr char kHex[] = "0123456789ABCDEF";
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\\' || (quote && c == quote)) {
            out += '\\';
            out += c;
        } else if (u >= 0x20 && u <= 0x7E) {
            out += c;
        } else {
            out += "\\x";
            out += kHex[u >> 4];
            out += kHex[u & 0xF];
        }
    }
}

std::string printableName(std::string_view name) {
    std::string out;
    appendPrintable(out, name);
    return out;
}

Status statusOf(Reason reason) {
    Status s;
    s.code = codeOf(reason);
    s.reason = reason;
    return s;
}

Status statusOf(Reason reason, int error) {
    Status s = statusOf(reason);
    s.where.error = error;
    return s;
}

int codeOf(Reason reason) {
    for (const Entry& e : kWords)
        if (e.reason == reason) return e.code;
    return kNotSupported;
}

const StatusWords& statusWordsEntry(const Status& status) {
    const int variant = variantOf(status);
    for (const Entry& e : kWords)
        if (e.reason == status.reason && e.variant == variant) return e;
    static constexpr StatusWords kUnknown{Reason::NotSupported, kNotSupported, 0, "unknown failure"};
    return kUnknown;
}

std::string statusArgument(const Status& s, int index) {
    const Where& w = s.where;
    auto pick = [index](std::initializer_list<std::string> args) {
        return index >= 1 && static_cast<std::size_t>(index) <= args.size() ? *(args.begin() + index - 1)
                                                                            : std::string();
    };
    switch (s.reason) {
    case Reason::Done:
        return pick({plural(w.passes, "division", "divisions"), plural(w.frames, "frame", "frames"), number(w.columns),
                     number(w.rows)});
    case Reason::CannotOpen:
    case Reason::CannotWrite: return pick({std::strerror(w.error)});
    case Reason::NotRecognised: return pick({tagText(w.group, w.element)});
    case Reason::NegativeLength:
    case Reason::HeaderEnds: return pick({tagText(w.group, w.element), number(w.offset), number(w.length)});
    case Reason::Geometry: return pick({number(w.columns), number(w.rows)});
    case Reason::CountOverflow: return pick({number(w.imageCount), number(w.division)});
    case Reason::StoreFull:
        return w.division > 1 ? pick({number(w.division), number(w.frames)}) : pick({number(w.frames)});
    case Reason::NoFrames:
        return w.division < 0 ? pick({number(w.division)})
                              : pick({plural(w.frames, "frame", "frames"), number(w.imageCount),
                                      plural(w.division, "division", "divisions"), number(w.hr)});
    case Reason::PixelDataEnds: return pick({number(w.image), number(w.row)});
    case Reason::DicomPixelDataLonger:
        return pick({number(w.pixelBytes), number(w.pixelBytes - static_cast<std::int64_t>(w.pixelFrames) * w.frameBytes),
                     plural(w.pixelFrames, "frame", "frames"), number(w.frameBytes)});
    case Reason::NotSupported:
    case Reason::CannotRead: return pick({w.detail ? w.detail : ""});
    default: return {};
    }
}

std::string statusWords(const Status& status) { return expandStatusWords(statusWordsEntry(status).text, status); }

std::string expandStatusWords(std::string_view text, const Status& status) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 1 < text.size() && text[i + 1] >= '1' && text[i + 1] <= '9') {
            out += statusArgument(status, text[i + 1] - '0');
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace trevik
