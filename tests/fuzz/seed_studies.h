// The seed inputs of the fuzz target: small, valid source files made by the
// study synthesiser, one for every combination of geometry (64, 128),
// sample form (integer, float), gating (gated, ungated) and frame order
// (forward, reversed). A few images each, so that one run stays fast.
#pragma once

#include <string>
#include <vector>

namespace trevik::fuzz {

struct Seed {
    std::string name;  // a file name, e.g. "m128-float-gated-reversed.prj"
    std::vector<unsigned char> bytes;
};

std::vector<Seed> seedStudies();

}  // namespace trevik::fuzz
