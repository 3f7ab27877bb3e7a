// Loading one source file into the study: header, then every projection
// image, scaled by 10 and reduced to 64 x 64 where the source is 128 x 128.
#pragma once

#include <cstdint>

#include "reader/projection/element_stream.h"
#include "study/study.h"

namespace trevik {

// The outcome of loadStudy; these are also the process exit codes.
enum LoadResult : int {
    kLoaded = 0,
    kCannotOpen = 1,     // the source cannot be opened (or is a directory, or not seekable)
    kNotProjection = 2,  // not a projection file, or a header or geometry it cannot hold
    kEndsEarly = 4,      // the file ends before the header or the last image row is complete
    kNoMemory = 8,       // the image buffer cannot be allocated
};

// Why a load ended as it did. Each reason belongs to one LoadResult.
enum class LoadReason : int {
    Loaded,          // kLoaded
    CannotOpen,      // kCannotOpen: missing, unreadable, a directory, or a stream that cannot seek
    NotRecognised,   // kNotProjection: the two opening elements are not there (see `probe`)
    NegativeLength,  // kNotProjection: a header element declares a negative length
    HeaderEnds,      // kEndsEarly: the file ends before the end element of the header
    NoMemory,        // kNoMemory: no image buffer
    Geometry,        // kNotProjection: images other than 64 x 64 and 128 x 128
    CountOverflow,   // kNotProjection: the image count over the divisions does not fit 32 bits
    StoreFull,       // kNotProjection: the frames do not fit the frame store
    NoFrames,        // kNotProjection: negative divisions, or no frame in a division
    PixelDataEnds,   // kEndsEarly: a row of pixel data is cut short
};

// What loadStudy found, for a caller that explains its result. Fields that
// the load did not reach stay 0.
struct LoadReport {
    LoadResult result;
    LoadReason reason;
    int error;          // CannotOpen: errno of the open; 0 when opened and refused
    FormatProbe probe;  // what the format probe found
    // NegativeLength, HeaderEnds: the last element header the walk read
    // whole (none when `elementRead` is false).
    bool elementRead;
    std::int64_t elementOffset;
    ElementHeader element;
    // Once the header is read: its values.
    int sampleBits;
    int rows;
    int columns;
    int hr;
    int division;
    std::int32_t imageCount;
    // Once derived: frames per division and division passes.
    std::int32_t frames;
    int passes;
    // PixelDataEnds: where the data ends, both counted from 1: the image in
    // file order and its row.
    int image;
    int row;
};

// Loads the source at `path` into `study`; when `report` is given, it is
// reset and filled with what the load found.
LoadResult loadStudy(const char* path, Study& study, LoadReport* report = nullptr);

// The stored value of one source sample: ten times the sample, modulo 65536.
std::int16_t scaleSample(std::int16_t sample);
// The same for a float sample, truncated toward zero after an exact tenfold
// product; a sample without an integer value (not finite, or beyond the
// signed 64-bit range once multiplied) is stored as 0.
std::int16_t scaleSample(float sample);

// scaleSample of `count` big-endian 16-bit samples as they lie in the file,
// in order.
void scaleIntegers(const unsigned char* bigEndian, std::int16_t* destination, int count);
// scaleSample of `count` big-endian float samples as they lie in the file,
// in order: the same result for every bit pattern.
void scaleFloats(const unsigned char* bigEndian, std::int16_t* destination, int count);

// Sums every 2 x 2 block of a 128 x 128 image into one 64 x 64 frame, each
// sum modulo 65536.
void reduceTo64(const std::int16_t* source, std::int16_t* destination);

// The first 2 x `rows` rows of 128 big-endian samples, scaled and reduced
// into `rows` rows of 64 samples in one pass: the same as scaleIntegers
// (scaleFloats) of those rows followed by the 2 x 2 sums of reduceTo64.
void reduceIntegerRows(const unsigned char* bigEndian, std::int16_t* destination, int rows);
void reduceFloatRows(const unsigned char* bigEndian, std::int16_t* destination, int rows);

namespace detail {

// The instruction set levels the conversions above are built for, in
// ascending order. The first conversion picks the best one the processor
// offers (on x86-64; elsewhere there is only Plain).
enum class KernelLevel { Plain, Avx2, Avx512 };

// Makes the conversions use `level` from now on, for checks that every level
// gives the same results; false, and nothing changed, when the processor or
// the build lacks it.
bool useKernelLevel(KernelLevel level);

}  // namespace detail

}  // namespace trevik
