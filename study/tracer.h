// The radionuclides a camera names, in the spellings it writes in the
// record's tracer field ("99mTc", "201Tl", ...): study knowledge, which the
// formats' own codes for them point at.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace trevik {

enum class Tracer : std::uint8_t { Tc99m, Tl201, I123, In111, Ga67, I131, Xe133, Kr81m };

// The camera's spelling of `tracer`.
const char* tracerName(Tracer tracer);
// The tracer a camera's spelling names; nothing for any other text.
std::optional<Tracer> tracerOfName(std::string_view name);

}  // namespace trevik
