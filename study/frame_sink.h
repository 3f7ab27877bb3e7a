// How a reader hands the frames of a study to whoever keeps or writes them:
// the writer says in which form it wants them, the reader delivers every
// frame in that form, in file order, into room the sink gives.
#pragma once

#include <cstdint>

#include "study/status.h"
#include "study/study.h"

namespace trevik {

// The form of the delivered frames.
struct FrameForm {
    // Reduced: 64 x 64 (a 128 x 128 source summed over 2 x 2 blocks);
    // Source: the source's own matrix, 64 or 128.
    enum class Matrix : std::uint8_t { Reduced, Source };
    // Tenfold: the analysis program's samples (sampleTenfold, study/sample.h);
    // Counts: the camera's counts as it stored them (sampleCounts: floats
    // rounded to the nearest integer, halves away from zero, and clamped).
    enum class Samples : std::uint8_t { Tenfold, Counts };
    Matrix matrix = Matrix::Reduced;
    Samples samples = Samples::Tenfold;
};

// The frames a load will deliver, told to the sink before the first one.
struct FrameLayout {
    int side;    // samples per row and rows per frame as delivered: 64 or 128
    int passes;  // divisions in the file, 1 for an ungated study
    int frames;  // frames in each division
};

// Float samples that Counts changed: not integers, or beyond -32768..32767.
struct CountChanges {
    long long rounded = 0;
    long long clamped = 0;
};

// Receives the frames of one load: division after division, within each
// frame after frame, as the file holds them.
class FrameSink {
public:
    virtual ~FrameSink() = default;
    // Before the first frame, once the facts are settled for the sink's form
    // (settleFacts, study/rules.h): they stay as they are for the rest of
    // the load. A status other than kOk ends the load with that status.
    virtual Status begin(const StudyFacts& facts, const FrameLayout& layout) = 0;
    // Room for frame (division, frame): side x side samples, row after row.
    // The reader fills it whole, then calls stored().
    virtual std::int16_t* slot(int division, int frame) = 0;
    // Frame (division, frame) is complete in its slot. A status other than
    // kOk ends the load with that status.
    virtual Status stored(int division, int frame) = 0;
};

}  // namespace trevik
