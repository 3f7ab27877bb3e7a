// Writes an encoded picture through the output-file rules, refusing to
// replace anything that is not a picture of the same kind.
#pragma once

#include <string_view>
#include <vector>

#include "study/status.h"

namespace trevik::qc::detail {

// The status of a picture whose sizes disagree: CannotWrite with EINVAL.
Status invalidPicture();

// Writes `bytes` to `path`. An existing destination must be a regular file
// that starts with `signature`; anything else there (another file, a
// directory, a device, a FIFO) is left alone: CannotWrite with EEXIST.
Status writePicture(const char* path, const std::vector<unsigned char>& bytes, std::string_view signature);

}  // namespace trevik::qc::detail
