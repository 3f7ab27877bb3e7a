// The text side of the Gated SPECT data file: the header lines, their
// numbers, their free texts and the newline rule.
#pragma once

#include <string>

#include "study/study.h"

namespace trevik::detail {

// Appends `value` as "%<width>.<precision>f" would, with a full stop as the
// decimal point whatever the locale; never cut, however long.
void appendFixed(std::string& out, double value, int precision, int width);
// Appends `value` as "%d" would.
void appendInteger(std::string& out, long long value);

// The header lines 1 to 17 and the separator line, exactly as they go into
// the file: every 0x0A already written as 0x0D 0x0A.
std::string composeHeader(const StudyRecord& record);

}  // namespace trevik::detail

namespace trevik {

// Copies the zero-terminated `source` to `destination` (room for the whole
// text and its terminator) with every byte outside 0x21..0x7E replaced by
// an underscore: a free text becomes one token of the header line.
void sanitizeText(const char* source, char* destination);

}  // namespace trevik
