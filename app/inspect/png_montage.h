// Montages as PNG files, through libpng.
#pragma once

#include <string>
#include <vector>

#include "app/inspect/inspection.h"

namespace trevik::inspect {

// Encodes a non-empty montage as an 8-bit RGB PNG; false when it cannot.
bool encodePng(const Montage& montage, std::vector<unsigned char>& png);

// Writes the montage to `path`; an existing file is replaced only once the
// new one is complete. False when it cannot be written.
bool writePng(const std::string& path, const Montage& montage);

}  // namespace trevik::inspect
