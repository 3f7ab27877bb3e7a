// trevik-dicom: DICOM for the converter's studies. The first argument names
// a subcommand from one table; the rest are that subcommand's.
#include <dcmtk/config/osconfig.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "app/dicom/command.h"
#include "app/launch/companion.h"
#include "dicom/dictionary.h"
#include "study/status.h"
#include "writer/output_file.h"

namespace {

using trevik::dicom::Command;

constexpr Command kCommands[] = {
    {"export", "[--start-angle DEG] [--arc DEG] [--direction CW|CC] SOURCE OUTPUT.dcm",
     trevik::dicom::exportCommand, &trevik::dicom::kExportHelp},
    {"send", "--to AET@HOST:PORT [--calling-aet AET] [--timeout S] [--tls-key KEY --tls-cert CERT --tls-ca CA] FILE...",
     trevik::dicom::sendCommand, &trevik::dicom::kSendHelp},
    {"import", "[--energy-window N|all] [--rr-interval N|all] SOURCE.dcm OUTPUT.gsd", trevik::dicom::importCommand,
     &trevik::dicom::kImportHelp},
    {"inspect", "[--tsv] [--qc OUT.png] [--cine OUT.gif] [--energy-window N] [--rr-interval N] FILE",
     trevik::dicom::inspectCommand, &trevik::dicom::kInspectHelp},
    {"receive", "--aet AET --port PORT --inbox DIR [--allow AET[@HOST]|cn=NAME]... [--keep DIR] [--peer AET=HOST:PORT]..."
                " [--listen ADDR]"
                " [--max-associations N] [--max-per-host N] [--max-memory MIB] [--max-object-size MIB]"
                " [--idle-timeout S] [--object-timeout S] [--association-timeout S]"
                " [--tls-key FILE --tls-cert FILE --tls-ca FILE] [--energy-window N|AET=N] [--rr-interval N|AET=N]"
                " [--qc] [--qc-pictures] [--unsafe-no-sync]",
     trevik::dicom::receiveCommand, &trevik::dicom::kReceiveHelp},
};

// One command's synopsis, folded between its bracketed options so that no
// line is wider than 79 columns; the lines after the first are indented
// under the first option.
void printSynopsis(std::FILE* out, const Command& command) {
    constexpr std::size_t kWidth = 79;
    std::string line = std::string("  trevik-dicom ") + command.name;
    const std::string indent(line.size() + 1, ' ');
    std::string_view rest = command.synopsis;
    while (!rest.empty()) {
        // The next option: up to a space outside brackets.
        std::size_t end = 0;
        for (int depth = 0; end < rest.size() && (depth > 0 || rest[end] != ' '); ++end)
            depth += rest[end] == '[' ? 1 : rest[end] == ']' ? -1 : 0;
        const std::string_view word = rest.substr(0, end);
        if (line.size() + 1 + word.size() > kWidth && line.size() > indent.size()) {
            std::fprintf(out, "%s\n", line.c_str());
            line = indent.substr(1);
        }
        line += ' ';
        line += word;
        rest.remove_prefix(end < rest.size() ? end + 1 : end);
    }
    std::fprintf(out, "%s\n", line.c_str());
}

void usage(std::FILE* out) {
    std::fputs("Usage:\n", out);
    for (const Command& command : kCommands) printSynopsis(out, command);
    std::fputs("  trevik-dicom --help | --version\n"
               "  trevik-dicom COMMAND --help\n"
               "\n"
               "export writes one projection source as a DICOM NM object (Part 10 file);\n"
               "send stores DICOM files and projection sources in a PACS over one association.\n"
               "import converts a DICOM NM object (gated or ungated SPECT projections) to a\n"
               "Gated SPECT data file as trevik converts a projection file; an object with\n"
               "several energy windows or R-R intervals needs --energy-window N or\n"
               "--rr-interval N; \"all\" writes one file each (OUTPUT-ew1.gsd, ...; with\n"
               "both OUTPUT-ew1-rr1.gsd, ...). Two detectors: the views of detector 2\n"
               "follow those of detector 1 in every division. The output never replaces\n"
               "a source file; a re-run of \"all\" replaces the .gsd files at its names.\n"
               "receive is a DICOM node: NM objects stored to it by C-STORE become .gsd files\n"
               "in the inbox, from the callers named with --allow only; it runs until SIGTERM.\n"
               "inspect shows the verdict trevik gives a DICOM file, the attributes used and\n"
               "the quality control of its frames (--tsv, --qc and --cine as trevik-inspect's);\n"
               "it lists the energy windows and R-R intervals of an object with several, and\n"
               "--energy-window N / --rr-interval N judge one.\n"
               "Every command's --help lists its options.\n"
               "Defaults for what the camera does not record: start angle 0, arc 180 degrees,\n"
               "clockwise, one detector, one energy window.\n"
               "\n"
               "Exit codes:\n"
               "  0  done: the file was written, every file was stored, inspected, or the node\n"
               "     was stopped\n"
               "  1  a file cannot be read or written, a file was not stored, or the node\n"
               "     cannot listen on its port or write its folders\n"
               "  2  not a source the converter reads, or a wrong command line\n"
               "  4  the source ends early (or its pixel data is shorter than its frames)\n"
               "  8  not enough memory\n",
               out);
}

}  // namespace

int main(int argc, char** argv) {
    // Started by trevik or trevik-inspect: nothing to do once that program
    // has ended, and an output put in place only while it lives.
    if (std::getenv(trevik::launch::kParentVariable)) {
        if (!trevik::launch::startedByLivingParent()) return trevik::kCannotOpen;
        trevik::detail::setPlacementCondition(trevik::launch::startedByLivingParent);
    }
    if (argc < 2) {
        usage(stderr);
        return 2;
    }
    const std::string name = argv[1];
    if (name == "--help" || name == "-h") {
        usage(stdout);
        return std::fflush(stdout) != 0;
    }
    const auto version = [] {
        return std::fputs(trevik::dicom::versionText("trevik-dicom", TREVIK_VERSION).c_str(), stdout) < 0 ||
               std::fflush(stdout) != 0;
    };
    if (name == "--version") return version();
    using trevik::options::Ask;
    for (const Command& command : kCommands) {
        if (name != command.name) continue;
        const std::vector<std::string> args(argv + 2, argv + argc);
        const Ask asked = trevik::options::ask(args, command.help->options);
        if (asked == Ask::Help) return trevik::options::printHelp(*command.help);
        if (asked == Ask::Version) return version();
        // DCMTK's dictionary from the compiled table before a command uses
        // DCMTK, not parsed from its text files at the first parse (unless
        // DCMDICTPATH names dictionaries); the help and the version, which
        // do not use it, do not make it.
        trevik::dicom::useCompiledDictionary();
        return command.run(args);
    }
    std::fprintf(stderr, "trevik-dicom: unknown %s \"%s\" (see trevik-dicom --help)\n",
                 name.size() > 1 && name[0] == '-' ? "option" : "command", name.c_str());
    return 2;
}
