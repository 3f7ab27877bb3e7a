#include "tests/fuzz/seed_studies.h"

#include "tools/synth/source_file.h"

namespace trevik::fuzz {

std::vector<Seed> seedStudies() {
    std::vector<Seed> seeds;
    for (const int matrix : {64, 128}) {
        for (const bool floats : {false, true}) {
            for (const bool gated : {true, false}) {
                for (const bool reverse : {false, true}) {
                    synth::StudyPlan plan;
                    plan.matrix = matrix;
                    plan.floats = floats;
                    // Gated: two divisions of two frames; ungated: three
                    // images. A 128 x 128 study has one image (gated: one
                    // division), so that every seed stays within the
                    // fuzzer's input length of about 70 KB.
                    plan.hr = gated ? 60 : 0;
                    plan.division = gated ? (matrix == 128 ? 1 : 2) : 0;
                    plan.images = matrix == 128 ? 1 : gated ? 4 : 3;
                    plan.reverse = reverse;
                    plan.slicePixels = matrix == 128 ? 2 : 1;
                    plan.pixelSpacing = matrix == 128 ? "3.2\\3.2" : "6.4\\6.4";
                    std::string name = matrix == 128 ? "m128" : "m64";
                    name += floats ? "-float" : "-int";
                    name += gated ? "-gated" : "-ungated";
                    if (reverse) name += "-reversed";
                    name += ".prj";
                    seeds.push_back({std::move(name), synth::buildStudy(plan).data()});
                }
            }
        }
    }
    return seeds;
}

}  // namespace trevik::fuzz
