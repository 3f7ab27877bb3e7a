// The loader's block-wise conversions against the sample-by-sample ones, at
// every kernel level this processor offers, and the loader's reads of whole
// images and image parts against files that end inside an image.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "reader/projection/loader.h"
#include "study/sample.h"
#include "tests/support/temp_dir.h"
#include "tools/synth/source_file.h"

namespace trevik {
namespace {

void putBigEndian(std::vector<unsigned char>& bytes, std::uint32_t value, int size) {
    for (int b = size - 1; b >= 0; --b) bytes.push_back(static_cast<unsigned char>(value >> (8 * b)));
}

// The 2 x 2 sum of row pair r, column c, of samples already scaled.
std::int16_t blockSum(const std::vector<std::int16_t>& scaled, int r, int c) {
    const int at = 256 * r + 2 * c;
    return static_cast<std::int16_t>(
        static_cast<std::uint16_t>(scaled[at] + scaled[at + 1] + scaled[at + 128] + scaled[at + 129]));
}

TEST(ConversionKernels, EveryLevelGivesTheSampleBySampleResults) {
    // Every 16-bit value; every 4099th float bit pattern (NaNs, infinities,
    // huge and tiny values included), a count that leaves a partial block.
    std::vector<unsigned char> integers, floats;
    std::vector<std::int16_t> expectedIntegers, expectedFloats;
    for (std::uint32_t v = 0; v < 65536; ++v) {
        putBigEndian(integers, v, 2);
        expectedIntegers.push_back(scaleSample(static_cast<std::int16_t>(v)));
    }
    for (std::uint64_t bits = 0; bits < (std::uint64_t{1} << 32); bits += 4099) {
        putBigEndian(floats, static_cast<std::uint32_t>(bits), 4);
        expectedFloats.push_back(scaleSample(std::bit_cast<float>(static_cast<std::uint32_t>(bits))));
    }
    const int rowPairs = static_cast<int>(expectedFloats.size() / 256);
    for (KernelLevel level : {KernelLevel::Plain, KernelLevel::Avx2, KernelLevel::Avx512}) {
        const ConversionKernels* kernels = conversionKernels(level);
        if (!kernels) continue;
        const auto [scaleIntegers, scaleFloats, reduceIntegerRows, reduceFloatRows] = *kernels;
        SCOPED_TRACE(static_cast<int>(level));
        std::vector<std::int16_t> out(expectedFloats.size());
        scaleIntegers(integers.data(), out.data(), 65536);
        EXPECT_TRUE(std::equal(expectedIntegers.begin(), expectedIntegers.end(), out.begin()));
        scaleFloats(floats.data(), out.data(), static_cast<int>(expectedFloats.size()));
        ASSERT_EQ(out, expectedFloats);

        // The one-pass reductions, and reduceTo64, against the sums of the
        // scaled samples.
        std::vector<std::int16_t> reduced(64 * static_cast<std::size_t>(rowPairs));
        reduceFloatRows(floats.data(), reduced.data(), rowPairs);
        for (int r = 0; r < rowPairs; ++r)
            for (int c = 0; c < 64; ++c) ASSERT_EQ(reduced[64 * r + c], blockSum(expectedFloats, r, c)) << r;
        reduceIntegerRows(integers.data(), reduced.data(), 128);
        for (int r = 0; r < 128; ++r)
            for (int c = 0; c < 64; ++c) ASSERT_EQ(reduced[64 * r + c], blockSum(expectedIntegers, r, c)) << r;
        std::vector<std::int16_t> frame(4096);
        reduceTo64(expectedIntegers.data(), frame.data());
        EXPECT_TRUE(std::equal(frame.begin(), frame.end(), reduced.begin()));
    }
}

TEST(ConversionKernels, AFileEndingInsideAnImageLeavesItsFrameAsItWas) {
    test::TempDir dir;
    const std::string path = dir.file("source.prj");
    auto study = std::make_unique<Study>();
    // Image i carries 3i + 1 in every sample; a stored frame 10 (or, reduced,
    // 40) times that.
    auto sample = [](int i, int, int) { return static_cast<double>(3 * i + 1); };
    for (int matrix : {64, 128})
        for (bool floats : {false, true}) {
            const synth::SourceFile whole = synth::buildStudy(
                {.matrix = matrix, .floats = floats, .hr = 0, .division = 0, .images = 5, .sample = sample});
            const std::size_t imageBytes = static_cast<std::size_t>(matrix * matrix) * (floats ? 4 : 2);
            const std::size_t imageTwo = whole.pixelStart() + 2 * imageBytes;
            // Ends at the start of image 2, inside each part of it, one byte short.
            for (std::size_t into : {std::size_t{0}, std::size_t{100}, imageBytes / 2 + 100, imageBytes - 1}) {
                SCOPED_TRACE(std::to_string(matrix) + (floats ? " floats, " : " integers, ") + std::to_string(into));
                for (int f = 0; f < 4; ++f)
                    for (int at : {0, 2048, 4095}) study->store.frame(0, f)[at] = -7;
                synth::SourceFile(whole).cut(imageTwo + into).save(path);
                ASSERT_EQ(loadStudy(path.c_str(), *study), kEndsEarly);
                for (int f = 0; f < 2; ++f)
                    EXPECT_EQ(study->store.frame(0, f)[4095], (matrix == 128 ? 40 : 10) * (3 * f + 1));
                for (int at : {0, 2048, 4095}) EXPECT_EQ(study->store.frame(0, 2)[at], -7) << at;
            }
        }
}

}  // namespace
}  // namespace trevik
