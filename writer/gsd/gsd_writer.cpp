#include "writer/gsd/gsd_writer.h"

#include <bit>
#include <cerrno>
#include <cstdint>
#include <new>
#include <string>

#include "study/rules.h"
#include "writer/gsd/gsd_format.h"
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
    const auto divisions = static_cast<int>(gsd::divisionsWritten(record.division));
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

// The bytes writeFrames writes.
std::uint64_t frameBytes(const StudyRecord& record) {
    if (record.frames <= 0) return 0;
    const auto divisions = static_cast<std::uint64_t>(gsd::divisionsWritten(record.division));
    return divisions * static_cast<std::uint64_t>(record.frames) * gsd::kFrameBytes;
}

}  // namespace

// Every write checked, the destination replaced only when complete:
// CannotWrite whenever the destination does not end up holding the whole
// file. Memory running out anywhere gives kNoMemory, and the temporary file
// is removed as the output is unwound.
Status writeGsd(const char* path, const Study& study, const std::function<bool(int fd)>& keep) {
    if (!framesFitStore(study.record)) return statusOf(Reason::CannotWrite, 0);
    try {
        detail::OutputFile output;
        if (!output.open(path, keep)) return refusedOutput(output);
        return writeGsd(output, study);
    } catch (const std::bad_alloc&) {
        return statusOf(Reason::NoMemory, ENOMEM);
    }
}

Status writeGsd(detail::OutputFile& output, const Study& study) {
    if (!framesFitStore(study.record)) return statusOf(Reason::CannotWrite, 0);
    try {
        const std::string header = gsd::composeHeader(study);
        const bool written = output.commit(
            [&](int fd) { return detail::writeAll(fd, header.data(), header.size()) && writeFrames(fd, study); },
            header.size() + frameBytes(study.record));
        if (written) return {};
        return statusOf(Reason::CannotWrite, output.error());
    } catch (const std::bad_alloc&) {
        return statusOf(Reason::NoMemory, ENOMEM);
    }
}

Status createGsd(const char* path, const Study& study) {
    if (!framesFitStore(study.record)) return statusOf(Reason::CannotWrite, 0);
    try {
        detail::OutputFile output;
        if (!output.open(path, {}, detail::OutputFile::Existing::Refuse)) return refusedOutput(output);
        return writeGsd(output, study);
    } catch (const std::bad_alloc&) {
        return statusOf(Reason::NoMemory, ENOMEM);
    }
}

Status refusedOutput(const detail::OutputFile& output) {
    return output.keptSource() ? statusOf(Reason::KeptSource) : statusOf(Reason::CannotWrite, output.error());
}

}  // namespace trevik
