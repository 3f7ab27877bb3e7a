#include "reader/projection/loader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

// The kernels' x86-64 levels. Which ones the processor offers comes from
// glibc's record of its features where the compiler takes that C header
// (GCC), else from asking the processor at start-up.
#if defined(__x86_64__) && defined(__GNUC__)
#define TREVIK_X86_LEVELS 1
#include <immintrin.h>
#if !defined(__clang__) && __has_include(<sys/platform/x86.h>)
#include <sys/platform/x86.h>
#define TREVIK_GLIBC_FEATURES 1
#endif
#endif

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

// The conversion kernels. Each is written once, as a body the compiler
// inlines, and built for three levels of x86-64 processor (AVX-512, AVX2,
// any) or once elsewhere; the first use picks the best level the processor
// offers. The bodies work on blocks of samples in loops of fixed length over
// local arrays, which the compiler turns into vector code at each level.
#define TREVIK_BODY inline __attribute__((always_inline))

constexpr int kBlock = 64;

TREVIK_BODY std::uint16_t fromBigEndian(std::uint16_t v) {
    if constexpr (std::endian::native == std::endian::little) return static_cast<std::uint16_t>(v << 8 | v >> 8);
    return v;
}

TREVIK_BODY std::uint32_t fromBigEndian(std::uint32_t v) {
    if constexpr (std::endian::native == std::endian::little) return __builtin_bswap32(v);
    return v;
}

// The bits of the big-endian float at `bigEndian`, in host order.
TREVIK_BODY std::uint32_t bitsAt(const unsigned char* bigEndian) {
    std::uint32_t bits;
    std::memcpy(&bits, bigEndian, sizeof bits);
    return fromBigEndian(bits);
}

// The bits of the largest magnitude among `N` big-endian floats: compared as
// integers, they order the magnitudes (a NaN or an infinity above every
// finite value).
template <int N>
TREVIK_BODY std::uint32_t largestMagnitude(const unsigned char* bigEndian) {
    constexpr std::uint32_t kMagnitude = 0x7FFFFFFFu;
    std::uint32_t largest = 0;
    for (int j = 0; j < N; ++j) {
        const std::uint32_t magnitude = bitsAt(bigEndian + 4 * j) & kMagnitude;
        largest = magnitude > largest ? magnitude : largest;
    }
    return largest;
}

// scaleSample of `N` big-endian floats, as 32-bit values of which only the
// low 16 bits count. A block whose every sample is below 2^27 in magnitude
// (so finite, and no NaN) takes the short path: the tenfold product, exact
// in double, then lies within +-1.35e9, and truncating it to 32 bits keeps
// the low 16 bits that scaleSample takes from 64. Any other block goes
// through scaleSample sample by sample. The range test reads the block once
// and the conversion again: neither needs to keep it in registers.
template <int N>
TREVIK_BODY void tenfoldBlock(const unsigned char* bigEndian, std::uint32_t* out) {
    constexpr std::uint32_t kTwoTo27 = 0x4D000000u;  // the bit pattern of 2^27
    if (largestMagnitude<N>(bigEndian) < kTwoTo27) {
        for (int j = 0; j < N; ++j) {
            const auto sample = std::bit_cast<float>(bitsAt(bigEndian + 4 * j));
            out[j] = static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<double>(sample) * 10.0));
        }
    } else {
        for (int j = 0; j < N; ++j)
            out[j] = static_cast<std::uint16_t>(scaleSample(std::bit_cast<float>(bitsAt(bigEndian + 4 * j))));
    }
}

// How the kernels take the tenfold of a block of floats: the way above, at
// every level.
struct DoubleProducts {
    struct Scope {};  // nothing to set around a kernel call
    template <int N>
    TREVIK_BODY static void tenfold(const unsigned char* bigEndian, std::uint32_t* out) {
        tenfoldBlock<N>(bigEndian, out);
    }
};

