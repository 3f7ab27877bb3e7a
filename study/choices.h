// The words that name an energy window or R-R interval taken out of several:
// in a list of choices, and in a .gsd's comment.
#pragma once

#include <string>

#include "study/acquisition.h"

namespace trevik {

// One entry as a list of choices shows it, in UTF-8: "2  SCATTER  100-120
// keV" (unit "keV" for an energy window, "ms" for an R-R interval).
std::string entryText(const ChoiceEntry& entry, const char* unit);

// What `choice` takes of `acquisition`, in ASCII, for a .gsd comment:
// "energy window 2 SCATTER 100-120 keV", "R-R interval 3 600-1000 ms", or
// both joined by ", "; only the parts of which the source holds more than
// one. Empty when there is nothing to say.
std::string choiceLabel(const Acquisition& acquisition, const SourceChoice& choice);

}  // namespace trevik
