// Loading one source file: header, then every projection image, delivered
// to a frame sink in the form it asks for (by default into the study's own
// frame store, scaled by 10 and reduced to 64 x 64 where the source is
// 128 x 128).
#pragma once

#include <cstdint>

#include "reader/projection/header.h"
#include "study/frame_sink.h"
#include "study/load_options.h"
#include "study/status.h"
#include "study/study.h"

namespace trevik {

// The outcome of loadStudy: its code is 0, 1, 2, 4 or 8, and where it
// happened says what the load found (study/status.h).
using LoadResult = Status;

// The instruction set levels the conversion kernels are built for, in
// ascending order (on x86-64; elsewhere there is only Plain).
enum class KernelLevel { Plain, Avx2, Avx512 };

// The best level this processor offers.
KernelLevel bestKernelLevel();

// The conversion kernels of one level. Each takes big-endian samples as they
// lie in the file and gives scaleSample of them (study/sample.h):
// scaleIntegers / scaleFloats `count` samples in order; reduceIntegerRows /
// reduceFloatRows the first 2 x `rows` rows of 128 samples, scaled and
// summed over 2 x 2 blocks (each sum modulo 65536) into `rows` rows of 64.
struct ConversionKernels {
    void (*scaleIntegers)(const unsigned char* bigEndian, std::int16_t* destination, int count);
    void (*scaleFloats)(const unsigned char* bigEndian, std::int16_t* destination, int count);
    void (*reduceIntegerRows)(const unsigned char* bigEndian, std::int16_t* destination, int rows);
    void (*reduceFloatRows)(const unsigned char* bigEndian, std::int16_t* destination, int rows);
};

// The kernels of `level`; nullptr when the processor or the build lacks it.
const ConversionKernels* conversionKernels(KernelLevel level);

// Loads the source at `path`: the header into the facts, settled for the
// sink's form before its begin (settleFacts, study/rules.h), every image
// into `sink`.
LoadResult loadStudy(const char* path, StudyFacts& facts, FrameSink& sink, const LoadOptions& options = {});
// The same into the study's own frame store.
LoadResult loadStudy(const char* path, Study& study);

}  // namespace trevik