#ifdef TREVIK_X86_LEVELS
#define TREVIK_AVX512 "avx512f,avx512bw,avx512dq,avx512vl"

// With AVX-512, a block whose every sample is below 2^20 in magnitude takes
// a shorter path still: the tenfold product in single precision, rounded
// toward zero, truncated. The product lies below 2^24, where every integer
// is a float; rounding toward zero therefore never passes the integer that
// truncating the exact product gives, nor reaches the next one. Other blocks
// go the way above.
struct ProductsTowardZero {
    struct Scope {};  // the rounding is in the instruction
    template <int N>
    __attribute__((target(TREVIK_AVX512))) static void tenfold(const unsigned char* bigEndian, std::uint32_t* out) {
        constexpr std::uint32_t kTwoTo20 = 0x49800000u;  // the bit pattern of 2^20
        if (largestMagnitude<N>(bigEndian) >= kTwoTo20) return tenfoldBlock<N>(bigEndian, out);
        // Reverses the bytes of every 32-bit sample.
        const __m512i swap = _mm512_set4_epi32(0x0C0D0E0F, 0x08090A0B, 0x04050607, 0x00010203);
        const __m512 ten = _mm512_set1_ps(10.0f);
        // The zero-masking forms, keeping every lane: GCC 12 warns about the
        // undefined source operand of the plain forms.
        constexpr __mmask16 kAll = 0xFFFF;
        for (int j = 0; j < N; j += 16) {
            const __m512i bits = _mm512_shuffle_epi8(_mm512_loadu_si512(bigEndian + 4 * j), swap);
            const __m512 tenfold = _mm512_maskz_mul_round_ps(kAll, _mm512_castsi512_ps(bits), ten,
                                                             _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
            _mm512_storeu_si512(out + j, _mm512_maskz_cvttps_epi32(kAll, tenfold));
        }
    }
};
// With AVX2 the same shorter path, the rounding toward zero taken from the
// control register: a kernel sets it for the whole call (Scope) and restores
// it after, since setting it costs more than a block's products. Every other
// float operation of the kernels is exact, so the rounding mode cannot change
// its result. The empty volatile statements keep the multiplications between
// the two settings: their operands are made after the first, their results
// used before the second.
struct ProductsTowardZeroAvx2 {
    class Scope {
    public:
        __attribute__((target("avx2"))) Scope() : saved_(_mm_getcsr()) {
            _mm_setcsr((saved_ & ~static_cast<unsigned>(_MM_ROUND_MASK)) | _MM_ROUND_TOWARD_ZERO);
        }
        __attribute__((target("avx2"))) ~Scope() { _mm_setcsr(saved_); }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        unsigned saved_;
    };

    template <int N>
    __attribute__((target("avx2"))) static void tenfold(const unsigned char* bigEndian, std::uint32_t* out) {
        constexpr std::uint32_t kTwoTo20 = 0x49800000u;  // the bit pattern of 2^20
        if (largestMagnitude<N>(bigEndian) >= kTwoTo20) return tenfoldBlock<N>(bigEndian, out);
        const __m256i swap = _mm256_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3, 12, 13, 14, 15, 8,
                                             9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
        const __m256 ten = _mm256_set1_ps(10.0f);
        for (int j = 0; j < N; j += 8) {
            __m256 sample = _mm256_castsi256_ps(_mm256_shuffle_epi8(
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bigEndian + 4 * j)), swap));
            asm volatile("" : "+x"(sample));
            __m256i tenfold = _mm256_cvttps_epi32(_mm256_mul_ps(sample, ten));
            asm volatile("" : "+x"(tenfold));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j), tenfold);
        }
    }
};
#endif

TREVIK_BODY std::int16_t low16(std::uint32_t v) { return static_cast<std::int16_t>(static_cast<std::uint16_t>(v)); }

