// The sample rules, each stated once: what one source sample becomes in the
// analysis program's frames (ten times the sample), and what it is as the
// camera's own count. The conversion kernels, the inspection's wrap count
// and the exhaustive float check all start from these.
#pragma once

#include <cstdint>

#include "study/frame_sink.h"

namespace trevik {

// The exact value a float sample stands for once multiplied by ten: the
// tenfold product (exact in double) truncated toward zero. A sample without
// one is not finite, or lies beyond the signed 64-bit range once multiplied.
struct ExactTenfold {
    enum class Kind : std::uint8_t { Value, NotFinite, Beyond };
    Kind kind;
    std::int64_t value;  // Value only
};
ExactTenfold exactTenfold(float sample);

// The stored value of one source sample: its exact tenfold value modulo
// 65536 as a signed 16-bit integer; a float without an exact tenfold value
// is stored as 0.
inline std::int16_t scaleSample(std::int16_t sample) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(sample * 10));
}
std::int16_t scaleSample(float sample);

// The camera's count of a float sample: rounded to the nearest integer,
// halves away from zero, and clamped to -32768..32767 (a value that is not
// a number counts as 0 and as clamped). `changes` counts what was not kept.
std::int16_t countOf(float sample, CountChanges& changes);

// Sums every 2 x 2 block of a 128 x 128 image into one 64 x 64 frame, each
// sum modulo 65536: how a 128 x 128 source becomes the reduced form.
void reduceTo64(const std::int16_t* source, std::int16_t* destination);

}  // namespace trevik
