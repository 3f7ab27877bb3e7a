// The montage: every frame of a study as one picture.
#pragma once

#include <cstdint>
#include <functional>

#include "app/inspect/inspection.h"

namespace trevik::inspect {

// Draws divisions x frames cells; frameAt(d, i) gives the 4096 samples of
// the i-th frame written for division d, or nullptr when it is missing.
// Grey levels span the range of all frames drawn.
Montage montageOf(int divisions, int frames, const std::function<const std::int16_t*(int d, int i)>& frameAt);

}  // namespace trevik::inspect
