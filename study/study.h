// The state of one study: what the reader fills, the window edits and the
// writer turns into a file. Plain data with fixed-width fields; a Study
// value-initialised (Study{} or std::make_unique<Study>()) is all zero, the
// state at program start.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "study/acquisition.h"

namespace trevik {

// Patient, study and acquisition facts. Texts are zero-terminated in fields
// whose width includes the terminator.
struct StudyRecord {
    char name[50];     // patient's name, at most 49 characters
    char id[40];       // patient identifier, at most 39 characters
    char sex[2];       // one letter or empty
    float height;      // cm
    float weight;      // kg
    char date[11];     // examination date as stored in the source
    char time[13];     // examination time, at most 8 characters used
    std::int32_t frames;  // image count of the file, after loading frames per division
    double pixel;      // mm, pixel size of the stored 64 x 64 frames
    double thick;      // mm, slice thickness
    std::int16_t hr;   // beats per minute, 0 for an ungated study
    std::int16_t division;  // gate divisions, 0 for an ungated study
    char tracer[20];   // radionuclide, at most 19 characters
    char comment[80];  // free comment, at most 79 characters
};

// Image size as the source header gives it, and the slice width in pixels.
struct AcquisitionGeometry {
    std::int16_t columns;
    std::int16_t rows;
    std::int16_t slicePixels;
};

// Facts found while loading that change how the output is written.
struct LoadFlags {
    bool reverseFrames;  // write the frames of every division last to first
    bool reducedMatrix;  // the source was 128 x 128 and was reduced to 64 x 64
};

// All projection frames, 64 x 64 signed samples each, in 1024 slots laid out
// as 16 divisions of 64 frames: frame f of division d is slot d * 64 + f.
// A single division may run on through all 1024 slots.
struct FrameStore {
    static constexpr int kSide = 64;
    static constexpr int kFrameSamples = kSide * kSide;  // 4096
    static constexpr int kFramesPerDivision = 64;
    static constexpr int kDivisions = 16;
    static constexpr int kSlots = kFramesPerDivision * kDivisions;  // 1024

    std::int16_t samples[kSlots * kFrameSamples];

    // The slot of frame (d, f); the caller keeps d * 64 + f within 0..1023.
    std::int16_t* frame(int d, int f) {
        return samples + static_cast<std::ptrdiff_t>(d * kFramesPerDivision + f) * kFrameSamples;
    }
    const std::int16_t* frame(int d, int f) const {
        return samples + static_cast<std::ptrdiff_t>(d * kFramesPerDivision + f) * kFrameSamples;
    }
};

// The study apart from its frames: what a reader settles before the first
// frame and every writer reads. Small; a loader that does not fill the
// frame store works on these alone.
struct StudyFacts {
    StudyRecord record;
    AcquisitionGeometry geometry;
    LoadFlags flags;
    Acquisition acquisition;
};

// Everything one conversion works on. About 8 MiB: allocate it on the heap
// or give it static storage.
struct Study : StudyFacts {
    FrameStore store;
};

// A Study on the heap, the same value as `new Study()`, whose frame store
// is left on the system's zero pages instead of being cleared: a
// conversion that streams its frames never touches the store's 8 MiB, and
// one that loads into it touches only the slots it fills. Mapped, not
// taken from malloc, whose heap would clear memory it reuses. (Study is
// plain data that is all zero bytes before its facts are set.)
struct FreeStudy {
    void operator()(Study* study) const;
};
using HeapStudy = std::unique_ptr<Study, FreeStudy>;
// Null when memory runs out.
HeapStudy newStudy();

// Makes the pages of a buffer about to be filled resident in one call
// rather than one fault a page at its first write (a fault costs about as
// much as copying the page; a buffer of 512 KiB has 128). Buffers under
// kPrefaultBytes are left to fault: one call would cost more than their few
// faults. Changes no byte.
constexpr std::size_t kPrefaultBytes = 64 * 1024;
void prefault(void* data, std::size_t bytes);

// A file name of at most 255 bytes with its terminator. A longer name does
// not fit and is refused, never cut: a cut name would name another file.
struct PathBuffer {
    static constexpr std::size_t kCapacity = 256;
    char text[kCapacity];

    // Copies `path` whole; false (and the buffer unchanged) when it is longer
    // than 255 bytes or holds a zero byte.
    bool assign(std::string_view path);
    const char* c_str() const { return text; }
    bool empty() const { return text[0] == '\0'; }
};

// Copies `text` into a zero-terminated field of `width` bytes (terminator
// included), cut to at most width - 1 bytes. Used wherever a value may be
// longer than its field.
void copyText(char* field, std::size_t width, std::string_view text);

template <std::size_t N>
void copyText(char (&field)[N], std::string_view text) {
    copyText(field, N, text);
}

}  // namespace trevik
