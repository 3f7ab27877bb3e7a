// The Gated SPECT data file: a text header of "key = value;" lines ending in
// CR LF, the separator 0x0C 0x0D 0x0A, then every frame of every division as
// little-endian 16-bit samples.
#pragma once

#include "study/study.h"

namespace trevik {

enum WriteResult : int {
    kWritten = 0,      // the file is complete at `path`
    kCannotWrite = 1,  // the file cannot be created or written; nothing at `path` has changed
};

// Writes the study to `path`. Sets study.record.thick to the thickness the
// file reports first (slice pixels x pixel size, halved after a reduction);
// the record keeps it.
WriteResult writeGsd(const char* path, Study& study);

}  // namespace trevik
