// Every one of the 2^32 float bit patterns through the loader's float
// conversions (scaleFloats, and reduceFloatRows with each pattern alone in
// its 2 x 2 block), at every kernel level this processor offers, against the
// sample rule itself (scaleSample, one sample at a time). Exit 0 when every
// result agrees, 1 at the first difference.
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "reader/projection/loader.h"
#include "study/sample.h"

namespace {

using trevik::KernelLevel;

void putBigEndian(unsigned char* at, std::uint32_t bits) {
    for (int b = 0; b < 4; ++b) at[b] = static_cast<unsigned char>(bits >> (24 - 8 * b));
}

constexpr const char* kNames[] = {"plain", "AVX2", "AVX-512"};

}  // namespace

int main() {
    constexpr std::uint32_t kChunk = 1u << 16;  // patterns per round
    std::vector<KernelLevel> levels;
    for (KernelLevel level : {KernelLevel::Plain, KernelLevel::Avx2, KernelLevel::Avx512}) {
        if (trevik::conversionKernels(level)) levels.push_back(level);
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
            expected[i] = trevik::scaleSample(std::bit_cast<float>(bits));
            putBigEndian(&samples[4 * i], bits);
            putBigEndian(&rowPairs[4 * (256 * (i / 64) + 2 * (i % 64))], bits);
        }
        for (KernelLevel level : levels) {
            const trevik::ConversionKernels& k = *trevik::conversionKernels(level);
            k.scaleFloats(samples.data(), scaled.data(), static_cast<int>(kChunk));
            k.reduceFloatRows(rowPairs.data(), reduced.data(), static_cast<int>(kChunk / 64));
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
