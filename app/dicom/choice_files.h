// What every way of taking energy windows and R-R intervals out of an object
// with several shares (import's "all", the receiving node): the suffix that
// names each file, so that each writes the same file under the same name
// (the label that names the one taken in the .gsd's comment is part of
// settling the facts: study/rules.h).
#pragma once

#include <string>
#include <vector>

#include "study/acquisition.h"

namespace trevik::dicom {

// The suffix of the file of `choice` among several: "-ew2", "-rr3" or
// "-ew2-rr3", each part only where `windows` / `intervals` (empty when
// neither).
std::string choiceSuffix(const SourceChoice& choice, bool windows, bool intervals);

// The numbers of `entries` in their order, or 1 when there are none (a
// projection file, or an ungated object's R-R intervals).
std::vector<int> choiceNumbers(const ChoiceList& entries);

}  // namespace trevik::dicom
