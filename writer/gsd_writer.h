// The Gated SPECT data file: a text header of "key = value;" lines ending in
// CR LF, the separator 0x0C 0x0D 0x0A, then every frame of every division as
// little-endian 16-bit samples.
#pragma once

#include "study/study.h"

namespace trevik {

enum WriteResult : int { kWritten = 0, kCannotWrite = 1, kWriteNoMemory = 8 };
// Why a write failed: the errno of the first failing call (saved before any clean-up),
// or 0 with `reason` set when the writer refused on its own (short English phrase, no final full stop).
struct WriteFailure { int error = 0; const char* reason = nullptr; };

// Writes the study to `path`: kWritten when the file is complete there,
// otherwise nothing at `path` has changed and `failure`, when given, says
// why. Sets study.record.thick to the thickness the file reports first
// (slice pixels x pixel size, halved after a reduction); the record keeps it.
WriteResult writeGsd(const char* path, Study& study, WriteFailure* failure = nullptr);

}  // namespace trevik
