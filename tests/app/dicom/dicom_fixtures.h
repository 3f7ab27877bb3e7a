// Shared pieces of the trevik-dicom tests: the programs, studies
// synthesised and exported, the validator, and the comparison of two
// datasets.
#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/app/process.h"
#include "tests/support/temp_dir.h"

namespace trevik::test {

inline const std::string kTrevikDicom = TREVIK_DICOM_BIN;
inline const std::string kMakeStudy = MAKE_STUDY_BIN;

inline void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// A study synthesised with make-study `options` in `dir` and exported: the
// path of the export, empty when either step failed.
inline std::string synthesiseAndExport(std::vector<std::string> options, const TempDir& dir,
                                       const std::string& name = "study") {
    options.insert(options.end(), {"--output", dir.file(name + ".prj")});
    if (runProcess(kMakeStudy, options).exitCode != 0) return {};
    const ProcessResult exported = runProcess(kTrevikDicom, {"export", dir.file(name + ".prj"), dir.file(name + ".dcm")});
    EXPECT_EQ(exported.exitCode, 0) << exported.err;
    return exported.exitCode == 0 ? dir.file(name + ".dcm") : std::string();
}

// Every element of either dataset is in the other with the same value, and
// every frame holds the same samples.
inline void expectSameDataset(DcmDataset& sent, DcmDataset& back) {
    EXPECT_EQ(sent.card(), back.card());
    for (unsigned long i = 0; i < sent.card(); ++i) {
        DcmElement* element = sent.getElement(i);
        DcmElement* other = nullptr;
        ASSERT_TRUE(back.findAndGetElement(element->getTag(), other).good()) << element->getTag().toString();
        EXPECT_EQ(element->compare(*other), 0) << element->getTag().toString();
    }
    const Uint16 *a = nullptr, *b = nullptr;
    unsigned long na = 0, nb = 0;
    Sint32 frames = 1;
    sent.findAndGetSint32(DCM_NumberOfFrames, frames);
    ASSERT_TRUE(sent.findAndGetUint16Array(DCM_PixelData, a, &na).good() &&
                back.findAndGetUint16Array(DCM_PixelData, b, &nb).good() && na == nb && frames > 0);
    const unsigned long side = na / static_cast<unsigned long>(frames);
    for (Sint32 f = 0; f < frames; ++f) EXPECT_EQ(std::memcmp(a + f * side, b + f * side, side * 2), 0) << "frame " << f;
}

// dciodvfy's Error lines for the file at `path` (its exit status is no
// verdict), without its one known false positive: it looks for the Frame
// Increment Pointer inside the Time Slot Information Sequence's item, where
// it cannot be.
inline std::vector<std::string> validatorErrors(const std::string& path) {
    const ProcessResult run = runProcess("dciodvfy", {path});
    EXPECT_NE(run.err.find("NMImage"), std::string::npos) << "dciodvfy did not run: " << run.err;
    std::vector<std::string> errors;
    std::istringstream lines(run.out + run.err);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("Error", 0) != 0) continue;
        if (line == "Error - Attribute present when condition unsatisfied (which may not be present otherwise) "
                    "Type 2C Conditional Element=<TimeSlotInformationSequence> Module=<NMMultiGatedAcquisition>")
            continue;
        errors.push_back(line);
    }
    return errors;
}

}  // namespace trevik::test
