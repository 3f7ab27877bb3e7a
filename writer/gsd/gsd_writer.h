// The Gated SPECT data file: a text header of "key = value;" lines ending in
// CR LF, the separator 0x0C 0x0D 0x0A, then every frame of every division as
// little-endian 16-bit samples.
#pragma once

#include <functional>

#include "study/study.h"

namespace trevik {

enum WriteResult : int { kWritten = 0, kCannotWrite = 1, kWriteNoMemory = 8 };
// kWritten: the file is complete at `path`.
// kCannotWrite: the file cannot be created or written whole; a destination
//   replaced through a temporary file is as it was, one written in place
//   may hold old and new bytes after an I/O error in the middle.
// kWriteNoMemory: memory ran out; nothing at `path` has changed.

// Why a write failed: the errno of the first failing call (saved before any clean-up),
// or 0 with `reason` set when the writer refused on its own (e.g. "the study's frames do not fit the frame store").
// keptSource: the destination is a file that `keep` said must stay (a projection file).
struct WriteFailure { int error = 0; const char* reason = nullptr; bool keptSource = false; };

// Writes the study to `path` (how it is replaced: writer/output_file.h).
// Sets study.record.thick to the thickness the file reports first (slice
// pixels x pixel size, halved after a reduction); the record keeps it. On
// failure, `failure` (when given) says why. An existing regular file for
// which `keep` (given a read-only descriptor of it) is true is left as it is:
// kCannotWrite with failure->keptSource set.
WriteResult writeGsd(const char* path, Study& study, WriteFailure* failure = nullptr,
                     const std::function<bool(int fd)>& keep = {});

// For a process that writes with writeGsd and may be ended by a signal
// (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM):
// each of these then removes a named temporary file being written before it
// ends the process as it would have.
void removeTemporaryOnSignals();

}  // namespace trevik
