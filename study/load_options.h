// How a load runs beyond the sink it fills: the options every reader takes.
#pragma once

#include <functional>

#include "study/frame_sink.h"
#include "study/study.h"

namespace trevik {

// The projection reader's conversion kernels and the header elements it
// walks (reader/projection/loader.h, reader/projection/header.h).
struct ConversionKernels;
struct SeenElement;

// Told of every header element of a projection file in file order, with the
// facts as they stand after it.
using HeaderObserver = std::function<void(const SeenElement& element, const StudyFacts& facts)>;

// One image as the file holds it: side x side big-endian samples.
struct SourceImage {
    int division;
    int frame;
    int side;
    bool floats;
    const unsigned char* bytes;
};

struct LoadOptions {
    FrameForm form{};
    // The kernels to convert with; the best the processor offers when empty.
    const ConversionKernels* kernels = nullptr;
    // Told of every header element in file order (projection files).
    HeaderObserver observer;
    // When set, told of every whole image as the file holds it, before it
    // is converted (projection files).
    std::function<void(const SourceImage& image)> sourceImage;
    // Counts: where the float samples that were rounded or clamped are counted.
    CountChanges* changes = nullptr;
};

}  // namespace trevik
