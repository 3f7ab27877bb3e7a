// What every way of taking energy windows and R-R intervals out of an object
// with several shares (import's "all", the receiving node): the suffix that
// names each file, so that each writes the same file under the same name
// (the label that names the one taken in the .gsd's comment is part of
// settling the facts: study/rules.h).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "study/acquisition.h"
#include "study/tracer.h"

namespace trevik::dicom {

// The suffix of the file of `choice` among several: "-ew2", "-rr3" or
// "-ew2-rr3", each part only where `windows` / `intervals` (empty when
// neither).
std::string choiceSuffix(const SourceChoice& choice, bool windows, bool intervals);

// The numbers of `entries` in their order, or 1 when there are none (a
// projection file, or an ungated object's R-R intervals).
std::vector<int> choiceNumbers(const ChoiceList& entries);

// What the nuclide table makes of an energy window: a photopeak of
// `nuclide`, a scatter window (none of its photopeaks), or unknown (no
// nuclide, or a range that cannot be read).
enum class WindowKind { Unknown, Photopeak, Scatter };
WindowKind windowKind(const ChoiceEntry& window, std::optional<Tracer> nuclide);

// The energy windows and R-R intervals of an object with several, for an
// inspection's report, a line each: "energy window 2: SC70L 56-63 keV,
// scatter", the one `choice` takes marked "(inspected)"; the object's
// texts escaped as printableName escapes them. Empty for an object with
// one of each.
std::string choiceListing(const Acquisition& acquisition, std::optional<Tracer> nuclide, const SourceChoice& choice);

}  // namespace trevik::dicom
