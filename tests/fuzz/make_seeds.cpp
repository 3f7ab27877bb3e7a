// fuzz-seeds DIRECTORY: writes the seed corpus of the fuzz target into
// DIRECTORY (created if missing). Exit code 0, or 1 when a file cannot be
// written.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "tests/fuzz/seed_studies.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    const std::filesystem::path directory = argv[1];
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    int written = 0;
    for (const trevik::fuzz::Seed& seed : trevik::fuzz::seedStudies()) {
        const std::filesystem::path path = directory / seed.name;
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(seed.bytes.data()), static_cast<std::streamsize>(seed.bytes.size()));
        out.close();
        if (!out) {
            std::fprintf(stderr, "fuzz-seeds: cannot write %s\n", path.c_str());
            return 1;
        }
        ++written;
    }
    std::printf("fuzz-seeds: %d seed files in %s\n", written, directory.c_str());
    return 0;
}
