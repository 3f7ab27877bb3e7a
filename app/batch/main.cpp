// The converter's entry point. With exactly two arguments (source file,
// output file) it converts one study and reports the outcome only through
// the exit code: 0 written, or the first non-zero result of the load or the
// write (1, 2, 4, 8). With any other command line it replaces itself with
// the window program that lies beside it.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "reader/loader.h"
#include "study/rules.h"
#include "study/study.h"
#include "writer/gsd_writer.h"

namespace trevik {
namespace {

// The single instances of one run. The study is about 8 MiB, so it lives in
// static storage rather than on the stack; it starts all zero.
Study study;
PathBuffer inputPath;
PathBuffer outputPath;

constexpr const char* kWindowProgram = "trevik-window";

// The batch conversion: what creating the main window does when the command
// line asked for batch mode. Returns the process exit code.
int FormCreate() {
    resetGating(study.record);
    if (const int loaded = loadStudy(inputPath.c_str(), study); loaded != kLoaded) return loaded;
    return writeGsd(outputPath.c_str(), study);
}

// The directory this program was started from, with a trailing slash;
// empty when the kernel cannot tell.
std::string ownDirectory() {
    std::string buffer(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= buffer.size()) return {};
    buffer.resize(static_cast<std::size_t>(n));
    const std::size_t slash = buffer.rfind('/');
    if (slash == std::string::npos) return {};
    return buffer.substr(0, slash + 1);
}

// Replaces this process with the window program, started without arguments,
// so that the run's exit code is the window's. Returns only when the program
// cannot be started.
int startWindow() {
    const std::string directory = ownDirectory();
    if (directory.empty()) {
        std::fprintf(stderr, "trevik: cannot find its own directory to start %s\n", kWindowProgram);
        return 1;
    }
    const std::string program = directory + kWindowProgram;
    char* const argv[] = {const_cast<char*>(kWindowProgram), nullptr};
    ::execv(program.c_str(), argv);
    const int error = errno;
    std::fprintf(stderr, "trevik: cannot start the window program %s: %s\n", program.c_str(), std::strerror(error));
    return 1;
}

}  // namespace
}  // namespace trevik

int main(int argc, char** argv) {
    using namespace trevik;
    if (argc != 3) return startWindow();

    // A name longer than a path buffer holds is refused before anything is
    // read or written: cutting it would name another file.
    if (!inputPath.assign(argv[1]) || !outputPath.assign(argv[2])) return kCannotOpen;
    return FormCreate();
}
