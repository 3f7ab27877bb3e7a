// The codes of the radionuclides the study knows (study/tracer.h), as the
// Radionuclide Code Sequence holds them: SNOMED CT codes (scheme SCT), which
// the writer writes, and the older SNOMED RT codes (scheme SRT) of objects
// written before them, which the reader takes as well.
#pragma once

#include <string_view>

#include "study/tracer.h"

namespace trevik::dicom {

struct NuclideCode {
    Tracer tracer;
    const char* code;     // Code Value, scheme SCT
    const char* older;    // Code Value, scheme SRT
    const char* meaning;  // Code Meaning
};

// The code of the tracer a camera's spelling names ("99mTc", ...); null for
// any other text.
const NuclideCode* nuclideCode(std::string_view tracer);
// The nuclide of a code value, SCT or SRT; null for any other code.
const NuclideCode* nuclideOfCode(std::string_view code);

}  // namespace trevik::dicom
