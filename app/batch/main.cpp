// The converter's entry point. With exactly two arguments (source file,
// output file) it converts one study and reports the outcome only through
// the exit code: 0 written, or the first non-zero result of the load or the
// write (1, 2, 4, 8). "--help" (or "-h") and "--version" as the only
// argument print what they say. Any other command line replaces the process
// with the window program.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "reader/projection/element_stream.h"
#include "reader/projection/loader.h"
#include "study/rules.h"
#include "study/study.h"
#include "writer/gsd/gsd_writer.h"

namespace trevik {
namespace {

// The single instances of one run. The study is about 8 MiB, so it lives in
// static storage rather than on the stack; it starts all zero.
Study study;
PathBuffer inputPath;
PathBuffer outputPath;

constexpr const char* kWindowProgram = "trevik-window";
// Where the window program lies, relative to this program's directory: the
// build tree puts it beside trevik, an installation under lib/trevik.
constexpr const char* kWindowPlaces[] = {"", "../lib/trevik/"};

constexpr const char kUsage[] =
    "Usage: trevik SOURCE OUTPUT   convert one study without a window\n"
    "       trevik                 open the window to convert one study\n"
    "       trevik --help | --version\n"
    "\n"
    "Exit codes:\n"
    "  0    the output file was written completely\n"
    "  1    the source cannot be opened, or the output cannot be written\n"
    "       or is a projection file (kept: a projection file is never replaced)\n"
    "  2    the source is not a projection file, or a study the converter cannot hold\n"
    "  4    the source ends early\n"
    "  8    not enough memory\n"
    "  255  the window was cancelled; nothing was written\n";

// The batch conversion: what creating the main window does when the command
// line asked for batch mode. Returns the process exit code.
int FormCreate() {
    resetGating(study.record);
    if (const int loaded = loadStudy(inputPath.c_str(), study); loaded != kLoaded) return loaded;
    // A projection file at the output (the source itself, or another study
    // caught by a shell glob) is the camera's only copy: it is kept.
    return writeGsd(outputPath.c_str(), study, nullptr, isProjectionFile);
}

// Batch mode: the signals a conversion may meet. Interruptions remove the
// temporary file and end the process as they would; a file-size limit and
// a closed pipe make the failing write report 1 instead of killing the
// process. (Set here only: an ignored signal would survive the exec into
// the window program.)
int convert(const char* source, const char* output) {
    // A name longer than a path buffer holds is refused before anything is
    // read or written: cutting it would name another file.
    if (!inputPath.assign(source) || !outputPath.assign(output)) return kCannotOpen;
    removeTemporaryOnSignals();
    ::signal(SIGXFSZ, SIG_IGN);
    ::signal(SIGPIPE, SIG_IGN);
    try {
        return FormCreate();
    } catch (const std::bad_alloc&) {
        return kNoMemory;
    }
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
    char* const argv[] = {const_cast<char*>(kWindowProgram), nullptr};
    for (const char* place : kWindowPlaces) {
        const std::string program = directory + place + kWindowProgram;
        ::execv(program.c_str(), argv);
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) continue;  // not in this place
        std::fprintf(stderr, "trevik: cannot start the window program %s: %s\n", program.c_str(),
                     std::strerror(error));
        return 1;
    }
    std::fprintf(stderr, "trevik: the window program is not installed; install the package %s\n", kWindowProgram);
    return 1;
}

}  // namespace
}  // namespace trevik

int main(int argc, char** argv) {
    using namespace trevik;
    if (argc == 2) {
        const std::string_view option = argv[1];
        if (option == "--help" || option == "-h") return std::fputs(kUsage, stdout) < 0 || std::fflush(stdout) != 0;
        if (option == "--version")
            return std::printf("trevik %s\n", TREVIK_VERSION) < 0 || std::fflush(stdout) != 0;
    }
    if (argc != 3) return startWindow();
    return convert(argv[1], argv[2]);
}
