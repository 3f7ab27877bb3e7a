// fuzz-replay [--seeds] PATH...: runs every fuzz target's checks on every file
// named, every file in every directory named (text files ending in ".md"
// excepted), and with --seeds on the synthesised seed studies. A broken
// promise aborts with a message; otherwise the exit code is 0, or 2 when a
// path cannot be read.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_targets.h"
#include "tests/fuzz/seed_studies.h"

namespace {

namespace fs = std::filesystem;

void checkAll(const std::uint8_t* data, std::size_t size) {
#ifdef TREVIK_REPLAY_DICOM
    trevik::fuzz::dicomInput(data, size);  // fuzz-replay-dicom: the DICOM target alone
#else
    trevik::fuzz::convertInput(data, size);
    trevik::fuzz::inspectInput(data, size);
#endif
}

bool replayFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "fuzz-replay: cannot read %s\n", path.c_str());
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::printf("replaying %s (%zu bytes)\n", path.c_str(), bytes.size());
    std::fflush(stdout);
    checkAll(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int replayed = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seeds") {
            for (const trevik::fuzz::Seed& seed : trevik::fuzz::seedStudies()) {
                std::printf("replaying seed %s (%zu bytes)\n", seed.name.c_str(), seed.bytes.size());
                std::fflush(stdout);
                checkAll(seed.bytes.data(), seed.bytes.size());
                ++replayed;
            }
            continue;
        }
        std::error_code ec;
        if (fs::is_directory(arg, ec)) {
            std::vector<fs::path> files;
            for (const fs::directory_entry& e : fs::directory_iterator(arg, ec))
                if (e.is_regular_file() && e.path().extension() != ".md") files.push_back(e.path());
            std::sort(files.begin(), files.end());
            for (const fs::path& f : files) {
                ok = replayFile(f) && ok;
                ++replayed;
            }
            if (ec) {
                std::fprintf(stderr, "fuzz-replay: cannot list %s\n", arg.c_str());
                ok = false;
            }
        } else {
            ok = replayFile(arg) && ok;
            ++replayed;
        }
    }
    std::printf("fuzz-replay: %d inputs replayed, every check held\n", replayed);
    return ok ? 0 : 2;
}
