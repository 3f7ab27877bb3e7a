// trevik-dicom export: one projection source as one DICOM NM file.
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <signal.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/dicom/command.h"
#include "app/conversion/conversion.h"
#include "writer/output_file.h"

namespace trevik::dicom {

namespace {

// A finite decimal number, nothing before or after it.
bool parseDegrees(const std::string& text, double& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return *end == '\0' && std::isfinite(value);
}

}  // namespace

// Parses the options every command that exports accepts; `args[i]` is one
// of them. Returns 0 when taken, 2 after a usage error, -1 when it is not one.
int takeExportOption(const char* command, const std::vector<std::string>& args, std::size_t& i, NmOptions& options) {
    std::string value;
    bool missing = false;
    if (optionValue(args, i, "--start-angle", value, missing)) {
        if (missing) return usageError(command, "--start-angle needs a value");
        if (!parseDegrees(value, options.startAngle) || options.startAngle < 0 || options.startAngle >= 360)
            return usageError(command, "--start-angle takes degrees from 0 to below 360, not \"" + value + "\"");
        return 0;
    }
    if (optionValue(args, i, "--arc", value, missing)) {
        if (missing) return usageError(command, "--arc needs a value");
        if (!parseDegrees(value, options.arc) || options.arc <= 0 || options.arc > 360)
            return usageError(command, "--arc takes degrees above 0 and at most 360, not \"" + value + "\"");
        return 0;
    }
    if (optionValue(args, i, "--direction", value, missing)) {
        if (missing) return usageError(command, "--direction needs a value");
        if (value == "CW")
            options.direction = Rotation::Clockwise;
        else if (value == "CC")
            options.direction = Rotation::CounterClockwise;
        else
            return usageError(command, "--direction takes CW or CC, not \"" + value + "\"");
        return 0;
    }
    return -1;
}

int exportCommand(const std::vector<std::string>& args) {
    NmOptions options;
    std::vector<std::string> operands;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const int taken = takeExportOption("export", args, i, options);
        if (taken > 0) return taken;
        if (taken == 0) continue;
        if (args[i].size() > 1 && args[i][0] == '-') return usageError("export", "unknown option " + args[i]);
        operands.push_back(args[i]);
    }
    if (operands.size() != 2) return usageError("export", "needs a SOURCE and an OUTPUT.dcm");
    const std::string& source = operands[0];
    const std::string& output = operands[1];

    // Both paths are taken by the converter's rule before anything is read.
    auto report = [&](const Status& status) {
        const std::string line = "trevik-dicom export: " + printableName(status.where.output ? output : source) +
                                 ": " + statusWords(status) + "\n";
        std::fputs(line.c_str(), stderr);
        return status.code;
    };
    PathBuffer taken{};
    if (Status s = takePath(taken, source); !s.ok()) return report(s);
    if (Status s = takePath(taken, output); !s.ok()) {
        s.where.output = true;
        return report(s);
    }

    detail::removeTemporaryOnSignals();
    ::signal(SIGXFSZ, SIG_IGN);
    ::signal(SIGPIPE, SIG_IGN);

    std::vector<unsigned char> bytes;
    Status status;
    {
        DcmFileFormat file;
        status = composeSource(source.c_str(), options, file, "trevik-dicom export");
        if (status.ok()) status = encodeFile(file, bytes);
    }
    // A source file at the output, a projection file or a DICOM file (the
    // source itself, another study caught by a shell glob, an earlier
    // export) may be the only copy of a study: it is kept, as import keeps it.
    if (status.ok()) status = writeBytes(output.c_str(), bytes, isSourceFile);
    return status.ok() ? kOk : report(status);
}

}  // namespace trevik::dicom
