// The montage: every frame of a study as one picture a reader can orient
// in: the file name, division and frame numbers, one grey scale for the
// whole study with its bar, and wrapped samples in red.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "app/inspect/inspection.h"

namespace trevik::inspect {

// The colours a montage is drawn in besides its greys.
inline constexpr unsigned char kMontageBackground[3] = {28, 36, 88};  // margins, gaps and missing frames
inline constexpr unsigned char kMontageText[3] = {230, 230, 240};
inline constexpr unsigned char kMontageWrapped[3] = {255, 0, 0};
// Where the first frame cell starts: below the file name and the frame
// numbers, right of the division numbers.
inline constexpr int kMontageTop = 30;
inline constexpr int kMontageLeft = 22;

using FrameAt = std::function<const std::int16_t*(int d, int i)>;
using MarksAt = std::function<const std::uint64_t*(int d, int i)>;

// Draws divisions x frames cells under the last component of `path`;
// frameAt(d, i) gives the 4096 samples of the i-th frame written for
// division d, or nullptr when it is missing; wrappedAt(d, i), when given,
// 64 rows of 64 bits marking its samples that wrapped (bit x of row y), or
// nullptr. The grey scale runs from the 0.5th to the 99.5th percentile of
// the samples drawn in grey (wrapped ones are red), clamped, so that a few
// hot samples cannot wash out the rest.
Montage montageOf(std::string_view path, int divisions, int frames, const FrameAt& frameAt,
                  const MarksAt& wrappedAt = nullptr);

}  // namespace trevik::inspect
