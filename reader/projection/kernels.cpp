#include "reader/projection/kernels.h"

#include <bit>
#include <cstdint>
#include <cstring>

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

#include "reader/projection/big_endian.h"
#include "study/sample.h"

namespace trevik {

namespace {

// The conversion kernels. Each is written once, as a body the compiler
// inlines, and built for three levels of x86-64 processor (AVX-512, AVX2,
// any) or once elsewhere; the first use picks the best level the processor
// offers. The bodies work on blocks of samples in loops of fixed length over
// local arrays, which the compiler turns into vector code at each level.
#define TREVIK_BODY inline __attribute__((always_inline))

constexpr int kBlock = 64;

// The bits of the big-endian float at `bigEndian`, in host order.
TREVIK_BODY std::uint32_t bitsAt(const unsigned char* bigEndian) { return bigEndian32(bigEndian); }

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
    static constexpr bool kReducesRows = false;  // reduceFloatRowsBody's own loop
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
    static constexpr bool kReducesRows = true;  // reduceRow below
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

    // One row pair (2 x 128 big-endian floats) into its 64 reduced samples in
    // one pass over the bytes: the range test rides along with the products,
    // which stay in registers, and the 2 x 2 sums are made there too (the
    // sum of the two rows' tenfolds lane by lane, then of neighbouring lanes,
    // truncated to 16 bits), the same 32-bit additions as the loop of
    // reduceFloatRowsBody. A row pair with a sample of 2^20 or more in
    // magnitude goes that loop's way, through tenfoldBlock.
    __attribute__((target(TREVIK_AVX512))) static void reduceRow(const unsigned char* bigEndian,
                                                                 std::int16_t* destination);
};
// With AVX2 the same shorter path, the rounding toward zero taken from the
// control register: a kernel sets it for the whole call (Scope) and restores
// it after, since setting it costs more than a block's products. Every other
// float operation of the kernels is exact, so the rounding mode cannot change
// its result. The empty volatile statements keep the multiplications between
// the two settings: their operands are made after the first, their results
// used before the second.
struct ProductsTowardZeroAvx2 {
    static constexpr bool kReducesRows = false;
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

// One row pair of 2 x 128 big-endian floats into 64 reduced samples.
template <class Products>
TREVIK_BODY void reduceFloatRow(const unsigned char* __restrict bigEndian, std::int16_t* __restrict destination) {
    std::uint32_t tenfold[256];
    Products::template tenfold<256>(bigEndian, tenfold);
    std::uint32_t column[128];
    for (int x = 0; x < 128; ++x) column[x] = tenfold[x] + tenfold[x + 128];
    std::int16_t out[64];
    for (int c = 0; c < 64; ++c) out[c] = low16(column[2 * c] + column[2 * c + 1]);
    std::memcpy(destination, out, sizeof out);
}

template <class Products>
TREVIK_BODY void reduceFloatRowsBody(const unsigned char* __restrict bigEndian,
                                     std::int16_t* __restrict destination, int rows) {
    for (int r = 0; r < rows; ++r) {
        if constexpr (Products::kReducesRows) Products::reduceRow(bigEndian + 1024 * r, destination + 64 * r);
        else reduceFloatRow<Products>(bigEndian + 1024 * r, destination + 64 * r);
    }
}

#ifdef TREVIK_X86_LEVELS
__attribute__((target(TREVIK_AVX512))) void ProductsTowardZero::reduceRow(const unsigned char* bigEndian,
                                                                         std::int16_t* destination) {
    const __m512i swap = _mm512_set4_epi32(0x0C0D0E0F, 0x08090A0B, 0x04050607, 0x00010203);
    const __m512 ten = _mm512_set1_ps(10.0f);
    const __m512i magnitude = _mm512_set1_epi32(0x7FFFFFFF);
    constexpr __mmask16 kAll = 0xFFFF;
    __m512i largest = _mm512_setzero_si512();
    __m512i tenfold[16];
    for (int j = 0; j < 16; ++j) {
        const __m512i bits = _mm512_shuffle_epi8(_mm512_loadu_si512(bigEndian + 64 * j), swap);
        largest = _mm512_maskz_max_epu32(kAll, largest, _mm512_and_si512(bits, magnitude));
        // Neither instruction raises a floating-point flag, whatever the
        // sample (a NaN, an infinity): the row may yet be taken the other way.
        const __m512 product = _mm512_maskz_mul_round_ps(kAll, _mm512_castsi512_ps(bits), ten,
                                                         _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
        tenfold[j] = _mm512_maskz_cvtt_roundps_epi32(kAll, product, _MM_FROUND_NO_EXC);
    }
    constexpr std::uint32_t kTwoTo20 = 0x49800000u;  // the bit pattern of 2^20
    if (_mm512_cmpge_epu32_mask(largest, _mm512_set1_epi32(static_cast<int>(kTwoTo20))) != 0)
        return reduceFloatRow<DoubleProducts>(bigEndian, destination);
    // Lanes 2i and 2i + 1 of the 32 columns in a and b.
    const __m512i even = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
    const __m512i odd = _mm512_setr_epi32(1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31);
    for (int k = 0; k < 4; ++k) {
        const __m512i a = _mm512_add_epi32(tenfold[2 * k], tenfold[2 * k + 8]);
        const __m512i b = _mm512_add_epi32(tenfold[2 * k + 1], tenfold[2 * k + 9]);
        const __m512i sums =
            _mm512_add_epi32(_mm512_permutex2var_epi32(a, even, b), _mm512_permutex2var_epi32(a, odd, b));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(destination + 16 * k), _mm512_maskz_cvtepi32_epi16(kAll, sums));
    }
}
#endif

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

}  // namespace trevik
