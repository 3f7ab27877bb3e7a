// The inspection's part of the fuzz target: trevik-inspect's library run on
// the input file the conversion check has just read.
#pragma once

#include <string>

namespace trevik::fuzz {

// Inspects the file at `path`, drawing its montage, and aborts with a
// message on any broken promise (see fuzz_inspect.cpp).
void checkInspection(const std::string& path);

}  // namespace trevik::fuzz
