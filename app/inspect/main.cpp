// trevik-inspect [--tsv] [--png OUT.png] FILE...: shows what the converter
// makes of each file without changing anything: a report block per file, or
// with --tsv one line per file and a summary on standard error; with --png a
// montage of the frames of each file.
//
// Exit codes: 0 every file was inspected (whatever its verdict), 1 a file
// could not be read or a picture could not be written, 2 a wrong command line.
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/inspect/inspection.h"
#include "app/inspect/png_montage.h"

namespace {

using namespace trevik::inspect;

constexpr const char* kUsageLine = "usage: trevik-inspect [--tsv] [--png OUT.png] FILE...\n";
constexpr const char* kHelp =
    "Shows what trevik makes of each FILE, changing nothing: for a projection\n"
    "file its recognition, every header element as the reader takes it, the\n"
    "geometry, samples that wrap, and the exit code trevik gives with the\n"
    "reason; for a Gated SPECT data file its header, length and frame values.\n"
    "\n"
    "  --tsv          one line per file: path, kind, exit code, reason, wrapped\n"
    "                 samples (tab-separated; \\t, \\n, \\r and \\\\ escaped); a\n"
    "                 summary on standard error\n"
    "  --png OUT.png  a montage of the frames, one row per division; with several\n"
    "                 files OUT-0001.png, OUT-0002.png, ... in argument order\n"
    "  --             every later argument is a file\n"
    "\n"
    "Exit codes: 0 every file inspected, 1 a file could not be read or a picture\n"
    "not written, 2 a wrong command line.\n";

int usageError(const std::string& message) {
    std::fprintf(stderr, "trevik-inspect: %s\n%s", message.c_str(), kUsageLine);
    return 2;
}

// OUT.png itself for one file; OUT-0001.png, OUT-0002.png, ... for several.
std::string pictureName(const std::string& out, std::size_t index, std::size_t count) {
    if (count == 1) return out;
    const std::string_view extension = ".png";
    std::string stem = out;
    if (stem.size() > extension.size() && std::string_view(stem).ends_with(extension))
        stem.resize(stem.size() - extension.size());
    std::string number = std::to_string(index + 1);
    if (number.size() < 4) number.insert(0, 4 - number.size(), '0');
    return stem + "-" + number + ".png";
}

// The progress line on a terminal: files done of the total.
class Progress {
public:
    Progress(bool shown, std::size_t total) : shown_(shown), total_(total) {}
    void update(std::size_t done) {
        if (!shown_) return;
        const std::string line = "trevik-inspect: " + std::to_string(done) + " of " + std::to_string(total_) + " files";
        std::fprintf(stderr, "\r%s", line.c_str());
        std::fflush(stderr);
        width_ = line.size();
    }
    void clear() {
        if (shown_ && width_ > 0) std::fprintf(stderr, "\r%s\r", std::string(width_, ' ').c_str());
    }

private:
    bool shown_;
    std::size_t total_;
    std::size_t width_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    bool tsv = false;
    std::optional<std::string> png;
    std::vector<std::string> files;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (options && arg.size() > 1 && arg[0] == '-') {
            if (arg == "--") {
                options = false;
            } else if (arg == "--help") {
                std::fputs(kUsageLine, stdout);
                std::fputs(kHelp, stdout);
                return 0;
            } else if (arg == "--tsv") {
                tsv = true;
            } else if (arg == "--png" || arg.starts_with("--png=")) {
                if (png) return usageError("--png is given twice");
                if (arg == "--png" && i + 1 >= argc) return usageError("--png needs a file name");
                png = arg == "--png" ? std::string(argv[++i]) : std::string(arg.substr(6));
                if (png->empty()) return usageError("--png needs a file name");
            } else {
                return usageError("unknown option " + std::string(arg));
            }
            continue;
        }
        files.emplace_back(arg);
    }
    if (files.empty()) return usageError("no file to inspect");

    Progress progress(tsv && files.size() > 4 && ::isatty(STDERR_FILENO), files.size());
    std::map<int, std::size_t> perCode;
    bool failed = false;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string& path = files[i];
        Inspection ins;
        try {
            ins = inspectFile(path, png.has_value());
        } catch (const std::bad_alloc&) {
            progress.clear();
            std::fprintf(stderr, "trevik-inspect: %s: not enough memory to inspect it\n", path.c_str());
            failed = true;
            continue;
        }
        ++perCode[ins.verdict.code];
        failed = failed || ins.verdict.unreadable;
        if (tsv) {
            std::fputs(tsvLine(path, ins.verdict).c_str(), stdout);
        } else {
            if (i > 0) std::fputc('\n', stdout);
            std::fputs(ins.report.c_str(), stdout);
        }
        if (png) {
            const std::string name = pictureName(*png, i, files.size());
            const char* problem = nullptr;
            if (ins.montage.width == 0)
                problem = ins.noMontage.c_str();
            else if (!writePng(name, ins.montage))
                problem = "cannot be written";
            if (problem) {
                progress.clear();
                std::fprintf(stderr, "trevik-inspect: no picture %s for %s: %s\n", name.c_str(), path.c_str(),
                             problem);
                failed = true;
            }
        }
        progress.update(i + 1);
    }
    progress.clear();

    if (tsv) {
        std::string summary = "trevik-inspect: " + std::to_string(files.size()) + (files.size() == 1 ? " file" : " files");
        const char* separator = "; exit code ";
        for (const auto& [code, count] : perCode) {
            summary += separator + std::to_string(code) + ": " + std::to_string(count);
            separator = ", ";
        }
        std::fprintf(stderr, "%s\n", summary.c_str());
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "trevik-inspect: cannot write the report to standard output\n");
        return 1;
    }
    return failed ? 1 : 0;
}