TREVIK_BODY void scaleIntegersBody(const unsigned char* __restrict bigEndian, std::int16_t* __restrict destination,
                                   int count) {
    // 16 samples at a time as one vector, whose low 16 bits of the product
    // are those of scaleSample; through arrays on the stack the compiler
    // made stores that the next loads had to wait for.
    using Lanes = std::uint16_t __attribute__((vector_size(32)));
    constexpr int kLanes = sizeof(Lanes) / sizeof(std::uint16_t);
    int i = 0;
    for (; i + kLanes <= count; i += kLanes) {
        Lanes v;
        std::memcpy(&v, bigEndian + 2 * i, sizeof v);
        if constexpr (std::endian::native == std::endian::little) v = (v << 8) | (v >> 8);
        v *= static_cast<std::uint16_t>(10);
        std::memcpy(destination + i, &v, sizeof v);
    }
    for (; i < count; ++i) {
        std::uint16_t in;
        std::memcpy(&in, bigEndian + 2 * i, sizeof in);
        destination[i] = scaleSample(static_cast<std::int16_t>(fromBigEndian(in)));
    }
}

template <class Products>
TREVIK_BODY void scaleFloatsBody(const unsigned char* __restrict bigEndian, std::int16_t* __restrict destination,
                                 int count) {
    int i = 0;
    for (; i + kBlock <= count; i += kBlock) {
        std::uint32_t tenfold[kBlock];
        std::int16_t out[kBlock];
        Products::template tenfold<kBlock>(bigEndian + 4 * i, tenfold);
        for (int j = 0; j < kBlock; ++j) out[j] = low16(tenfold[j]);
        std::memcpy(destination + i, out, sizeof out);
    }
    for (; i < count; ++i) destination[i] = scaleSample(std::bit_cast<float>(bitsAt(bigEndian + 4 * i)));
}

// Ten times a sum is the sum of the tenfold samples, also modulo 65536: the
// 2 x 2 blocks are summed first and multiplied once.
TREVIK_BODY void reduceIntegerRowsBody(const unsigned char* __restrict bigEndian,
                                       std::int16_t* __restrict destination, int rows) {
    for (int r = 0; r < rows; ++r) {
        std::uint16_t in[256];
        std::memcpy(in, bigEndian + 512 * r, sizeof in);
        std::uint32_t column[128];
        for (int x = 0; x < 128; ++x) column[x] = std::uint32_t{fromBigEndian(in[x])} + fromBigEndian(in[x + 128]);
        std::int16_t out[64];
        for (int c = 0; c < 64; ++c) out[c] = low16((column[2 * c] + column[2 * c + 1]) * 10u);
        std::memcpy(destination + 64 * r, out, sizeof out);
    }
}

template <class Products>
TREVIK_BODY void reduceFloatRowsBody(const unsigned char* __restrict bigEndian,
                                     std::int16_t* __restrict destination, int rows) {
    for (int r = 0; r < rows; ++r) {
        std::uint32_t tenfold[256];
        Products::template tenfold<256>(bigEndian + 1024 * r, tenfold);
        std::uint32_t column[128];
        for (int x = 0; x < 128; ++x) column[x] = tenfold[x] + tenfold[x + 128];
        std::int16_t out[64];
        for (int c = 0; c < 64; ++c) out[c] = low16(column[2 * c] + column[2 * c + 1]);
        std::memcpy(destination + 64 * r, out, sizeof out);
    }
}

