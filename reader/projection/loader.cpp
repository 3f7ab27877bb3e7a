#include "reader/projection/loader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(MADV_HUGEPAGE) && !defined(MADV_POPULATE_WRITE)
#define MADV_POPULATE_WRITE 23  // Linux 5.14; C libraries older than the kernel lack the name
#endif

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

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

namespace trevik {

namespace {

// The image buffer: 32768 bytes, one 128 x 128 image of 16-bit samples.
constexpr int kImageSamples = 128 * 128;
constexpr std::size_t kImageBytes = sizeof(std::int16_t) * kImageSamples;

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

// scaleSample of `N` big-endian floats, as 32-bit values of which only the
// low 16 bits count. A block whose every sample is below 2^27 in magnitude
// (so finite, and no NaN) takes the short path: the tenfold product, exact
// in double, then lies within +-1.35e9, and truncating it to 32 bits keeps
// the low 16 bits that scaleSample takes from 64. Any other block goes
// through scaleSample sample by sample. The range test reads the block once
// and the conversion again: neither needs to keep it in registers.
template <int N>
TREVIK_BODY void tenfoldBlock(const unsigned char* bigEndian, std::uint32_t* out) {
    constexpr std::uint32_t kMagnitude = 0x7FFFFFFFu;
    constexpr std::uint32_t kTwoTo27 = 0x4D000000u;  // the bit pattern of 2^27
    std::uint32_t largest = 0;
    for (int j = 0; j < N; ++j) {
        const std::uint32_t magnitude = bitsAt(bigEndian + 4 * j) & kMagnitude;
        largest = magnitude > largest ? magnitude : largest;
    }
    if (largest < kTwoTo27) {
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
    template <int N>
    __attribute__((target(TREVIK_AVX512))) static void tenfold(const unsigned char* bigEndian, std::uint32_t* out) {
        constexpr std::uint32_t kMagnitude = 0x7FFFFFFFu;
        constexpr std::uint32_t kTwoTo20 = 0x49800000u;  // the bit pattern of 2^20
        std::uint32_t largest = 0;
        for (int j = 0; j < N; ++j) {
            const std::uint32_t magnitude = bitsAt(bigEndian + 4 * j) & kMagnitude;
            largest = magnitude > largest ? magnitude : largest;
        }
        if (largest >= kTwoTo20) return tenfoldBlock<N>(bigEndian, out);
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
#endif

TREVIK_BODY std::int16_t low16(std::uint32_t v) { return static_cast<std::int16_t>(static_cast<std::uint16_t>(v)); }

TREVIK_BODY void scaleIntegersBody(const unsigned char* __restrict bigEndian, std::int16_t* __restrict destination,
                                   int count) {
    int i = 0;
    for (; i + kBlock <= count; i += kBlock) {
        std::uint16_t in[kBlock];
        std::int16_t out[kBlock];
        std::memcpy(in, bigEndian + 2 * i, sizeof in);
        for (int j = 0; j < kBlock; ++j) out[j] = low16(fromBigEndian(in[j]) * 10u);
        std::memcpy(destination + i, out, sizeof out);
    }
    for (; i < count; ++i) {
        std::uint16_t in;
        std::memcpy(&in, bigEndian + 2 * i, sizeof in);
        destination[i] = low16(fromBigEndian(in) * 10u);
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

TREVIK_BODY void reduceRowsBody(const std::int16_t* __restrict source, std::int16_t* __restrict destination,
                                int rows) {
    for (int r = 0; r < rows; ++r) {
        const std::int16_t* upper = source + 256 * r;
        const std::int16_t* lower = upper + 128;
        std::int16_t* out = destination + 64 * r;
        for (int c = 0; c < 64; ++c) {
            const int sum = upper[2 * c] + upper[2 * c + 1] + lower[2 * c] + lower[2 * c + 1];
            out[c] = low16(static_cast<std::uint32_t>(sum));
        }
    }
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

struct Kernels {
    void (*scaleIntegers)(const unsigned char*, std::int16_t*, int);
    void (*scaleFloats)(const unsigned char*, std::int16_t*, int);
    void (*reduceRows)(const std::int16_t*, std::int16_t*, int);
    void (*reduceIntegerRows)(const unsigned char*, std::int16_t*, int);
    void (*reduceFloatRows)(const unsigned char*, std::int16_t*, int);
};

#define TREVIK_KERNELS(level, target, products)                                            \
    target void scaleIntegers##level(const unsigned char* s, std::int16_t* d, int n) {     \
        scaleIntegersBody(s, d, n);                                                        \
    }                                                                                      \
    target void scaleFloats##level(const unsigned char* s, std::int16_t* d, int n) {       \
        scaleFloatsBody<products>(s, d, n);                                                \
    }                                                                                      \
    target void reduceRows##level(const std::int16_t* s, std::int16_t* d, int n) {         \
        reduceRowsBody(s, d, n);                                                           \
    }                                                                                      \
    target void reduceIntegerRows##level(const unsigned char* s, std::int16_t* d, int n) { \
        reduceIntegerRowsBody(s, d, n);                                                    \
    }                                                                                      \
    target void reduceFloatRows##level(const unsigned char* s, std::int16_t* d, int n) {   \
        reduceFloatRowsBody<products>(s, d, n);                                            \
    }                                                                                      \
    constexpr Kernels kKernels##level{scaleIntegers##level, scaleFloats##level, reduceRows##level, \
                                      reduceIntegerRows##level, reduceFloatRows##level};

TREVIK_KERNELS(Plain, , DoubleProducts)
#ifdef TREVIK_X86_LEVELS
TREVIK_KERNELS(Avx2, __attribute__((target("avx2"))), DoubleProducts)
TREVIK_KERNELS(Avx512, __attribute__((target(TREVIK_AVX512))), ProductsTowardZero)
#undef TREVIK_AVX512
#endif
#undef TREVIK_KERNELS
#undef TREVIK_BODY

// The best level this processor offers (and its system enables). The C
// library has already asked the processor what it has: reading its answer
// costs nothing, where asking again costs some 80 microseconds at every
// start on a virtual machine.
detail::KernelLevel bestLevel() {
#if defined(TREVIK_GLIBC_FEATURES)
    if (CPU_FEATURE_ACTIVE(AVX512F) && CPU_FEATURE_ACTIVE(AVX512BW) && CPU_FEATURE_ACTIVE(AVX512DQ) &&
        CPU_FEATURE_ACTIVE(AVX512VL))
        return detail::KernelLevel::Avx512;
    if (CPU_FEATURE_ACTIVE(AVX2)) return detail::KernelLevel::Avx2;
#elif defined(TREVIK_X86_LEVELS)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl"))
        return detail::KernelLevel::Avx512;
    if (__builtin_cpu_supports("avx2")) return detail::KernelLevel::Avx2;
#endif
    return detail::KernelLevel::Plain;
}

const Kernels& kernelsOf(detail::KernelLevel level) {
    switch (level) {
#ifdef TREVIK_X86_LEVELS
    case detail::KernelLevel::Avx512: return kKernelsAvx512;
    case detail::KernelLevel::Avx2: return kKernelsAvx2;
#endif
    default: return kKernelsPlain;
    }
}

const Kernels* current = nullptr;

const Kernels& kernels() {
    if (!current) current = &kernelsOf(bestLevel());
    return *current;
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

// Makes the store's pages for the frames this load fills present before the
// images come, which saves a page fault for every 4 KiB: asks for huge pages
// over each whole 2 MiB page of a run of frames, then has the kernel fill in
// the run's pages in one call. Hints only: nothing depends on whether the
// system follows them (Linux before 5.14 knows no MADV_POPULATE_WRITE).
void prepareFrames(Study& study, int passes, int frames) {
#if defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kPage = 4096;
    constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
    auto advise = [](std::uintptr_t first, std::uintptr_t last, std::uintptr_t unit, int advice) {
        const std::uintptr_t begin = (first + unit - 1) & ~(unit - 1);
        const std::uintptr_t end = last & ~(unit - 1);
        if (begin < end) ::madvise(reinterpret_cast<void*>(begin), end - begin, advice);
    };
    // One run of slots for a single pass or full divisions, else one a pass.
    const bool oneRun = passes == 1 || frames == FrameStore::kFramesPerDivision;
    for (int d = 0; d < (oneRun ? 1 : passes); ++d) {
        const auto first = reinterpret_cast<std::uintptr_t>(study.store.frame(d, 0));
        const auto last = reinterpret_cast<std::uintptr_t>(
            study.store.frame(oneRun ? passes - 1 : d, frames - 1) + FrameStore::kFrameSamples);
        advise(first, last, kHugePage, MADV_HUGEPAGE);
        advise(first, last, kPage, MADV_POPULATE_WRITE);
    }
#else
    (void)study, (void)passes, (void)frames;
#endif
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

// Reads the pixel data image after image and stores each image into its
// frame only once the whole image is in: a file that ends inside image k
// leaves the images before k stored and frame k as it was. The reads go to
// the stream's descriptor, from where the header reading left the stream,
// in calls as large as the image buffer allows; kEndsEarly at a short read.
LoadResult readImages(std::FILE* stream, bool floats, std::int16_t* image, int passes, Study& study,
                      LoadReport& report) {
    const int fd = ::fileno(stream);
    const off_t start = ::ftello(stream);
    if (fd < 0 || start < 0 || ::lseek(fd, start, SEEK_SET) != start) return shortRow(report, 1, 1);

    const Kernels& k = kernels();
    const int side = study.geometry.columns;  // 64 or 128, as many rows
    const int frames = study.record.frames;
    const int images = frames > 0 ? passes * frames : 0;
    if (images > 0) prepareFrames(study, passes, frames);
    auto frameOf = [&](int n) { return study.store.frame(n / frames, n % frames); };
    auto* bytes = reinterpret_cast<unsigned char*>(image);
    const std::size_t rowBytes = static_cast<std::size_t>(side) * (floats ? 4 : 2);

    if (side == 128 && floats) {
        // 64 KiB an image: parts of 48, 48 and 32 rows pass through the
        // upper 24 KiB of the buffer; the reduced rows of the first two parts
        // wait in the lower 6 KiB, the last part's go straight to the frame.
        constexpr int kPartRows = 48;
        constexpr int kLastTop = 96;  // the last part: rows 96 to 127
        unsigned char* part = bytes + kImageBytes / 4;
        for (int n = 0; n < images; ++n) {
            for (int top = 0; top < 128; top += kPartRows) {
                const int rows = top == kLastTop ? 128 - kLastTop : kPartRows;
                const std::size_t want = rowBytes * static_cast<std::size_t>(rows);
                if (const std::size_t got = readUpTo(fd, part, want); got != want)
                    return shortRow(report, n + 1, top + static_cast<int>(got / rowBytes) + 1);
                std::int16_t* reduced = image;
                if (top == kLastTop) {
                    reduced = frameOf(n);
                    std::memcpy(reduced, image, sizeof(std::int16_t) * 64 * (kLastTop / 2));
                }
                k.reduceFloatRows(part, reduced + 64 * (top / 2), rows / 2);
            }
        }
        return kLoaded;
    }

    // Whole images per read: four 64 x 64 integer images, two 64 x 64 float
    // images or one 128 x 128 integer image.
    const std::size_t imageBytes = rowBytes * static_cast<std::size_t>(side);
    const int perRead = static_cast<int>(kImageBytes / imageBytes);
    for (int n = 0; n < images;) {
        const int want = images - n < perRead ? images - n : perRead;
        const std::size_t got = readUpTo(fd, bytes, imageBytes * static_cast<std::size_t>(want));
        const int whole = static_cast<int>(got / imageBytes);
        for (int j = 0; j < whole; ++j, ++n) {
            const unsigned char* source = bytes + imageBytes * static_cast<std::size_t>(j);
            if (side == 128)
                k.reduceIntegerRows(source, frameOf(n), 64);
            else if (floats)
                k.scaleFloats(source, frameOf(n), FrameStore::kFrameSamples);
            else
                k.scaleIntegers(source, frameOf(n), FrameStore::kFrameSamples);
        }
        if (whole < want) {
            const std::size_t rest = got - imageBytes * static_cast<std::size_t>(whole);
            return shortRow(report, n + 1, static_cast<int>(rest / rowBytes) + 1);
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

void scaleIntegers(const unsigned char* bigEndian, std::int16_t* destination, int count) {
    kernels().scaleIntegers(bigEndian, destination, count);
}

void scaleFloats(const unsigned char* bigEndian, std::int16_t* destination, int count) {
    kernels().scaleFloats(bigEndian, destination, count);
}

void reduceTo64(const std::int16_t* source, std::int16_t* destination) {
    kernels().reduceRows(source, destination, 64);
}

void reduceIntegerRows(const unsigned char* bigEndian, std::int16_t* destination, int rows) {
    kernels().reduceIntegerRows(bigEndian, destination, rows);
}

void reduceFloatRows(const unsigned char* bigEndian, std::int16_t* destination, int rows) {
    kernels().reduceFloatRows(bigEndian, destination, rows);
}

bool detail::useKernelLevel(KernelLevel level) {
    if (level > bestLevel()) return false;
    current = &kernelsOf(level);
    return true;
}

LoadResult loadStudy(const char* path, Study& study, LoadReport* report) {
    LoadReport unused{};
    LoadReport& out = report ? *report : unused;
    out = LoadReport{};
    errno = 0;
    StreamHandle stream = openSource(path);
    if (!stream) {
        out.error = errno;
        // The stream's own buffer is memory too: no memory is 8, as for the
        // image buffer.
        if (out.error == ENOMEM) return finish(out, kNoMemory, LoadReason::NoMemory);
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
