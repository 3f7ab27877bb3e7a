// What the subcommands of trevik-dicom share: their table entry, the words
// for a status, the loading of a projection source into the NM object.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "app/options/option_table.h"
#include "study/qc.h"
#include "study/status.h"
#include "reader/dicom/dicom_source.h"
#include "writer/dicom/nm_object.h"

namespace trevik::dicom {

// One subcommand: its name, a one-line synopsis, its entry point, given
// the arguments after the name (returns the process exit code), and its
// option table with the help made from it.
struct Command {
    const char* name;
    const char* synopsis;
    int (*run)(const std::vector<std::string>& args);
    const options::Help* help;
};

// The subcommands' option tables and help (command_help.cpp).
extern const options::Help kExportHelp, kSendHelp, kImportHelp, kInspectHelp, kReceiveHelp;

// What --version prints: `program` `version`, then the DCMTK, OpenSSL and
// OpenJPEG it was built with (and the two latter as they run), a line each:
// "OpenSSL: built with 3.0.11, runs 3.0.13".
std::string versionText(const char* program, const char* version);

int exportCommand(const std::vector<std::string>& args);
int sendCommand(const std::vector<std::string>& args);
int importCommand(const std::vector<std::string>& args);
int inspectCommand(const std::vector<std::string>& args);

// --energy-window N / --rr-interval N at args[i]: 0 when taken, 2 after a
// usage error, -1 when args[i] is not one.
int takeChoiceOption(const char* command, const std::vector<std::string>& args, std::size_t& i, SourceChoice& choice);
int receiveCommand(const std::vector<std::string>& args);

// An AE title: 1 to 16 characters, no backslash or control character, not
// only spaces.
bool validAeTitle(const std::string& title);

// A wrong command line: one message and the usage hint on standard error.
// Returns 2.
int usageError(const char* command, const std::string& message);

// "--name VALUE" or "--name=VALUE" at args[i]: true when args[i] is the
// option, with `value` set (and i moved past it); `missing` when no value
// follows.
bool optionValue(const std::vector<std::string>& args, std::size_t& i, std::string_view name, std::string& value,
                 bool& missing);

// The options of the NM object (--start-angle, --arc, --direction) at
// args[i]: 0 when taken, 2 after a usage error, -1 when args[i] is not one.
int takeExportOption(const char* command, const std::vector<std::string>& args, std::size_t& i, NmOptions& options);

// Loads the projection source at `path` as the camera stored it, with the
// digest of its bytes in options.sourceDigest.
Status loadSource(const char* path, StudyFacts& facts, CameraFrames& frames, NmOptions& options);

// Composes the NM object of a projection source; warnings go to standard
// error, prefixed with `who`.
Status composeSource(const char* path, NmOptions options, DcmFileFormat& file, const char* who);

}  // namespace trevik::dicom