#define TREVIK_KERNELS(level, target, products)                                            \
    target void scaleIntegers##level(const unsigned char* s, std::int16_t* d, int n) {     \
        scaleIntegersBody(s, d, n);                                                        \
    }                                                                                      \
    target void scaleFloats##level(const unsigned char* s, std::int16_t* d, int n) {       \
        [[maybe_unused]] const products::Scope scope;                                      \
        scaleFloatsBody<products>(s, d, n);                                                \
    }                                                                                      \
    target void reduceIntegerRows##level(const unsigned char* s, std::int16_t* d, int n) { \
        reduceIntegerRowsBody(s, d, n);                                                    \
    }                                                                                      \
    target void reduceFloatRows##level(const unsigned char* s, std::int16_t* d, int n) {   \
        [[maybe_unused]] const products::Scope scope;                                      \
        reduceFloatRowsBody<products>(s, d, n);                                            \
    }                                                                                      \
    constexpr ConversionKernels kKernels##level{scaleIntegers##level, scaleFloats##level,  \
                                                reduceIntegerRows##level, reduceFloatRows##level};

TREVIK_KERNELS(Plain, , DoubleProducts)
#ifdef TREVIK_X86_LEVELS
TREVIK_KERNELS(Avx2, __attribute__((target("avx2"))), ProductsTowardZeroAvx2)
TREVIK_KERNELS(Avx512, __attribute__((target(TREVIK_AVX512))), ProductsTowardZero)
#undef TREVIK_AVX512
#endif
#undef TREVIK_KERNELS
#undef TREVIK_BODY

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

// Reads up to `size` bytes; returns how many arrived before the end of the
// file or a read error.
std::size_t readUpTo(int fd, unsigned char* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, data + done, size - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n == 0 || errno != EINTR)
            break;
    }
    return done;
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
            counts[i] = countOf(std::bit_cast<float>(bitsAt(bytes + 4 * i)), changes);
        } else {
            std::uint16_t v;
            std::memcpy(&v, bytes + 2 * i, sizeof v);
            counts[i] = static_cast<std::int16_t>(fromBigEndian(v));
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
// the images before k delivered and frame k unannounced. The reads go to
// the stream's descriptor, from where the header reading left the stream.
class ImageReader {
public:
    ImageReader(int fd, bool floats, int side, int passes, int frames, FrameSink& sink, const LoadOptions& options,
                const ConversionKernels& kernels, Status& status)
        : fd_(fd), floats_(floats), side_(side), passes_(passes), frames_(frames), sink_(sink), options_(options),
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
            const std::size_t got = readUpTo(fd_, buffer, imageBytes * static_cast<std::size_t>(want));
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
            if (const std::size_t got = readUpTo(fd_, buffer.data(), imageBytes); got != imageBytes)
                return shortRow(status_, n + 1, static_cast<int>(got / rowBytes) + 1);
            if (options_.sourceImage) options_.sourceImage(SourceImage{d, f, side_, floats_, buffer.data()});
            convertImage(k_, options_.form, floats_, side_, buffer.data(), sink_.slot(d, f), changes);
            if (Status s = sink_.stored(d, f); !s.ok()) return s;
        }
        return ended(status_, Reason::Done);
    }

private:
    int fd_;
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

KernelLevel bestKernelLevel() {
    // The C library has already asked the processor what it has: reading its
    // answer costs nothing, where asking again costs some 80 microseconds at
    // every start on a virtual machine.
#if defined(TREVIK_GLIBC_FEATURES)
    if (CPU_FEATURE_ACTIVE(AVX512F) && CPU_FEATURE_ACTIVE(AVX512BW) && CPU_FEATURE_ACTIVE(AVX512DQ) &&
        CPU_FEATURE_ACTIVE(AVX512VL))
        return KernelLevel::Avx512;
    if (CPU_FEATURE_ACTIVE(AVX2)) return KernelLevel::Avx2;
#elif defined(TREVIK_X86_LEVELS)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl"))
        return KernelLevel::Avx512;
    if (__builtin_cpu_supports("avx2")) return KernelLevel::Avx2;
#endif
    return KernelLevel::Plain;
}

const ConversionKernels* conversionKernels(KernelLevel level) {
    if (level > bestKernelLevel()) return nullptr;
    switch (level) {
#ifdef TREVIK_X86_LEVELS
    case KernelLevel::Avx512: return &kKernelsAvx512;
    case KernelLevel::Avx2: return &kKernelsAvx2;
#endif
    default: return &kKernelsPlain;
    }
}

