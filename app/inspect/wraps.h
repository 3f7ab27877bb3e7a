// Samples that the conversion keeps only modulo 65536: counted image by
// image as the load reads them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "reader/projection/loader.h"

namespace trevik::inspect {

class WrapCounter {
public:
    // One source image as the load reads it (LoadOptions::sourceImage).
    void count(const SourceImage& image);

    long long totalWrapped() const { return totalWrapped_; }
    long long totalNonFinite() const { return totalNonFinite_; }
    // " (division 1: 12, division 3: 40)" over the divisions with wraps (or
    // non-finite samples).
    std::string wrappedPerDivision() const;
    std::string nonFinitePerDivision() const;

    // Where the stored frame `f` of division `d` (the file's order) wraps:
    // 64 rows of 64 bits, bit x of row y for the sample at (x, y); nullptr
    // when none of its samples wraps. Kept for the 1024 frames a study can
    // store, 512 bytes each at most.
    const std::uint64_t* wrappedAt(int d, int f) const;

private:
    std::vector<std::vector<std::uint64_t>> marks_;  // per frame slot, empty while nothing wraps
    std::vector<long long> wrapped_;    // per division
    std::vector<long long> nonFinite_;  // per division
    long long totalWrapped_ = 0;
    long long totalNonFinite_ = 0;
    std::vector<std::int64_t> exact_;
    std::vector<unsigned char> beyond_;
};

}  // namespace trevik::inspect
