// trevik-inspect [--tsv] [--png OUT.png] [--qc OUT.png] [--cine OUT.gif]
// FILE...: shows what the converter makes of each file without changing
// anything: a report block per file, or with --tsv one line per file and a
// summary on standard error; with --png a montage of the frames of each
// file, with --qc and --cine the quality control's page and cine. A directory stands for the regular
// files under it, in byte order of their names, symbolic links not followed.
// A picture never replaces a file being inspected, nor any file that is not
// a PNG picture.
//
// Exit codes: 0 every file was inspected (whatever its verdict), 1 a file
// could not be read, a picture could not be written or would replace what it
// must not (then nothing is written), 2 a wrong command line.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <map>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/inspect/inspection.h"
#include "app/inspect/png_montage.h"
#include "app/inspect/qc_pictures.h"
#include "study/status.h"

namespace {

using namespace trevik::inspect;

constexpr const char* kUsageLine = "usage: trevik-inspect [--tsv] [--png OUT.png] [--qc OUT.png] [--cine OUT.gif] FILE...\n";
constexpr const char* kVersion = "trevik-inspect " TREVIK_VERSION "\n";
constexpr const char* kHelp =
    "Shows what trevik makes of each FILE, changing nothing: for a projection\n"
    "file its recognition, every header element as the reader takes it, the\n"
    "geometry, samples that wrap, and the exit code trevik gives with the\n"
    "reason; for a Gated SPECT data file its header, length and frame values;\n"
    "a DICOM file is handed to \"trevik-dicom inspect\" (package trevik-dicom),\n"
    "which gives trevik's verdict, the attributes it used and the same quality\n"
    "control (with --tsv, --qc and --cine passed on).\n"
    "A directory stands for every regular file under it, in byte order of the\n"
    "names; symbolic links inside it are not followed.\n"
    "\n"
    "  --tsv          one line per file: path, kind, exit code, reason, wrapped\n"
    "                 samples, warnings, picture (tab-separated; \\t, \\n, \\r and\n"
    "                 \\\\ escaped, every other control byte as \\xNN); a summary on\n"
    "                 standard error\n"
    "  --png OUT.png  a montage of the frames, one row per division, in one grey\n"
    "                 scale with its bar, wrapped samples in red; with several\n"
    "                 files OUT-0001.png, OUT-0002.png, ... in the order inspected.\n"
    "                 A picture never replaces a file inspected or a file that is\n"
    "                 not a PNG picture: such a run is refused, nothing written\n"
    "  --qc OUT.png   the quality control's page: sinogram, linogram, gate count\n"
    "                 curve, the heart's centroid tracks, thresholds and verdict\n"
    "  --cine OUT.gif the summed-gate views in acquisition order, looping\n"
    "                 (both named and guarded as --png's pictures)\n"
    "  --version      the version\n"
    "  --             every later argument is a file\n"
    "\n"
    "Exit codes: 0 every file inspected, 1 a file could not be read or a picture\n"
    "not written (or refused), 2 a wrong command line.\n";

int usageError(const std::string& message) {
    std::fprintf(stderr, "trevik-inspect: %s\n%s", message.c_str(), kUsageLine);
    return 2;
}

// `name` joined to the directory `directory`.
std::string joinPath(const std::string& directory, const std::string& name) {
    return directory.ends_with('/') ? directory + name : directory + "/" + name;
}

// Appends to `files` the regular files under the directory `path`, in byte
// order of their names, a subdirectory's files at the place of its name.
// Symbolic links and other special files are skipped; `open` holds the
// directories being walked (device and inode), so that none is entered
// twice. False (with a line on standard error) when a directory cannot be
// read; what can be read is still listed.
bool walkDirectory(const std::string& path, std::vector<std::string>& files,
                   std::set<std::pair<dev_t, ino_t>>& open) {
    DIR* directory = ::opendir(path.c_str());
    if (!directory) {
        std::fprintf(stderr, "trevik-inspect: %s: the directory cannot be read: %s\n", trevik::printableName(path).c_str(),
                     std::strerror(errno));
        return false;
    }
    struct stat self {};
    if (::fstat(::dirfd(directory), &self) != 0 || !open.insert({self.st_dev, self.st_ino}).second) {
        ::closedir(directory);
        return true;
    }
    std::vector<std::string> names;
    bool complete = true;
    errno = 0;
    while (const dirent* entry = ::readdir(directory)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
        errno = 0;
    }
    if (errno != 0) {
        std::fprintf(stderr, "trevik-inspect: %s: the directory cannot be read to its end: %s\n",
                     trevik::printableName(path).c_str(), std::strerror(errno));
        complete = false;
    }
    // std::string compares its bytes as unsigned char: byte order.
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        struct stat entry {};
        const std::string full = joinPath(path, name);
        if (::fstatat(::dirfd(directory), name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
            std::fprintf(stderr, "trevik-inspect: %s: %s\n", trevik::printableName(full).c_str(), std::strerror(errno));
            complete = false;
        } else if (S_ISREG(entry.st_mode)) {
            files.push_back(full);
        } else if (S_ISDIR(entry.st_mode)) {
            complete = walkDirectory(full, files, open) && complete;
        }
    }
    ::closedir(directory);
    open.erase({self.st_dev, self.st_ino});
    return complete;
}

// The files to inspect, as a picture name is compared with them: by device
// and inode where they exist, by absolute path where they do not (yet).
class Inputs {
public:
    explicit Inputs(const std::vector<std::string>& files) {
        for (const std::string& file : files) {
            struct stat st {};
            if (::stat(file.c_str(), &st) == 0)
                existing_.insert({st.st_dev, st.st_ino});
            else
                missing_.insert(absolute(file));
        }
    }
    bool holds(const std::string& name, const struct stat* st) const {
        return st ? existing_.contains({st->st_dev, st->st_ino}) : missing_.contains(absolute(name));
    }

private:
    static std::string absolute(const std::string& name) {
        std::error_code ignored;
        return std::filesystem::weakly_canonical(name, ignored).string();
    }
    std::set<std::pair<dev_t, ino_t>> existing_;
    std::set<std::string> missing_;
};

// The three kinds of picture a run can write, each with its option.
struct PictureOption {
    std::string_view option;     // "--png"
    std::string_view extension;  // ".png"
    trevik::qc::PictureKind kind;
    std::optional<std::string> out;
};

// Why a picture may not be written to `name`, or nullptr when it may: it
// must be none of the files inspected, and an existing file there must be a
// picture of its kind (a regular file with that kind's signature).
const char* pictureRefusal(const std::string& name, const Inputs& inputs, trevik::qc::PictureKind kind) {
    struct stat st {};
    const bool exists = ::stat(name.c_str(), &st) == 0;
    if (inputs.holds(name, exists ? &st : nullptr)) return "it is one of the files inspected";
    if (trevik::qc::mayWritePicture(name.c_str(), kind)) return nullptr;
    return kind == trevik::qc::PictureKind::Gif ? "it exists and is not a GIF picture" : "it exists and is not a PNG picture";
}

// OUT.png itself for one file; OUT-0001.png, OUT-0002.png, ... for several
// (the extension the option's own).
std::string pictureName(const std::string& out, std::string_view extension, std::size_t index, std::size_t count) {
    if (count == 1) return out;
    std::string stem = out;
    if (stem.size() > extension.size() && std::string_view(stem).ends_with(extension))
        stem.resize(stem.size() - extension.size());
    std::string number = std::to_string(index + 1);
    if (number.size() < 4) number.insert(0, 4 - number.size(), '0');
    return stem + "-" + number + std::string(extension);
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

// Whether a picture name of the run is refused (said on standard error):
// every name is checked before anything is read or written.
bool picturesRefused(const PictureOption (&pictures)[3], const std::vector<std::string>& files) {
    const Inputs inputs(files);
    std::set<std::string> names;
    for (const PictureOption& picture : pictures) {
        if (!picture.out) continue;
        for (std::size_t i = 0; i < files.size(); ++i) {
            const std::string name = pictureName(*picture.out, picture.extension, i, files.size());
            const char* refusal = pictureRefusal(name, inputs, picture.kind);
            if (!refusal && !names.insert(name).second) refusal = "another picture of the run has that name";
            if (refusal) {
                std::fprintf(stderr, "trevik-inspect: no picture is written to %s: %s\n", trevik::printableName(name).c_str(),
                             refusal);
                return true;
            }
        }
    }
    return false;
}

// The file's place in the run: its index and the number of files.
struct Place {
    std::size_t index, count;
};

// Writes the pictures asked for of one inspected file: the montage (its
// name goes to `picture`, for the TSV), the quality control's page and
// cine. `lines` gets the report's lines that name them (or say why there is
// none). False when one could not be written, said on standard error.
bool writePictures(const PictureOption (&pictures)[3], Place place, const Inspection& ins, Progress& progress,
                   std::string& picture, std::string& lines) {
    bool written = true;
    const auto fail = [&](const std::string& what, const std::string& name, const std::string& problem) {
        progress.clear();
        std::fprintf(stderr, "trevik-inspect: no %s %s for %s: %s\n", what.c_str(), trevik::printableName(name).c_str(),
                     trevik::printableName(ins.path).c_str(), problem.c_str());
        written = false;
    };
    if (const std::optional<std::string>& png = pictures[0].out) {
        const std::string name = pictureName(*png, ".png", place.index, place.count);
        std::string problem = ins.noMontage.empty() ? "nothing to draw" : ins.noMontage;
        if (ins.montage.width != 0) {
            bool done = false;
            try {
                done = writePng(name, ins.montage);
            } catch (const std::bad_alloc&) {
            }
            problem = done ? "" : "cannot be written";
        }
        if (problem.empty()) {
            picture = name;
            lines = "picture: " + trevik::printableName(picture) + "\n";
        } else {
            fail("picture", name, problem);
            lines = "picture: none: " + problem + "\n";
        }
    }
    // The quality control's page and cine, named in the report after the
    // montage: trevik-dicom drew those of a DICOM file (and said on standard
    // error why one is missing).
    if (ins.handedOn) {
        lines += ins.handedPictureLines;
        return written && !ins.handedPictureFailed;
    }
    for (const PictureOption& qcPicture : {pictures[1], pictures[2]}) {
        if (!qcPicture.out) continue;
        const std::string name = pictureName(*qcPicture.out, qcPicture.extension, place.index, place.count);
        std::string line;
        if (const std::string problem = writeQcPicture(qcPicture.kind, name, ins, line); !problem.empty())
            fail(qcPicture.option == "--qc" ? "qc page" : "cine", name, problem);
        lines += line;
    }
    return written;
}

}  // namespace

int main(int argc, char** argv) {
    bool tsv = false;
    using trevik::qc::PictureKind;
    PictureOption pictures[] = {{"--png", ".png", PictureKind::Png, std::nullopt},
                                {"--qc", ".png", PictureKind::Png, std::nullopt},
                                {"--cine", ".gif", PictureKind::Gif, std::nullopt}};
    std::optional<std::string>& png = pictures[0].out;
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
            } else if (arg == "--version") {
                std::fputs(kVersion, stdout);
                return std::fflush(stdout) != 0;
            } else if (arg == "--tsv") {
                tsv = true;
            } else if (const auto p = std::find_if(std::begin(pictures), std::end(pictures), [&](const PictureOption& o) {
                           return arg == o.option || (arg.starts_with(o.option) && arg[o.option.size()] == '=');
                       });
                       p != std::end(pictures)) {
                const std::string option(p->option);
                if (p->out) return usageError(option + " is given twice");
                if (arg == p->option && i + 1 >= argc) return usageError(option + " needs a file name");
                p->out = arg == p->option ? std::string(argv[++i]) : std::string(arg.substr(p->option.size() + 1));
                if (p->out->empty()) return usageError(option + " needs a file name");
            } else {
                return usageError("unknown option " + trevik::printableName(arg));
            }
            continue;
        }
        files.emplace_back(arg);
    }
    if (files.empty()) return usageError("no file to inspect");

    // Directories named on the command line (or links to them) stand for
    // the regular files under them.
    bool failed = false;
    std::vector<std::string> named = std::move(files);
    files.clear();
    for (std::string& path : named) {
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            std::set<std::pair<dev_t, ino_t>> open;
            failed = !walkDirectory(path, files, open) || failed;
        } else {
            files.push_back(std::move(path));
        }
    }

    // Every picture name is checked before anything is read or written.
    if (picturesRefused(pictures, files)) return 1;

    Progress progress(tsv && files.size() > 4 && ::isatty(STDERR_FILENO), files.size());
    std::map<int, std::size_t> perCode;
    std::size_t withWarnings = 0, others = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string& path = files[i];
        // A file whose inspection runs out of memory gets the verdict trevik
        // gives then (8), and the run goes on.
        // A DICOM file is handed on with the form asked for and its pictures' names.
        HandOn handOn{tsv, {}, {}};
        if (pictures[1].out) handOn.qcPage = pictureName(*pictures[1].out, ".png", i, files.size());
        if (pictures[2].out) handOn.cine = pictureName(*pictures[2].out, ".gif", i, files.size());
        const Inspection ins = inspectOrNoMemory(path, png.has_value(), [&handOn](const std::string& p, bool draw) {
            return inspectFile(p, draw, handOn);
        });
        if (ins.verdict.kind == trevik::inspect::FileKind::Other)
            ++others;
        else
            ++perCode[ins.verdict.code];
        withWarnings += ins.verdict.warnings > 0;
        failed = failed || ins.verdict.unreadable;

        // The pictures first, so that the report can name them.
        std::string picture;
        std::string pictureLine;
        if (!writePictures(pictures, {i, files.size()}, ins, progress, picture, pictureLine)) failed = true;
        if (tsv) {
            std::fputs(tsvLine(path, ins.verdict, picture).c_str(), stdout);
        } else {
            if (i > 0) std::fputc('\n', stdout);
            // The picture line goes just before the verdict, which ends the block.
            std::string report = ins.report;
            const std::size_t verdict = report.rfind("\nverdict: ");
            report.insert(verdict == std::string::npos ? 0 : verdict + 1, pictureLine);
            std::fputs(report.c_str(), stdout);
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
        if (others > 0) summary += "; other: " + std::to_string(others);
        summary += "; " + std::to_string(withWarnings) + " with warnings";
        std::fprintf(stderr, "%s\n", summary.c_str());
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "trevik-inspect: cannot write the report to standard output\n");
        return 1;
    }
    return failed ? 1 : 0;
}
