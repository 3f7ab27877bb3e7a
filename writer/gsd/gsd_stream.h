// The Gated SPECT data file written while the source loads: a frame sink
// that converts each frame into a small buffer and writes it at its place in
// a new file, so that no frame store is needed on the way. The file is the
// one writeGsd writes from the store after the same load, byte for byte.
#pragma once

#include <cstdint>
#include <memory>

#include "study/frame_sink.h"

namespace trevik {

class GsdStreamSink final : public FrameSink {
public:
    // Writes into `fd`, a new empty file open for writing (pwrite: its
    // offset is not used).
    explicit GsdStreamSink(int fd) : fd_(fd) {}

    // Writes the header from the facts as the load settled them.
    Status begin(const StudyFacts& facts, const FrameLayout& layout) override;
    std::int16_t* slot(int division, int frame) override;
    // Writes a run of frames once its last one is in.
    Status stored(int division, int frame) override;

    // The file's length once every frame is written.
    std::uint64_t size() const { return headerBytes_ + frameBytes_; }

private:
    // The run of frames that frame (division, frame) falls in: frames in
    // file order, within one division where the division is written last
    // frame first.
    struct Run {
        int first;       // index in the buffer of the first frame of the run
        int last;        // of the last frame of the run
        long long at;    // frames before the run in the file
    };
    Run runOf(int division, int frame) const;

    int fd_;
    std::uint64_t headerBytes_ = 0;
    std::uint64_t frameBytes_ = 0;
    bool reversed_ = false;
    int frames_ = 0;     // frames in a division
    int group_ = 0;      // frames written as one sequence: a division when reversed, else all
    int capacity_ = 0;   // frames the buffer holds
    std::unique_ptr<std::int16_t[]> buffer_;
};

}  // namespace trevik
