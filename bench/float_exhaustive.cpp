// Every one of the 2^32 float bit patterns through the loader's float
// conversions (scaleFloats, and reduceFloatRows with each pattern alone in
// its 2 x 2 block), at every kernel level this processor offers, against the
// sample-by-sample conversion the loader used before its kernels, kept here
// as it was. Exit 0 when every result agrees, 1 at the first difference.
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "reader/projection/loader.h"

namespace {

using trevik::detail::KernelLevel;

std::int16_t reference(float sample) {
    const double tenfold = static_cast<double>(sample) * 10.0;  // exact in double
    // 2^63 as a double; the signed 64-bit range is [-2^63, 2^63).
    constexpr double kLimit = 9223372036854775808.0;
    if (!std::isfinite(tenfold)) return 0;
    const double whole = std::trunc(tenfold);
    if (whole >= kLimit || whole < -kLimit) return 0;
    const auto t = static_cast<std::int64_t>(whole);
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(static_cast<std::uint64_t>(t)));
}

void putBigEndian(unsigned char* at, std::uint32_t bits) {
    for (int b = 0; b < 4; ++b) at[b] = static_cast<unsigned char>(bits >> (24 - 8 * b));
}

constexpr const char* kNames[] = {"plain", "AVX2", "AVX-512"};

}  // namespace

int main() {
    constexpr std::uint32_t kChunk = 1u << 16;  // patterns per round
    std::vector<KernelLevel> levels;
    for (KernelLevel level : {KernelLevel::Plain, KernelLevel::Avx2, KernelLevel::Avx512}) {
        if (trevik::detail::useKernelLevel(level)) levels.push_back(level);
        else std::printf("float-exhaustive: %s kernels: not on this processor\n", kNames[static_cast<int>(level)]);
    }
    const auto started = std::chrono::steady_clock::now();

    std::vector<unsigned char> samples(4 * kChunk);
    // Row pairs of 2 x 128 samples; the pattern for output c of a row pair
    // is at column 2c of its upper row, every other sample is zero.
    std::vector<unsigned char> rowPairs(4 * 4 * kChunk, 0);
    std::vector<std::int16_t> expected(kChunk), scaled(kChunk), reduced(kChunk);
    for (std::uint64_t base = 0; base < (std::uint64_t{1} << 32); base += kChunk) {
        for (std::uint32_t i = 0; i < kChunk; ++i) {
            const auto bits = static_cast<std::uint32_t>(base + i);
            expected[i] = reference(std::bit_cast<float>(bits));
            putBigEndian(&samples[4 * i], bits);
            putBigEndian(&rowPairs[4 * (256 * (i / 64) + 2 * (i % 64))], bits);
        }
        for (KernelLevel level : levels) {
            trevik::detail::useKernelLevel(level);
            trevik::scaleFloats(samples.data(), scaled.data(), static_cast<int>(kChunk));
            trevik::reduceFloatRows(rowPairs.data(), reduced.data(), static_cast<int>(kChunk / 64));
            for (std::uint32_t i = 0; i < kChunk; ++i) {
                if (scaled[i] == expected[i] && reduced[i] == expected[i]) continue;
                std::printf("float-exhaustive: %s kernels: pattern 0x%08llx gives %d and %d, expected %d\n",
                            kNames[static_cast<int>(level)], static_cast<unsigned long long>(base + i), scaled[i],
                            reduced[i], expected[i]);
                return 1;
            }
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("float-exhaustive: all 4294967296 patterns agree at %zu kernel level(s) (%.0f s)\n", levels.size(),
                seconds);
    return 0;
}
