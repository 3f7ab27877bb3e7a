#include "writer/gsd_writer.h"

#include <bit>
#include <cerrno>
#include <cstdint>
#include <string>

#include "study/rules.h"
#include "writer/gsd_format.h"
#include "writer/output_file.h"

namespace trevik {

namespace {

// `count` samples from the store as little-endian 16-bit integers: straight
// from memory on a little-endian host, through a frame-sized buffer otherwise.
bool writeSamples(int fd, const std::int16_t* samples, std::size_t count) {
    if constexpr (std::endian::native == std::endian::little) {
        return detail::writeAll(fd, samples, count * sizeof(std::int16_t));
    } else {
        unsigned char block[FrameStore::kFrameSamples * 2];
        while (count > 0) {
            const std::size_t n = count < FrameStore::kFrameSamples ? count : FrameStore::kFrameSamples;
            for (std::size_t i = 0; i < n; ++i) {
                const auto v = static_cast<std::uint16_t>(samples[i]);
                block[2 * i] = static_cast<unsigned char>(v & 0xFF);
                block[2 * i + 1] = static_cast<unsigned char>(v >> 8);
            }
            if (!detail::writeAll(fd, block, n * 2)) return false;
            samples += n;
            count -= n;
        }
        return true;
    }
}

// Every frame of every division: divisions ascending,
// frames ascending or, with reverseFrames, descending within each division.
// A division in store order is one contiguous run of slots and goes out as
// one block; reversed, every frame is one 8192-byte block.
bool writeFrames(int fd, const Study& study) {
    const StudyRecord& record = study.record;
    if (record.frames <= 0) return true;
    const int divisions = record.division >= 1 ? record.division : 1;
    const int frames = record.frames;
    for (int d = 0; d < divisions; ++d) {
        if (!study.flags.reverseFrames) {
            if (!writeSamples(fd, study.store.frame(d, 0),
                              static_cast<std::size_t>(frames) * FrameStore::kFrameSamples)) {
                return false;
            }
            continue;
        }
        for (int f = frames - 1; f >= 0; --f) {
            if (!writeSamples(fd, study.store.frame(d, f), FrameStore::kFrameSamples)) return false;
        }
    }
    return true;
}

// Fills `failure` from errno, or with `reason` when no call set one.
WriteResult fail(WriteFailure* failure, const char* reason) {
    if (failure) *failure = errno != 0 ? WriteFailure{errno, nullptr} : WriteFailure{0, reason};
    return kCannotWrite;
}

}  // namespace

// Every write checked, the destination replaced only when complete:
// result 1 whenever the destination does not end up holding the whole file.
// A record whose frames the frame store cannot hold is refused with result
// 1 before anything is opened: nothing is written and the record stays
// unchanged.
WriteResult writeGsd(const char* path, Study& study, WriteFailure* failure) {
    if (!framesFitStore(study.record)) {
        if (failure) *failure = WriteFailure{0, "the study holds more frames than the file can take"};
        return kCannotWrite;
    }

    detail::OutputFile output;
    errno = 0;
    if (!output.open(path)) return fail(failure, "the file cannot be created");

    updateThickness(study);
    study.record.thick = writtenThickness(study);
    const std::string header = detail::composeHeader(study.record);
    errno = 0;
    const bool written = output.commit([&](int fd) {
        return detail::writeAll(fd, header.data(), header.size()) && writeFrames(fd, study);
    });
    return written ? kWritten : fail(failure, "the file could not be written completely");
}

}  // namespace trevik