LoadResult loadStudy(const char* path, Study& study) {
    StoreSink store(study.store);
    return loadStudy(path, study, store);
}

LoadResult loadStudy(const char* path, StudyFacts& study, FrameSink& sink, const LoadOptions& options) {
    Status out;
    Where& w = out.where;
    errno = 0;
    StreamHandle stream = openSource(path);
    if (!stream) {
        w.error = errno;
        // The stream's own buffer is memory too: no memory is 8, as for the
        // image buffer.
        return ended(out, w.error == ENOMEM ? Reason::NoMemory : Reason::CannotOpen);
    }
    const FormatProbe probe = examineFormat(stream.get());
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
        readHeader(stream.get(), preamble, study, [&](const SeenElement& element, const StudyFacts& s) {
            w.offset = element.offset;
            w.group = element.header.group;
            w.element = element.header.element;
            w.length = element.header.length;
            if (options.observer) options.observer(element, s);
        });
    w.sampleBits = preamble.sampleBits;
    if (header == HeaderStatus::Malformed) return ended(out, Reason::NegativeLength);
    if (header == HeaderStatus::Incomplete) return ended(out, Reason::HeaderEnds);
    w.dataOffset = ::ftello(stream.get());
    w.rows = study.geometry.rows;
    w.columns = study.geometry.columns;
    w.hr = study.record.hr;
    w.division = study.record.division;
    w.imageCount = study.record.frames;

    const std::size_t bufferBytes = readBufferBytes(study.geometry, preamble.sampleBits, study.record.frames);
    std::unique_ptr<unsigned char[]> image(new (std::nothrow) unsigned char[bufferBytes]);
    if (!image) return ended(out, Reason::NoMemory);

    // Only the two geometries the frame store can hold are accepted.
    const AcquisitionGeometry& g = study.geometry;
    if (!convertibleMatrix(g.rows, g.columns))
        return ended(out, Reason::Geometry);

    // The header's count is of images; from here on the record holds the
    // frames of one division.
    StudyRecord& r = study.record;
    const std::int32_t imageCount = r.frames;
    if (r.hr != 0 && r.division != 0) {
        if (imageCount == INT32_MIN && r.division == -1) return ended(out, Reason::CountOverflow);
        r.frames = imageCount / r.division;
    }
    w.frames = r.frames;
    // Nothing may be stored beyond the frame store.
    if (!framesFitStore(r)) return ended(out, Reason::StoreFull);
    // A study without images, or with a negative division count, is none
    // the converter can hold.
    if (r.division < 0 || r.frames <= 0) return ended(out, Reason::NoFrames);

    const bool floats = preamble.sampleBits == 32;
    const int side = g.columns;
    const FrameLayout layout = settleFacts(study, options.form);
    const int passes = layout.passes;
    w.passes = passes;
    if (Status s = sink.begin(study, layout); !s.ok()) return s;

    const int fd = ::fileno(stream.get());
    const off_t start = ::ftello(stream.get());
    if (fd < 0 || start < 0 || ::lseek(fd, start, SEEK_SET) != start) return shortRow(out, 1, 1);
    const ConversionKernels& kernels =
        options.kernels ? *options.kernels : *conversionKernels(bestKernelLevel());
    ImageReader reader(fd, floats, side, passes, r.frames, sink, options, kernels, out);
    const bool fused = options.form.matrix == FrameForm::Matrix::Reduced &&
                       options.form.samples == FrameForm::Samples::Tenfold && !options.sourceImage;
    std::vector<unsigned char> whole;
    if (Status s = fused ? reader.fast(image.get(), bufferBytes) : reader.general(whole); !s.ok()) return s;
    image.reset();
    stream.reset();
    return ended(out, Reason::Done);
}

}  // namespace trevik
