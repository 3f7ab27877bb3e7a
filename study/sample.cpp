#include "study/sample.h"

#include <cmath>

namespace trevik {

ExactTenfold exactTenfold(float sample) {
    const double product = static_cast<double>(sample) * 10.0;  // exact in double
    if (!std::isfinite(product)) return {ExactTenfold::Kind::NotFinite, 0};
    const double whole = std::trunc(product);
    constexpr double kLimit = 9223372036854775808.0;  // 2^63; the signed 64-bit range is [-2^63, 2^63)
    if (whole >= kLimit || whole < -kLimit) return {ExactTenfold::Kind::Beyond, 0};
    return {ExactTenfold::Kind::Value, static_cast<std::int64_t>(whole)};
}

std::int16_t scaleSample(float sample) {
    const ExactTenfold t = exactTenfold(sample);
    if (t.kind != ExactTenfold::Kind::Value) return 0;
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(static_cast<std::uint64_t>(t.value)));
}

std::int16_t countOf(float sample, CountChanges& changes) {
    if (std::isnan(sample)) {
        ++changes.clamped;
        return 0;
    }
    const float rounded = std::round(sample);  // halves away from zero
    if (rounded != sample) ++changes.rounded;
    if (rounded > 32767.0f || rounded < -32768.0f) {
        ++changes.clamped;
        return rounded > 0 ? 32767 : -32768;
    }
    return static_cast<std::int16_t>(rounded);
}

void reduceTo64(const std::int16_t* source, std::int16_t* destination) {
    for (int r = 0; r < 64; ++r) {
        const std::int16_t* upper = source + 256 * r;
        const std::int16_t* lower = upper + 128;
        for (int c = 0; c < 64; ++c) {
            const int sum = upper[2 * c] + upper[2 * c + 1] + lower[2 * c] + lower[2 * c + 1];
            destination[64 * r + c] = static_cast<std::int16_t>(static_cast<std::uint16_t>(sum));
        }
    }
}

}  // namespace trevik
