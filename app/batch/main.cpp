// The converter's entry point. Its options come out of the command line
// first ("--help" or "-h", "--version"; "--" ends them); the arguments left
// decide the mode. Exactly two (source file, output file) convert one study
// and report the outcome through the exit code: 0 written, or the first
// non-zero result of the load or the write (1, 2, 4, 8), with one line on
// standard error that says why; a DICOM source is handed to
// "trevik-dicom import", whose code and line they then are. Any other count
// replaces the process with the window program, which is given a single
// argument as the file to open. An unknown option gives the usage on
// standard error and exit code 1.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "app/conversion/conversion.h"
#include "app/launch/companion.h"
#include "reader/dicom/part10.h"
#include "study/study.h"
#include "writer/output_file.h"

namespace trevik {
namespace {

// The single instances of one run. The study is about 8 MiB, so it lives in
// static storage rather than on the stack; it starts all zero.
Study study;
PathBuffer inputPath;
PathBuffer outputPath;

constexpr const char* kWindowProgram = "trevik-window";
// The converter of DICOM sources, in its own package (it links DCMTK, which
// trevik never does). Both lie where app/launch/companion.h looks: beside
// trevik in the build tree, under lib/trevik in an installation.
constexpr const char* kDicomProgram = "trevik-dicom";

constexpr const char kUsage[] =
    "Usage: trevik SOURCE OUTPUT   convert one study without a window\n"
    "       trevik [SOURCE]        open the window (with SOURCE selected)\n"
    "       trevik --help | --version\n"
    "\n"
    "\"--\" ends the options: \"trevik -- -a.prj out.gsd\" converts -a.prj.\n"
    "A DICOM source (a Part 10 file of an NM object) is converted by\n"
    "\"trevik-dicom import\" (package trevik-dicom) with the same exit codes.\n"
    "\n"
    "Exit codes:\n"
    "  0    the output file was written completely\n"
    "  1    the source cannot be opened, the output cannot be written or is a\n"
    "       source file (kept: a projection or DICOM file is never replaced), an\n"
    "       unknown option was given, or trevik-dicom cannot start\n"
    "  2    the source is not a projection or DICOM NM file, or a study the\n"
    "       converter cannot hold, or a DICOM source without trevik-dicom installed\n"
    "  4    the source ends early\n"
    "  8    not enough memory\n"
    "  255  the window was cancelled; nothing was written\n";

// The one line a failed conversion leaves on standard error:
// "trevik: NAME: reason", NAME being the file the failure concerns.
int report(const Status& status, const char* source, const char* output) {
    if (!status.ok()) {
        const std::string line = "trevik: " + printableName(status.where.output ? output : source) + ": " +
                                 statusWords(status) + "\n";
        std::fputs(line.c_str(), stderr);
    }
    return status.code;
}

// The batch conversion: what creating the main window does when the command
// line asked for batch mode. Returns the process exit code.
int FormCreate(const char* source, const char* output) {
    Conversion conversion(study, inputPath, outputPath);
    return report(conversion.convert(source, output), source, output);
}

// Batch mode: the signals a conversion may meet. Interruptions remove the
// temporary file and end the process as they would; a file-size limit and
// a closed pipe make the failing write report 1 instead of killing the
// process. (Set here only: an ignored signal would survive the exec into
// the window program.)
int convert(const char* source, const char* output) {
    detail::removeTemporaryOnSignals();
    ::signal(SIGXFSZ, SIG_IGN);
    ::signal(SIGPIPE, SIG_IGN);
    try {
        return FormCreate(source, output);
    } catch (const std::bad_alloc&) {
        return report(statusOf(Reason::NoMemory), source, output);
    }
}

// Replaces this process with the window program, so that the run's exit
// code is the window's. A single argument is handed on as the file to open
// (after "--", so that the window program takes no name for an option);
// other counts start it without arguments. Returns only when the program
// cannot be started.
int startWindow(const std::vector<const char*>& arguments) {
    const std::string directory = launch::ownDirectory();
    if (directory.empty()) {
        std::fprintf(stderr, "trevik: cannot find its own directory to start %s\n", kWindowProgram);
        return 1;
    }
    std::vector<char*> argv = {const_cast<char*>(kWindowProgram)};
    if (arguments.size() == 1) {
        argv.push_back(const_cast<char*>("--"));
        argv.push_back(const_cast<char*>(arguments.front()));
    }
    argv.push_back(nullptr);
    for (const char* place : launch::kCompanionPlaces) {
        const std::string program = directory + place + kWindowProgram;
        ::execv(program.c_str(), argv.data());
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR) continue;  // not in this place
        std::fprintf(stderr, "trevik: cannot start the window program %s: %s\n", program.c_str(),
                     std::strerror(error));
        return 1;
    }
    std::fprintf(stderr, "trevik: the window program is not installed; install the package %s\n", kWindowProgram);
    return 1;
}

// A DICOM source: the conversion is handed to "trevik-dicom import" in a
// child process, whose exit code (0, 1, 2, 4, 8) and failure line become
// this run's. Without trevik-dicom: 2, naming its package. A trevik-dicom
// that the dynamic loader cannot start (a library missing) exits 126 or
// 127, codes of no conversion: this run gives 1 with the reason instead.
int handOverDicom(const char* source, const char* output) {
    const launch::Outcome outcome = launch::runCompanion(kDicomProgram, {"import", "--", source, output});
    auto line = [&](const std::string& words) {
        const std::string text = "trevik: " + printableName(source) + ": " + words + "\n";
        std::fputs(text.c_str(), stderr);
    };
    switch (outcome.kind) {
    case launch::Outcome::Kind::Exited: return outcome.code;
    case launch::Outcome::Kind::NotFound:
        line(statusWords(statusOf(Reason::DicomNeedsTrevikDicom)));
        return kNotSupported;
    case launch::Outcome::Kind::CannotStart:
        line(outcome.error != 0 ? "cannot start " + outcome.path + " to convert this DICOM file: " +
                                      std::strerror(outcome.error)
                                : "cannot start " + outcome.path +
                                      " to convert this DICOM file: a library it needs is missing or unusable "
                                      "(the loader's message is above); reinstall the package trevik-dicom");
        return kCannotOpen;
    case launch::Outcome::Kind::Signalled:
        // An interruption ends this run as it ended the conversion; any
        // other signal (a crash, a kill) is said, with its name.
        if (outcome.signal == SIGINT || outcome.signal == SIGTERM || outcome.signal == SIGHUP) {
            ::signal(outcome.signal, SIG_DFL);
            ::raise(outcome.signal);
        }
        line(kDicomProgram + std::string(" ended by ") + launch::signalName(outcome.signal) +
             " while converting this DICOM file");
        return kCannotOpen;
    }
    return kCannotOpen;
}

}  // namespace
}  // namespace trevik

