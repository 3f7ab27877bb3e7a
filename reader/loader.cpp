#include "reader/loader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "reader/element_stream.h"
#include "reader/header.h"
#include "study/rules.h"

namespace trevik {

namespace {

constexpr int kImageSamples = 128 * 128;  // the image buffer: 32768 bytes
constexpr int kRowSamples = 1024;

// Opens the source for reading from its start.
// A directory or a stream that cannot seek (a FIFO, a socket) is no source;
// the descriptor is opened without blocking so a FIFO with no writer cannot
// hang the load.
StreamHandle openSource(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return nullptr;
    struct stat st {};
    const bool usable = ::fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode) && ::lseek(fd, 0, SEEK_CUR) >= 0 &&
                        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0;
    if (!usable) {
        ::close(fd);
        return nullptr;
    }
    StreamHandle stream(::fdopen(fd, "rb"));
    if (!stream) ::close(fd);
    return stream;
}

LoadResult headerResult(HeaderStatus status) {
    switch (status) {
    case HeaderStatus::Complete: return kLoaded;
    case HeaderStatus::Incomplete: return kEndsEarly;
    case HeaderStatus::Malformed: return kNotProjection;
    }
    return kNotProjection;
}

// Completes the report of a load that ends with `result`.
LoadResult finish(LoadReport& report, LoadResult result, LoadReason reason) {
    report.result = result;
    report.reason = reason;
    return result;
}

// Notes where the pixel data ends: image and row counted from 1.
LoadResult shortRow(LoadReport& report, int image, int row) {
    report.image = image;
    report.row = row;
    return kEndsEarly;
}

// Reads image by image into the frame store; kEndsEarly at a short row.
LoadResult readImages(std::FILE* stream, bool floats, std::int16_t* image, int passes, Study& study,
                      LoadReport& report) {
    const int rows = study.geometry.rows;
    const int columns = study.geometry.columns;
    const int frames = study.record.frames;
    union {
        std::int16_t integers[kRowSamples];
        std::uint32_t floats[kRowSamples];
    } row;
    const std::size_t itemSize = floats ? 4 : 2;
    for (int d = 0; d < passes; ++d) {
        for (int k = 0; k < frames; ++k) {
            std::int16_t* out = image;
            for (int y = 0; y < rows; ++y) {
                if (std::fread(&row, itemSize, static_cast<std::size_t>(columns), stream) !=
                    static_cast<std::size_t>(columns))
                    return shortRow(report, d * frames + k + 1, y + 1);
                if (floats) {
                    swap32(row.floats, columns);
                    for (int x = 0; x < columns; ++x) *out++ = scaleSample(std::bit_cast<float>(row.floats[x]));
                } else {
                    swap16(row.integers, columns);
                    for (int x = 0; x < columns; ++x) *out++ = scaleSample(row.integers[x]);
                }
            }
            std::int16_t* frame = study.store.frame(d, k);
            if (columns == 128)
                reduceTo64(image, frame);
            else
                std::memcpy(frame, image, sizeof(std::int16_t) * FrameStore::kFrameSamples);
        }
    }
    return kLoaded;
}

}  // namespace

std::int16_t scaleSample(std::int16_t sample) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(sample * 10));
}

std::int16_t scaleSample(float sample) {
    const double tenfold = static_cast<double>(sample) * 10.0;  // exact in double
    // 2^63 as a double; the signed 64-bit range is [-2^63, 2^63).
    constexpr double kLimit = 9223372036854775808.0;
    if (!std::isfinite(tenfold)) return 0;
    const double whole = std::trunc(tenfold);
    if (whole >= kLimit || whole < -kLimit) return 0;
    const auto t = static_cast<std::int64_t>(whole);
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(static_cast<std::uint64_t>(t)));
}

void reduceTo64(const std::int16_t* source, std::int16_t* destination) {
    for (int r = 0; r < 64; ++r) {
        for (int c = 0; c < 64; ++c) {
            const std::int16_t* s = source + 256 * r + 2 * c;
            const int sum = s[0] + s[1] + s[128] + s[129];
            destination[64 * r + c] = static_cast<std::int16_t>(static_cast<std::uint16_t>(sum));
        }
    }
}

LoadResult loadStudy(const char* path, Study& study, LoadReport* report) {
    LoadReport unused{};
    LoadReport& out = report ? *report : unused;
    out = LoadReport{};
    errno = 0;
    StreamHandle stream = openSource(path);
    if (!stream) {
        out.error = errno;
        return finish(out, kCannotOpen, LoadReason::CannotOpen);
    }
    out.probe = examineFormat(stream.get());
    if (out.probe.finding != FormatProbe::Finding::Recognised)
        return finish(out, kNotProjection, LoadReason::NotRecognised);

    study.flags.reverseFrames = false;
    study.flags.reducedMatrix = false;
    FilePreamble preamble{};
    // The report keeps the last element header the walk reads.
    const HeaderStatus header =
        readHeader(stream.get(), preamble, study, [&out](const SeenElement& element, const Study&) {
            out.elementRead = true;
            out.elementOffset = element.offset;
            out.element = element.header;
        });
    LoadResult rc = headerResult(header);
    if (rc != kLoaded)
        return finish(out, rc, header == HeaderStatus::Malformed ? LoadReason::NegativeLength : LoadReason::HeaderEnds);
    out.sampleBits = preamble.sampleBits;
    out.rows = study.geometry.rows;
    out.columns = study.geometry.columns;
    out.hr = study.record.hr;
    out.division = study.record.division;
    out.imageCount = study.record.frames;

    std::unique_ptr<std::int16_t[]> image(new (std::nothrow) std::int16_t[kImageSamples]);
    if (!image) return finish(out, kNoMemory, LoadReason::NoMemory);

    // Only the two geometries the frame store can hold are accepted.
    const AcquisitionGeometry& g = study.geometry;
    if (!((g.rows == 64 && g.columns == 64) || (g.rows == 128 && g.columns == 128)))
        return finish(out, kNotProjection, LoadReason::Geometry);

    // The header's count is of images; from here on the record holds the
    // frames of one division.
    StudyRecord& r = study.record;
    const std::int32_t imageCount = r.frames;
    if (r.hr != 0 && r.division != 0) {
        if (imageCount == INT32_MIN && r.division == -1) return finish(out, kNotProjection, LoadReason::CountOverflow);
        r.frames = imageCount / r.division;
    }
    out.frames = r.frames;
    // Nothing may be stored beyond the frame store.
    if (!framesFitStore(r)) return finish(out, kNotProjection, LoadReason::StoreFull);
    // A study without images, or with a negative division count, is none
    // the converter can hold.
    if (r.division < 0 || r.frames <= 0) return finish(out, kNotProjection, LoadReason::NoFrames);

    const int passes = r.division > 1 ? r.division : 1;
    out.passes = passes;
    rc = readImages(stream.get(), preamble.sampleBits == 32, image.get(), passes, study, out);
    if (rc != kLoaded) return finish(out, rc, LoadReason::PixelDataEnds);
    image.reset();
    stream.reset();

    if (study.geometry.columns == 128) {
        study.geometry.columns = 64;
        study.geometry.rows = 64;
        r.pixel *= 2;
        study.flags.reducedMatrix = true;
    }
    return finish(out, kLoaded, LoadReason::Loaded);
}

}  // namespace trevik
