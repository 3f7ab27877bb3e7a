// What every way of taking energy windows and R-R intervals out of an object
// with several shares (import's "all", the receiving node): the label that
// names the one taken in the .gsd's comment, and the suffix that names its
// file, so that each writes the same file under the same name.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "reader/dicom/object_outline.h"
#include "study/frame_sink.h"
#include "study/study.h"
#include "study/tracer.h"

namespace trevik::dicom {

// Hands the reader's frames on, and before the first one puts `label` into
// the study's comment where the source gave none.
class LabelSink : public FrameSink {
public:
    LabelSink(StudyFacts& study, FrameSink& next, std::string label)
        : study_(study), next_(next), label_(std::move(label)) {}
    Status begin(const StudyFacts&, const FrameLayout& layout) override;
    std::int16_t* slot(int division, int frame) override { return next_.slot(division, frame); }
    Status stored(int division, int frame) override { return next_.stored(division, frame); }

private:
    StudyFacts& study_;
    FrameSink& next_;
    std::string label_;
};

// The suffix of the file of `choice` among several: "-ew2", "-rr3" or
// "-ew2-rr3", each part only where `windows` / `intervals` (empty when
// neither).
std::string choiceSuffix(const SourceChoice& choice, bool windows, bool intervals);

// The numbers of `entries` in their order, or 1 when there are none (a
// projection file, or an ungated object's R-R intervals).
std::vector<int> choiceNumbers(const std::vector<ChoiceEntry>& entries);

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
std::string choiceListing(const ObjectOutline& outline, std::optional<Tracer> nuclide, const SourceChoice& choice);

}  // namespace trevik::dicom
