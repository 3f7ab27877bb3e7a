// Shared pieces of the end-to-end tests: the programs under test, source
// files built with the synthesiser, and small file-system helpers.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/app/process.h"
#include "tests/support/temp_dir.h"
#include "tools/synth/source_file.h"

namespace trevik::test {

inline const std::string kTrevik = TREVIK_BIN;
inline const std::string kMakeStudy = MAKE_STUDY_BIN;
inline const std::string kSamplesDir = TREVIK_SAMPLES_DIR;

inline ProcessResult runTrevik(const std::vector<std::string>& args) { return runProcess(kTrevik, args); }

// The sample of image i at (y, x) of the default test study: varied, with
// negative values, so that any misplaced or misconverted sample shows.
inline double patternSample(int i, int y, int x) { return (i * 131 + y * 17 + x * 3) % 2000 - 500; }

// A gated 64 x 64 integer study of 8 divisions x 32 frames with the
// synthesiser's default patient facts.
inline synth::StudyPlan gated64() {
    synth::StudyPlan plan;
    plan.matrix = 64;
    plan.hr = 60;
    plan.division = 8;
    plan.images = 256;
    plan.sample = patternSample;
    return plan;
}

inline std::string saveStudy(const synth::StudyPlan& plan, const std::string& path) {
    synth::buildStudy(plan).save(path);
    return path;
}

inline void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// The names in a directory, sorted.
inline std::vector<std::string> listDirectory(const std::string& path) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace trevik::test
