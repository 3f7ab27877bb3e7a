// The frame store as a frame sink: each 64 x 64 frame goes straight into its
// slot, frame f of division d into slot d x 64 + f.
#pragma once

#include "study/frame_sink.h"

namespace trevik {

class StoreSink final : public FrameSink {
public:
    explicit StoreSink(FrameStore& store) : store_(store) {}
    // Takes 64 x 64 frames only; makes the pages of the slots the load will
    // fill present in one go.
    Status begin(const StudyFacts& facts, const FrameLayout& layout) override;
    std::int16_t* slot(int division, int frame) override { return store_.frame(division, frame); }
    Status stored(int, int) override { return {}; }

private:
    FrameStore& store_;
};

}  // namespace trevik
