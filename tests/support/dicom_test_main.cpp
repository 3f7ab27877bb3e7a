// The main of the test programs that use DCMTK: its data dictionary made
// from the compiled table first, as every program of the project does.
#include <gtest/gtest.h>

#include "dicom/dictionary.h"

int main(int argc, char** argv) {
    trevik::dicom::useCompiledDictionary();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
