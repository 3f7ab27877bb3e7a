// The text side of the Gated SPECT data file: the header lines,
// their numbers and the newline rule, and the slice thickness they report.
#pragma once

#include <string>

#include "study/study.h"

namespace trevik::detail {

// Appends `value` as "%<width>.<precision>f" would, with a full stop as the
// decimal point whatever the locale; never cut, however long.
void appendFixed(std::string& out, double value, int precision, int width);
// Appends `value` as "%d" would.
void appendInteger(std::string& out, long long value);

// thick = slicePixels x pixel (stored only when it
// differs), then halved after a 128 to 64 reduction. The record keeps it.
void recomputeThickness(Study& study);

// The header lines 1 to 17 and the separator line, exactly as they go into
// the file: every 0x0A already written as 0x0D 0x0A.
std::string composeHeader(const StudyRecord& record);

// True when D x 64 slots with `frames` frames stay within the 1024 slots of
// the frame store, that is (D - 1) x 64 + frames <= 1024 (or no frame at all).
bool fitsFrameStore(const StudyRecord& record);

}  // namespace trevik::detail
