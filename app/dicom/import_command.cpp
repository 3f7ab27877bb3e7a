// trevik-dicom import: one DICOM NM object (or a projection file) converted
// to a Gated SPECT data file through the converter's own flow, with its exit
// codes and output rules; trevik hands its DICOM sources over to it. With
// "all" in place of an energy window or R-R interval it writes one file for
// each, named by a suffix; a window or interval taken out of several is
// named in the file's comment.
#include <dcmtk/config/osconfig.h>
#include <dcmtk/oflog/oflog.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "app/conversion/conversion.h"
#include "app/dicom/choice_files.h"
#include "app/dicom/command.h"
#include "reader/dicom/dicom_source.h"
#include "reader/dicom/object_read.h"
#include "study/frame_sink.h"
#include "writer/gsd/gsd_format.h"
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

// "--energy-window all" / "--rr-interval all" at args[i]: true when taken
// (i moved past it); anything else is left to takeChoiceOption.
struct AllChoices {
    bool windows = false;
    bool intervals = false;
};

bool takeAllOption(const std::vector<std::string>& args, std::size_t& i, AllChoices& all) {
    for (auto [name, flag] : {std::pair{"--energy-window", &all.windows}, {"--rr-interval", &all.intervals}}) {
        std::size_t at = i;
        std::string value;
        bool missing = false;
        if (!optionValue(args, at, name, value, missing) || missing || value != "all") continue;
        *flag = true;
        i = at;
        return true;
    }
    return false;
}

// `output` with `suffix` before the extension of its last component
// ("a/s.gsd" and "-ew2" give "a/s-ew2.gsd"), or after a name without one.
std::string suffixed(const std::string& output, const std::string& suffix) {
    const std::size_t nameStart = output.rfind('/') == std::string::npos ? 0 : output.rfind('/') + 1;
    const std::size_t dot = output.rfind('.');
    if (dot == std::string::npos || dot <= nameStart) return output + suffix;
    return output.substr(0, dot) + suffix + output.substr(dot);
}

// One conversion of `source` to `output` taking `choice`, in a study of
// its own; a DICOM source read by `reader`.
Status convertOne(const std::string& source, const std::string& output, const SourceChoice& choice,
                  const DicomReader& reader = loadDicomStudy) {
    const HeapStudy study = newStudy();
    if (!study) return statusOf(Reason::NoMemory);
    PathBuffer input{}, out{};
    Conversion conversion(*study, input, out);
    conversion.readDicomWith(reader, choice);
    return conversion.convert(source, output);
}

struct Job {
    std::string output;
    SourceChoice choice;
};

// Whether the name holds a regular file (not a link to one) whose content
// is a Gated SPECT data file: one that a run may replace, as a single
// import replaces its earlier output.
bool holdsGsdFile(const std::string& name) {
    const int fd = ::open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    struct stat st {};
    char head[gsd::kMagic.size()];
    const bool gsd = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                     ::read(fd, head, sizeof head) == static_cast<ssize_t>(sizeof head) &&
                     std::string_view(head, sizeof head) == gsd::kMagic;
    ::close(fd);
    return gsd;
}

// The conversions "all" asks for: one per energy window and R-R interval of
// the source, each output named by its suffix. A name may hold a .gsd
// file (an earlier run's), which is replaced; anything else there (a
// source, a link, a folder, any other file) ends the run before anything
// is written (1, naming it).
Status planAll(const std::string& source, const std::string& output, const SourceChoice& choice,
               const AllChoices& all, HeldObject& held, std::vector<Job>& jobs, std::string& failedName) {
    failedName = source;
    // Each window's frames are read alone, into one buffer, as it is
    // converted.
    if (isDicomFile(source.c_str()))
        if (Status s = held.read(source.c_str(), true); !s.ok()) return s;
    const Acquisition none{};
    const Acquisition& a = held.object() ? held.object()->facts.acquisition : none;
    const std::vector<int> windows = all.windows ? choiceNumbers(a.energyWindows) : std::vector<int>{choice.energyWindow};
    const std::vector<int> intervals = all.intervals ? choiceNumbers(a.rrIntervals) : std::vector<int>{choice.rrInterval};
    for (const int w : windows)
        for (const int r : intervals) {
            jobs.push_back({suffixed(output, choiceSuffix({w, r}, all.windows, all.intervals)), {w, r}});
            struct stat st {};
            if (::lstat(jobs.back().output.c_str(), &st) == 0 && !holdsGsdFile(jobs.back().output)) {
                failedName = jobs.back().output;
                Status s = statusOf(Reason::CannotWrite, EEXIST);
                s.where.output = true;
                return s;
            }
        }
    return {};
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
    AllChoices all;
    std::vector<std::string> operands;
    bool options = true;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (options && args[i] == "--") {
            options = false;
            continue;
        }
        if (options) {
            if (takeAllOption(args, i, all)) continue;
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
    auto report = [&](const Status& status, const std::string& written) {
        if (!status.ok()) {
            const std::string line = "trevik-dicom import: " +
                                     printableName(status.where.output ? written : source) + ": " +
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
        if (!all.windows && !all.intervals) return report(convertOne(source, output, choice), output);
        // Every name is checked before the first is written; a failed
        // conversion ends the run, the files written before it stay whole.
        std::vector<Job> jobs;
        std::string failed;
        const std::unique_ptr<HeldObject> held(new HeldObject());
        if (Status s = planAll(source, output, choice, all, *held, jobs, failed); !s.ok()) return report(s, failed);
        const DicomReader reader = [&held](const char* path, StudyFacts& facts, FrameSink& sink,
                                           const SourceChoice& taken, const LoadOptions& options) {
            return held->load(path, facts, sink, taken, options);
        };
        for (const Job& job : jobs)
            if (Status s = convertOne(source, job.output, job.choice, reader); !s.ok()) return report(s, job.output);
        return 0;
    } catch (const std::bad_alloc&) {
        return report(statusOf(Reason::NoMemory), output);
    }
}

}  // namespace trevik::dicom
