// The SNOMED CT codes of the radionuclides the study knows (study/tracer.h),
// as the Radionuclide Code Sequence holds them.
#pragma once

#include <string_view>

#include "study/tracer.h"

namespace trevik::dicom {

struct NuclideCode {
    Tracer tracer;
    const char* code;     // Code Value, scheme SCT
    const char* meaning;  // Code Meaning
};

// The code of the tracer a camera's spelling names ("99mTc", ...); null for
// any other text.
const NuclideCode* nuclideCode(std::string_view tracer);
// The nuclide of a SNOMED CT code value; null for any other code.
const NuclideCode* nuclideOfCode(std::string_view code);

}  // namespace trevik::dicom
