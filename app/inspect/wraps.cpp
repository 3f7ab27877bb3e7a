#include "app/inspect/wraps.h"

#include <bit>

#include "app/inspect/report_text.h"
#include "reader/projection/big_endian.h"
#include "study/sample.h"
#include "study/study.h"

namespace trevik::inspect {

namespace {

std::int16_t be16At(const unsigned char* p) { return static_cast<std::int16_t>(bigEndian16(p)); }

float beFloatAt(const unsigned char* p) { return std::bit_cast<float>(bigEndian32(p)); }

// Whether the exact sum of four signed 64-bit values lies within -32768..32767.
bool sumFits16(const std::int64_t (&v)[4]) {
    // value = high * 2^32 + low with 0 <= low < 2^32, formed without overflow.
    std::int64_t high = 0;
    std::int64_t low = 0;
    for (const std::int64_t x : v) {
        high += x >> 32;
        low += x & 0xFFFFFFFF;
    }
    high += low >> 32;
    low &= 0xFFFFFFFF;
    if (high == 0) return low <= 32767;
    if (high == -1) return low >= 0x100000000LL - 32768;
    return false;
}

bool fits16(std::int64_t v) { return v >= -32768 && v <= 32767; }

std::string perDivision(const std::vector<long long>& counts) {
    Text t;
    const char* separator = " (";
    for (std::size_t d = 0; d < counts.size(); ++d)
        if (counts[d] > 0) {
            t << separator << "division " << d + 1 << ": " << counts[d];
            separator = ", ";
        }
    if (t.str().empty()) return {};
    return t.str() + ")";
}

}  // namespace

// A stored sample wraps when the exact value it stands for (its exact
// tenfold value; for a 128 x 128 source the sum of the four of its block)
// lies outside -32768..32767.
void WrapCounter::count(const SourceImage& image) {
    const auto d = static_cast<std::size_t>(image.division);
    if (wrapped_.size() <= d) {
        wrapped_.resize(d + 1, 0);
        nonFinite_.resize(d + 1, 0);
    }
    const auto samples = static_cast<std::size_t>(image.side * image.side);
    exact_.resize(samples);
    beyond_.resize(samples);
    long long wrapped = 0;
    for (std::size_t k = 0; k < samples; ++k) {
        beyond_[k] = 0;
        if (!image.floats) {
            exact_[k] = 10 * std::int64_t{be16At(image.bytes + 2 * k)};
            continue;
        }
        const ExactTenfold t = exactTenfold(beFloatAt(image.bytes + 4 * k));
        exact_[k] = t.value;
        if (t.kind == ExactTenfold::Kind::NotFinite) ++nonFinite_[d], ++totalNonFinite_;
        if (t.kind == ExactTenfold::Kind::Beyond) beyond_[k] = 1;
    }
    // The frame's marks, made on its first wrap; frames beyond the store
    // are never stored, so never marked.
    const long long slot = static_cast<long long>(image.division) * FrameStore::kFramesPerDivision + image.frame;
    const bool stored = image.division >= 0 && image.frame >= 0 && slot < FrameStore::kSlots;
    auto mark = [&](std::size_t y, std::size_t x) {
        ++wrapped;
        if (!stored) return;
        if (marks_.size() < FrameStore::kSlots) marks_.resize(FrameStore::kSlots);
        std::vector<std::uint64_t>& m = marks_[static_cast<std::size_t>(slot)];
        if (m.empty()) m.assign(FrameStore::kSide, 0);
        m[y] |= std::uint64_t{1} << x;
    };
    if (image.side == 64) {
        for (std::size_t k = 0; k < samples; ++k)
            if (beyond_[k] || !fits16(exact_[k])) mark(k / 64, k % 64);
    } else {
        for (std::size_t y = 0; y < 128; y += 2)
            for (std::size_t x = 0; x < 128; x += 2) {
                const std::size_t at[4] = {y * 128 + x, y * 128 + x + 1, (y + 1) * 128 + x, (y + 1) * 128 + x + 1};
                const std::int64_t block[4] = {exact_[at[0]], exact_[at[1]], exact_[at[2]], exact_[at[3]]};
                if (beyond_[at[0]] || beyond_[at[1]] || beyond_[at[2]] || beyond_[at[3]] || !sumFits16(block))
                    mark(y / 2, x / 2);
            }
    }
    wrapped_[d] += wrapped;
    totalWrapped_ += wrapped;
}

const std::uint64_t* WrapCounter::wrappedAt(int d, int f) const {
    const long long slot = static_cast<long long>(d) * FrameStore::kFramesPerDivision + f;
    if (d < 0 || f < 0 || slot >= static_cast<long long>(marks_.size())) return nullptr;
    const std::vector<std::uint64_t>& m = marks_[static_cast<std::size_t>(slot)];
    return m.empty() ? nullptr : m.data();
}

std::string WrapCounter::wrappedPerDivision() const { return perDivision(wrapped_); }
std::string WrapCounter::nonFinitePerDivision() const { return perDivision(nonFinite_); }

}  // namespace trevik::inspect
