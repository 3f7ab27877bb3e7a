// The quality control of a file's frames in the inspection: the report's
// "qc" lines and warnings, and the three TSV figures.
#pragma once

#include "app/inspect/inspection.h"
#include "app/inspect/report_text.h"
#include "study/qc.h"

namespace trevik::inspect {

// Checks the frames with what the source knows besides them (`facts`:
// detectors, accepted and rejected beats), writes the qc lines (a warning
// line for each fault found, counted in the verdict's warnings) and fills
// the verdict's qc figures; the result stays in `ins.qc` for the pictures.
void reportQc(Text& t, const qc::Frames& frames, Inspection& ins, const qc::Facts& facts = {});

// The qc line of a file whose frames cannot all be read: "-" and why.
void reportNoQc(Text& t, std::string_view why);

// `value` with one decimal, without the locale.
std::string oneDecimal(double value);

}  // namespace trevik::inspect
