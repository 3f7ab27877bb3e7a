// The product's other programs, found where the window program is found:
// beside the running program (the build tree), then in ../lib/trevik/
// relative to it (an installation).
#pragma once

#include <string>
#include <vector>

namespace trevik::launch {

// The directory this program was started from, with a trailing slash;
// empty when the kernel cannot tell.
std::string ownDirectory();

// The places a companion program may lie, relative to ownDirectory().
inline constexpr const char* kCompanionPlaces[] = {"", "../lib/trevik/"};

// The path of the companion `name`: the first place that holds a file of
// that name; empty when none does (or the own directory is unknown).
std::string findCompanion(const char* name);

// How a companion run ended.
struct Outcome {
    enum class Kind {
        Exited,       // `code` is its exit code
        NotFound,     // no place holds it
        CannotStart,  // exec failed (`error`), or the dynamic loader could
                      // not start it (a missing library: exit 126 or 127)
        Signalled,    // ended by `signal`
    };
    Kind kind = Kind::NotFound;
    int code = 0;
    int error = 0;
    int signal = 0;
    std::string path;    // where it was found
    std::string output;  // its standard output, when captured
};

// The variable that tells a companion the process id of the program that
// started it.
inline constexpr const char* kParentVariable = "TREVIK_COMPANION_PARENT";

// For a companion: whether the program that started it (kParentVariable)
// is still its parent; true when no program said so.
bool startedByLivingParent();

// "SIGSEGV (Segmentation fault)": a signal's name and its description.
std::string signalName(int signal);

// Runs the companion `name` with `arguments` in a child process and waits
// for it, handing SIGTERM, SIGINT and SIGHUP on to it meanwhile; it ends
// when this program ends, SIGKILL included (call from the main thread:
// the kernel ties that to the thread that forks). Its
// standard error is this program's, its standard output too unless
// `captureOutput`. The companions never exit 126 or 127 themselves:
// those codes are the loader's, and count as CannotStart.
Outcome runCompanion(const char* name, const std::vector<std::string>& arguments, bool captureOutput = false);

}  // namespace trevik::launch