int main(int argc, char** argv) {
    using namespace trevik;
    // The options come out first, wherever they stand before "--"; "-"
    // alone is a file name (as for most programs, standard input).
    bool help = false;
    bool version = false;
    const char* unknown = nullptr;
    std::vector<const char*> arguments;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (!options || arg.size() < 2 || arg[0] != '-') {
            arguments.push_back(argv[i]);
        } else if (arg == "--") {
            options = false;
        } else if (arg == "--help" || arg == "-h") {
            help = true;
        } else if (arg == "--version") {
            version = true;
        } else if (!unknown) {
            unknown = argv[i];
        }
    }
    if (unknown) {
        // 1, not 2: 2 means a source that is not a projection file.
        std::fprintf(stderr, "trevik: unknown option %s\n%s", unknown, kUsage);
        return 1;
    }
    if (help) return std::fputs(kUsage, stdout) < 0 || std::fflush(stdout) != 0;
    if (version) return std::printf("trevik %s\n", TREVIK_VERSION) < 0 || std::fflush(stdout) != 0;
    if (arguments.size() != 2) return startWindow(arguments);
    // A DICOM source is recognised by its marker alone, before the signal
    // handling of a conversion is set up: the conversion runs elsewhere.
    if (dicom::isDicomFile(arguments[0])) return handOverDicom(arguments[0], arguments[1]);
    return convert(arguments[0], arguments[1]);
}
