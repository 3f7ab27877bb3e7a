// Numbers as a projection file stores them, most significant byte first:
// the one place that decodes them, for the header walk, the probe, the
// conversion kernels and the inspection alike. Always inlined, so that the
// kernels' vector code is what it would be with the swaps written in place.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace trevik {

[[gnu::always_inline]] inline std::uint16_t fromBigEndian(std::uint16_t v) {
    if constexpr (std::endian::native == std::endian::little) return static_cast<std::uint16_t>(v << 8 | v >> 8);
    return v;
}

[[gnu::always_inline]] inline std::uint32_t fromBigEndian(std::uint32_t v) {
    if constexpr (std::endian::native == std::endian::little) return __builtin_bswap32(v);
    return v;
}

// The big-endian 16-bit number at `bytes`.
[[gnu::always_inline]] inline std::uint16_t bigEndian16(const unsigned char* bytes) {
    std::uint16_t v;
    std::memcpy(&v, bytes, sizeof v);
    return fromBigEndian(v);
}

// The big-endian 32-bit number at `bytes` (also the bits of a float).
[[gnu::always_inline]] inline std::uint32_t bigEndian32(const unsigned char* bytes) {
    std::uint32_t v;
    std::memcpy(&v, bytes, sizeof v);
    return fromBigEndian(v);
}

}  // namespace trevik
