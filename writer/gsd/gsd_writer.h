// The Gated SPECT data file: a text header of "key = value;" lines ending in
// CR LF (writer/gsd/gsd_format.h), the separator 0x0C 0x0D 0x0A, then every
// frame of every division as little-endian 16-bit samples.
#pragma once

#include <functional>

#include "study/status.h"
#include "study/study.h"

namespace trevik {

namespace detail {
class OutputFile;
}

// Writes the study to `path` (how it is replaced: writer/output_file.h).
// kOk: the file is complete at `path`. kCannotOpen (CannotWrite, with the
// errno of the first failing call): the file cannot be created or written
// whole; a destination replaced through a temporary file is as it was, one
// written in place may hold old and new bytes after an I/O error in the
// middle. kNoMemory: memory ran out; nothing at `path` has changed. A study
// whose frames the frame store cannot hold is refused before anything is
// opened. The study is not changed.
// An existing regular file for which `keep` (given a read-only descriptor
// of it) is true is left as it is: KeptSource.
Status writeGsd(const char* path, const Study& study, const std::function<bool(int fd)>& keep = {});

// The same, but only ever creating: a name that exists, whatever it is,
// is left alone and the write fails with CannotWrite and EEXIST, also when
// the name appears while the file is written.
Status createGsd(const char* path, const Study& study);

// The same into an output opened already (detail::OutputFile::open was true).
Status writeGsd(detail::OutputFile& output, const Study& study);

// The status of an output whose open was refused: KeptSource, or
// CannotWrite with the errno of the failing call.
Status refusedOutput(const detail::OutputFile& output);

}  // namespace trevik
