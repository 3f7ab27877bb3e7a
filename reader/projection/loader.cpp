#include "reader/projection/loader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "reader/projection/big_endian.h"
#include "reader/projection/element_stream.h"
#include "reader/projection/header.h"
#include "study/rules.h"
#include "study/sample.h"
#include "study/store_sink.h"

#ifndef TREVIK_READ_KIB
#define TREVIK_READ_KIB 256
#endif

namespace trevik {

namespace {

// The read buffer: whole images, at least one 128 x 128 image of floats, and
// so many that reading the pixel data takes few calls (each call costs a
// few microseconds more than its copy). Pages a small study does not reach
// are never touched.
constexpr std::size_t kImageBytes = std::size_t{TREVIK_READ_KIB} << 10;

// The source read from its start through `fd`, which it takes over.
// A directory or a stream that cannot seek (a FIFO, a socket) is no source;
// the descriptor is opened without blocking so a FIFO with no writer cannot
// hang the load.
SourceStream streamOf(int fd) {
    if (fd < 0) return SourceStream();
    struct stat st {};
    const bool usable = ::fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode) && ::lseek(fd, 0, SEEK_CUR) >= 0 &&
                        ::fcntl(fd, F_SETFL, 0) == 0;  // of the status flags, only O_NONBLOCK was set
    if (!usable) {
        ::close(fd);
        return SourceStream();
    }
    return SourceStream(fd);
}

SourceStream openSource(const char* path) {
    return streamOf(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
}

// The source open as `fd`, read from its start through a descriptor of its
// own (the caller's stays open and where it was).
SourceStream sourceOf(int fd) { return streamOf(::fcntl(fd, F_DUPFD_CLOEXEC, 0)); }

// The read buffer for a study of `images` images: as many whole images as
// it holds, up to kImageBytes, at least one image (one byte for a geometry
// the load refuses).
std::size_t readBufferBytes(const AcquisitionGeometry& g, int sampleBits, std::int32_t images) {
    const bool known = convertibleMatrix(g.rows, g.columns);
    const std::size_t image = known ? static_cast<std::size_t>(g.rows) * static_cast<std::size_t>(g.columns) *
                                          (sampleBits == 32 ? 4u : 2u)
                                    : 1u;
    if (images <= 1) return image;
    const std::uint64_t all = std::uint64_t{image} * static_cast<std::uint64_t>(images);
    return all < kImageBytes ? static_cast<std::size_t>(all) : image > kImageBytes ? image : kImageBytes;
}

// A status of `reason` that keeps where the load got to.
Status ended(Status& where, Reason reason) {
    where.code = codeOf(reason);
    where.reason = reason;
    return where;
}

// Notes where the pixel data ends: image and row counted from 1.
Status shortRow(Status& status, int image, int row) {
    status.where.image = image;
    status.where.row = row;
    return ended(status, Reason::PixelDataEnds);
}

// The camera's counts of `samples` big-endian samples. Not inlined: the fuzz
// build keeps this per-sample loop off its coverage instrumentation.
__attribute__((noinline)) void convertCounts(bool floats, int samples, const unsigned char* bytes,
                                             std::int16_t* counts, CountChanges& changes) {
    for (int i = 0; i < samples; ++i) {
        if (floats) {
            counts[i] = countOf(std::bit_cast<float>(bigEndian32(bytes + 4 * i)), changes);
        } else {
            counts[i] = static_cast<std::int16_t>(bigEndian16(bytes + 2 * i));
        }
    }
}

// One source image of `side` x `side` big-endian samples in the form `form`
// asks, into `out` (side x side samples, or 64 x 64 reduced).
void convertImage(const ConversionKernels& k, const FrameForm& form, bool floats, int side,
                  const unsigned char* bytes, std::int16_t* out, CountChanges& changes) {
    const int samples = side * side;
    if (form.samples == FrameForm::Samples::Tenfold) {
        if (side == 128 && form.matrix == FrameForm::Matrix::Reduced)
            (floats ? k.reduceFloatRows : k.reduceIntegerRows)(bytes, out, 64);
        else
            (floats ? k.scaleFloats : k.scaleIntegers)(bytes, out, samples);
        return;
    }
    // The camera's counts, reduced (2 x 2 sums modulo 65536) when asked.
    std::int16_t whole[128 * 128];
    std::int16_t* counts = side == 128 && form.matrix == FrameForm::Matrix::Reduced ? whole : out;
    convertCounts(floats, samples, bytes, counts, changes);
    if (counts == whole) reduceTo64(whole, out);
}

// Reads the pixel data image after image and hands each image to the sink
// only once the whole image is in: a file that ends inside image k leaves
// the images before k delivered and frame k unannounced. The reads go on
// from where the header reading left the stream, straight into the buffer.
class ImageReader {
public:
    ImageReader(SourceStream& stream, bool floats, int side, int passes, int frames, FrameSink& sink,
                const LoadOptions& options, const ConversionKernels& kernels, Status& status)
        : stream_(stream), floats_(floats), side_(side), passes_(passes), frames_(frames), sink_(sink), options_(options),
          k_(kernels), status_(status) {}

    // Reduced tenfold frames without a look at the source images: the
    // fused kernels in as few reads as the image buffer allows.
    Status fast(unsigned char* buffer, std::size_t bufferBytes) {
        const std::size_t rowBytes = static_cast<std::size_t>(side_) * (floats_ ? 4 : 2);
        const int images = passes_ * frames_;
        // Whole images per read, as many as the buffer holds.
        const std::size_t imageBytes = rowBytes * static_cast<std::size_t>(side_);
        const int perRead = static_cast<int>(bufferBytes / imageBytes);
        for (int n = 0; n < images;) {
            const int want = images - n < perRead ? images - n : perRead;
            const std::size_t got = stream_.read(buffer, imageBytes * static_cast<std::size_t>(want));
            const int whole = static_cast<int>(got / imageBytes);
            for (int j = 0; j < whole; ++j, ++n) {
                const unsigned char* source = buffer + imageBytes * static_cast<std::size_t>(j);
                std::int16_t* frame = sink_.slot(n / frames_, n % frames_);
                if (side_ == 128)
                    (floats_ ? k_.reduceFloatRows : k_.reduceIntegerRows)(source, frame, 64);
                else
                    (floats_ ? k_.scaleFloats : k_.scaleIntegers)(source, frame, FrameStore::kFrameSamples);
                if (Status s = sink_.stored(n / frames_, n % frames_); !s.ok()) return s;
            }
            if (whole < want) {
                const std::size_t rest = got - imageBytes * static_cast<std::size_t>(whole);
                return shortRow(status_, n + 1, static_cast<int>(rest / rowBytes) + 1);
            }
        }
        return ended(status_, Reason::Done);
    }

    // Any form, an image at a time through a buffer of one whole source
    // image, which the source-image observer sees first.
    Status general(std::vector<unsigned char>& buffer) {
        const std::size_t rowBytes = static_cast<std::size_t>(side_) * (floats_ ? 4 : 2);
        const std::size_t imageBytes = rowBytes * static_cast<std::size_t>(side_);
        buffer.resize(imageBytes);
        CountChanges ignored;
        CountChanges& changes = options_.changes ? *options_.changes : ignored;
        const int images = passes_ * frames_;
        for (int n = 0; n < images; ++n) {
            const int d = n / frames_;
            const int f = n % frames_;
            if (const std::size_t got = stream_.read(buffer.data(), imageBytes); got != imageBytes)
                return shortRow(status_, n + 1, static_cast<int>(got / rowBytes) + 1);
            if (options_.sourceImage) options_.sourceImage(SourceImage{d, f, side_, floats_, buffer.data()});
            convertImage(k_, options_.form, floats_, side_, buffer.data(), sink_.slot(d, f), changes);
            if (Status s = sink_.stored(d, f); !s.ok()) return s;
        }
        return ended(status_, Reason::Done);
    }

private:
    SourceStream& stream_;
    bool floats_;
    int side_;
    int passes_;
    int frames_;
    FrameSink& sink_;
    const LoadOptions& options_;
    const ConversionKernels& k_;
    Status& status_;
};

}  // namespace

Status loadStudy(const char* path, Study& study) {
    StoreSink store(study.store);
    return loadStudy(path, study, store);
}

namespace {

Status loadStream(SourceStream stream, StudyFacts& study, FrameSink& sink, const LoadOptions& options);

}  // namespace

Status loadStudy(const char* path, StudyFacts& study, FrameSink& sink, const LoadOptions& options) {
    errno = 0;
    return loadStream(openSource(path), study, sink, options);
}

Status loadStudy(int fd, StudyFacts& study, FrameSink& sink, const LoadOptions& options) {
    errno = 0;
    return loadStream(sourceOf(fd), study, sink, options);
}

namespace {

Status loadStream(SourceStream stream, StudyFacts& study, FrameSink& sink, const LoadOptions& options) {
    Status out;
    Where& w = out.where;
    if (!stream) {
        w.error = errno;
        // An open refused for want of memory is 8, as for the image buffer.
        return ended(out, w.error == ENOMEM ? Reason::NoMemory : Reason::CannotOpen);
    }
    const FormatProbe probe = examineFormat(stream);
    // A DICOM file is the DICOM reader's, whatever its preamble holds.
    if (probe.dicomMarker) return ended(out, Reason::DicomNeedsTrevikDicom);
    w.probe = probe.finding;
    if (probe.finding != ProbeFinding::Recognised) {
        w.group = probe.group;
        w.element = probe.element;
        return ended(out, Reason::NotRecognised);
    }

    study.flags.reverseFrames = false;
    study.flags.reducedMatrix = false;
    FilePreamble preamble{};
    // The status keeps the last element header the walk reads.
    const HeaderStatus header =
        readHeader(stream, preamble, study, [&](const SeenElement& element, const StudyFacts& s) {
            w.offset = element.offset;
            w.group = element.header.group;
            w.element = element.header.element;
            w.length = element.header.length;
            if (options.observer) options.observer(element, s);
        });
    w.sampleBits = preamble.sampleBits;
    if (header == HeaderStatus::Malformed) return ended(out, Reason::NegativeLength);
    if (header == HeaderStatus::Incomplete) return ended(out, Reason::HeaderEnds);
    w.dataOffset = stream.tell();
    w.rows = study.geometry.rows;
    w.columns = study.geometry.columns;
    w.hr = study.record.hr;
    w.division = study.record.division;
    w.imageCount = study.record.frames;

    const std::size_t bufferBytes = readBufferBytes(study.geometry, preamble.sampleBits, study.record.frames);
    std::unique_ptr<unsigned char[]> image(new (std::nothrow) unsigned char[bufferBytes]);
    if (!image) return ended(out, Reason::NoMemory);
    prefault(image.get(), bufferBytes);

    // Only the two geometries the frame store can hold are accepted.
    const AcquisitionGeometry& g = study.geometry;
    if (Reason refused = matrixRefusal(g.rows, g.columns); refused != Reason::Done) return ended(out, refused);

    // The header's count is of images; from here on the record holds the
    // frames of one division.
    StudyRecord& r = study.record;
    const std::int32_t imageCount = r.frames;
    if (r.hr != 0 && r.division != 0) {
        if (imageCount == INT32_MIN && r.division == -1) return ended(out, Reason::CountOverflow);
        r.frames = imageCount / r.division;
    }
    w.frames = r.frames;
    // Nothing may be stored beyond the frame store, and something must be.
    if (Reason refused = framesRefusal(r); refused != Reason::Done) return ended(out, refused);
    // What the header says of the acquisition: its views (one detector's
    // worth each, as the file stores them) and nothing else.
    study.acquisition.clear();
    study.acquisition.views = static_cast<std::int16_t>(r.frames);

    const bool floats = preamble.sampleBits == 32;
    const int side = g.columns;
    const FrameLayout layout = settleFacts(study, options.form);
    const int passes = layout.passes;
    w.passes = passes;
    if (Status s = sink.begin(study, layout); !s.ok()) return s;

    const ConversionKernels& kernels =
        options.kernels ? *options.kernels : *conversionKernels(bestKernelLevel());
    ImageReader reader(stream, floats, side, passes, r.frames, sink, options, kernels, out);
    const bool fused = options.form.matrix == FrameForm::Matrix::Reduced &&
                       options.form.samples == FrameForm::Samples::Tenfold && !options.sourceImage;
    std::vector<unsigned char> whole;
    if (Status s = fused ? reader.fast(image.get(), bufferBytes) : reader.general(whole); !s.ok()) return s;
    image.reset();
    stream = SourceStream();
    return ended(out, Reason::Done);
}

}  // namespace

}  // namespace trevik
