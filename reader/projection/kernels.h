// The conversion kernels of the projection loader: big-endian samples as
// the file holds them into the analysis program's frames, built for each
// instruction set level the processor may offer.
#pragma once

#include <cstdint>

namespace trevik {

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

}  // namespace trevik
