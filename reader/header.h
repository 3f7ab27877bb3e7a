// Interpretation of the tagged source header into the study.
#pragma once

#include <cstdio>

#include "reader/element_stream.h"
#include "study/study.h"

namespace trevik {

enum class HeaderStatus {
    Complete,    // the end element was reached; the stream is on the pixel data
    Incomplete,  // the file ends before the end element (6B01,1004)
    Malformed,   // an element before the end element has a negative length
};

// Walks the header from file offset 0: sets the defaults (thick 0, hr 0,
// division 0, tracer "99mTc"), reads the preamble, takes every known element
// into the study and, on the end element, moves the stream to the next
// 1024-byte boundary strictly behind the end element's 8-byte header.
HeaderStatus readHeader(std::FILE* stream, FilePreamble& preamble, Study& study);

}  // namespace trevik
