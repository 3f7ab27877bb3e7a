#include "writer/gsd/gsd_stream.h"

#include <unistd.h>

#include <bit>
#include <cerrno>
#include <new>
#include <string>

#include "writer/file_io.h"
#include "writer/gsd/gsd_format.h"

namespace trevik {

namespace {

// Frames per write: 512 KiB, which stays in the cache between the
// conversion and the write, and is a whole division of a gated study.
constexpr int kRunFrames = FrameStore::kFramesPerDivision;
constexpr std::size_t kFrameBytes = gsd::kFrameBytes;

Status cannotWrite(int error) {
    Status s = statusOf(Reason::CannotWrite, error);
    s.where.output = true;
    return s;
}

}  // namespace

Status GsdStreamSink::begin(const StudyFacts& facts, const FrameLayout& layout) {
    if (layout.side != FrameStore::kSide || layout.passes <= 0 || layout.frames <= 0) {
        Status s = statusOf(Reason::NotSupported);
        s.where.detail = "the output holds 64 x 64 frames only";
        return s;
    }
    const std::string header = gsd::composeHeader(facts);

    reversed_ = facts.flags.reverseFrames;
    frames_ = layout.frames;
    group_ = reversed_ ? layout.frames : layout.passes * layout.frames;
    capacity_ = group_ < kRunFrames ? group_ : kRunFrames;
    headerBytes_ = header.size();
    frameBytes_ = static_cast<std::uint64_t>(layout.passes) * static_cast<std::uint64_t>(layout.frames) * kFrameBytes;
    buffer_.reset(new (std::nothrow) std::int16_t[static_cast<std::size_t>(capacity_) * FrameStore::kFrameSamples]);
    if (!buffer_) return statusOf(Reason::NoMemory, ENOMEM);
    prefault(buffer_.get(), static_cast<std::size_t>(capacity_) * FrameStore::kFrameSamples * sizeof(std::int16_t));
    if (!detail::writeAllAt(fd_, header.data(), header.size(), 0)) return cannotWrite(errno);
    return {};
}

GsdStreamSink::Run GsdStreamSink::runOf(int division, int frame) const {
    const long long n = static_cast<long long>(division) * frames_ + frame;
    const long long group = n / group_;
    const int i = static_cast<int>(n % group_);
    const int lo = i / capacity_ * capacity_;
    const int hi = lo + capacity_ - 1 < group_ - 1 ? lo + capacity_ - 1 : group_ - 1;
    // Reversed, the run's last frame comes first in the file.
    const int index = reversed_ ? hi - i : i - lo;
    return Run{index, hi - lo, group * group_ + (reversed_ ? group_ - 1 - hi : lo)};
}

std::int16_t* GsdStreamSink::slot(int division, int frame) {
    return buffer_.get() + static_cast<std::ptrdiff_t>(runOf(division, frame).first) * FrameStore::kFrameSamples;
}

Status GsdStreamSink::stored(int division, int frame) {
    const Run run = runOf(division, frame);
    // Frames come in file order: the run is complete with the frame whose
    // place in it is the last (reversed: the first).
    if (run.first != (reversed_ ? 0 : run.last)) return {};
    const std::size_t samples = static_cast<std::size_t>(run.last + 1) * FrameStore::kFrameSamples;
    if constexpr (std::endian::native != std::endian::little) {
        for (std::size_t k = 0; k < samples; ++k) {
            const auto v = static_cast<std::uint16_t>(buffer_[k]);
            buffer_[k] = static_cast<std::int16_t>(static_cast<std::uint16_t>(v << 8 | v >> 8));
        }
    }
    if (!detail::writeAllAt(fd_, buffer_.get(), samples * sizeof(std::int16_t),
                 headerBytes_ + static_cast<std::uint64_t>(run.at) * kFrameBytes))
        return cannotWrite(errno);
    return {};
}

}  // namespace trevik
