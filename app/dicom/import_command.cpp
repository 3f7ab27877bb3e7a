// trevik-dicom import: one DICOM NM object (or a projection file) converted
// to a Gated SPECT data file through the converter's own flow, with its exit
// codes and output rules; trevik hands its DICOM sources over to it.
#include <dcmtk/config/osconfig.h>
#include <dcmtk/oflog/oflog.h>
#include <signal.h>

#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "app/conversion/conversion.h"
#include "app/dicom/command.h"
#include "reader/dicom/dicom_source.h"
#include "writer/output_file.h"

namespace trevik::dicom {

namespace {

// A value 1..65535 for --energy-window / --rr-interval.
bool parseChoice(const std::string& text, int& value) {
    if (text.empty() || text.size() > 5) return false;
    long v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (v < 1 || v > 65535) return false;
    value = static_cast<int>(v);
    return true;
}

}  // namespace

int takeChoiceOption(const char* command, const std::vector<std::string>& args, std::size_t& i, SourceChoice& choice) {
    std::string value;
    bool missing = false;
    for (auto [name, field] : {std::pair{"--energy-window", &choice.energyWindow}, {"--rr-interval", &choice.rrInterval}}) {
        if (!optionValue(args, i, name, value, missing)) continue;
        if (missing) return usageError(command, std::string(name) + " needs a value");
        if (!parseChoice(value, *field))
            return usageError(command, std::string(name) + " takes a number from 1 to 65535, not \"" + value + "\"");
        return 0;
    }
    return -1;
}

int importCommand(const std::vector<std::string>& args) {
    // The reason is said once, in the converter's words: DCMTK's own log
    // lines would repeat it in another form.
    OFLog::configure(OFLogger::OFF_LOG_LEVEL);
    SourceChoice choice;
    std::vector<std::string> operands;
    bool options = true;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (options && args[i] == "--") {
            options = false;
            continue;
        }
        if (options) {
            const int taken = takeChoiceOption("import", args, i, choice);
            if (taken > 0) return taken;
            if (taken == 0) continue;
            if (args[i].size() > 1 && args[i][0] == '-') return usageError("import", "unknown option " + args[i]);
        }
        operands.push_back(args[i]);
    }
    if (operands.size() != 2) return usageError("import", "needs a SOURCE.dcm and an OUTPUT.gsd");
    const std::string& source = operands[0];
    const std::string& output = operands[1];
    auto report = [&](const Status& status) {
        if (!status.ok()) {
            const std::string line = "trevik-dicom import: " +
                                     printableName(status.where.output ? output : source) + ": " +
                                     statusWords(status) + "\n";
            std::fputs(line.c_str(), stderr);
        }
        return status.code;
    };

    // As the batch converter: interruptions remove the temporary file, a
    // file-size limit or a closed pipe make the write fail with 1.
    detail::removeTemporaryOnSignals();
    ::signal(SIGXFSZ, SIG_IGN);
    ::signal(SIGPIPE, SIG_IGN);
    try {
        std::unique_ptr<Study> study(new Study());
        PathBuffer input{}, out{};
        Conversion conversion(*study, input, out);
        conversion.readDicomWith(loadDicomStudy, choice);
        return report(conversion.convert(source, output));
    } catch (const std::bad_alloc&) {
        return report(statusOf(Reason::NoMemory));
    }
}

}  // namespace trevik::dicom
