// The report of a Gated SPECT data file: its header lines as the .gsd
// reader takes them, its length against the header, and each division's
// minimum, maximum and sum.
#pragma once

#include <cstdint>
#include <cstdio>

#include "app/inspect/inspection.h"
#include "app/inspect/report_text.h"

namespace trevik::inspect {

// Whether the stream starts with the .gsd magic line; rewinds it.
bool startsWithGsdMagic(std::FILE* stream);

// `size` is the file's length (-1 when unknown). Returns what the check
// found, for the verdict: "ok", "frames missing", "extra bytes at the end",
// "header malformed at line N", ...
std::string reportGsd(Text& t, std::FILE* stream, std::int64_t size, bool drawMontage, Inspection& ins);

}  // namespace trevik::inspect
