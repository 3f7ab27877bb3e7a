// Writes an encoded picture through the output-file rules, refusing to
// replace anything that is not a picture of the same kind.
#pragma once

#include <vector>

#include "study/status.h"
#include "writer/qc/qc_picture.h"

namespace trevik::qc::detail {

// The status of a picture whose sizes disagree: CannotWrite with EINVAL.
Status invalidPicture();

// Writes `bytes` to `path` when mayWritePicture allows it; anything else
// there is left alone: CannotWrite with EEXIST.
Status writePicture(const char* path, const std::vector<unsigned char>& bytes, PictureKind kind);

}  // namespace trevik::qc::detail
