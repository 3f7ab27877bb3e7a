#include "app/inspect/inspection.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <new>
#include <string_view>
#include <vector>

#include "app/conversion/conversion.h"
#include "app/inspect/gsd_listing.h"
#include "app/inspect/report_text.h"
#include "app/inspect/source_listing.h"
#include "app/inspect/wraps.h"
#include "app/launch/companion.h"
#include "reader/dicom/part10.h"
#include "reader/projection/element_stream.h"
#include "study/store_sink.h"

namespace trevik::inspect {

namespace {

// A fresh, all-zero study, as at program start, in an anonymous mapping:
// only the pages a load touches cost anything.
class FreshStudy {
public:
    FreshStudy() {
        void* p = ::mmap(nullptr, sizeof(Study), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        study_ = static_cast<Study*>(p);
    }
    ~FreshStudy() { ::munmap(study_, sizeof(Study)); }
    FreshStudy(const FreshStudy&) = delete;
    FreshStudy& operator=(const FreshStudy&) = delete;
    Study& operator*() const { return *study_; }

private:
    Study* study_ = nullptr;
};

// A descriptor of the file open once for the whole inspection, without
// blocking on a FIFO; closed at the end.
class OpenFile {
public:
    explicit OpenFile(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)) {}
    ~OpenFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

// The open file read again from its start, through a descriptor of its own;
// `size` is its length in bytes (-1 when unknown).
StreamHandle readAgain(int open, std::int64_t& size) {
    const int fd = open >= 0 ? ::fcntl(open, F_DUPFD_CLOEXEC, 0) : -1;
    if (fd < 0) return nullptr;
    const off_t end = ::lseek(fd, 0, SEEK_END);
    size = end;
    StreamHandle stream(end >= 0 && ::lseek(fd, 0, SEEK_SET) == 0 ? ::fdopen(fd, "rb") : nullptr);
    if (!stream) ::close(fd);
    return stream;
}

// What picture a file that is neither a source nor a .gsd is, from its
// first bytes; nullptr when none.
const char* pictureKindOf(std::FILE* stream) {
    unsigned char head[8] = {};
    const bool read = std::fseek(stream, 0, SEEK_SET) == 0 && std::fread(head, 1, sizeof head, stream) == sizeof head;
    if (read && std::memcmp(head, "\x89PNG\r\n\x1A\n", 8) == 0) return "a PNG picture";
    if (read && (std::memcmp(head, "GIF87a", 6) == 0 || std::memcmp(head, "GIF89a", 6) == 0)) return "a GIF picture";
    return nullptr;
}

// Whether the name ends in ".prj", as projection sources are named.
bool namedAsSource(std::string_view path) {
    if (path.size() < 4) return false;
    std::string end(path.substr(path.size() - 4));
    for (char& c : end) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return end == ".prj";
}

// The length of the file at `path`, -1 when unknown.
std::int64_t fileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? static_cast<std::int64_t>(st.st_size) : -1;
}

// The verdict's fields from trevik-dicom's TSV line (the ten fields of
// tsvLine); false when `out` is not one such line.
bool takeTsvLine(std::string_view out, Verdict& v) {
    if (out.empty() || out.back() != '\n' || out.find('\n') != out.size() - 1) return false;
    out.remove_suffix(1);
    std::vector<std::string_view> f;
    for (std::size_t tab; (tab = out.find('\t')) != std::string_view::npos; out.remove_prefix(tab + 1))
        f.push_back(out.substr(0, tab));
    f.push_back(out);
    const auto number = [](std::string_view text, auto& value) {
        const auto r = std::from_chars(text.data(), text.data() + text.size(), value);
        return !text.empty() && r.ec == std::errc() && r.ptr == text.data() + text.size();
    };
    if (f.size() != 10 || f[1] != "dicom" || !number(f[2], v.code) || !number(f[4], v.wrapped) ||
        !number(f[5], v.warnings) || !unescapeTsv(f[3], v.reason))
        return false;
    v.qcLowest = f[7];
    v.qcMotion = f[8];
    v.qcState = f[9];
    return true;
}

// trevik-dicom's report into this one, up to its verdict line, which gives
// the verdict; the lines naming the quality control's pictures are kept
// apart, for the report to name them after the montage. False when there
// is no verdict line.
bool takeReport(Text& t, std::string_view out, Inspection& ins) {
    Verdict& v = ins.verdict;
    const std::size_t last = out.rfind("verdict: ");
    if (last == std::string_view::npos || (last > 0 && out[last - 1] != '\n')) return false;
    for (std::string_view rest = out.substr(0, last); !rest.empty();) {
        const std::string_view line = rest.substr(0, rest.find('\n') + 1);
        rest.remove_prefix(line.size());
        if (line.starts_with("qc page: ") || line.starts_with("cine: ")) {
            ins.handedPictureLines += line;
            continue;
        }
        t << line;
        if (line.starts_with("warning: ")) ++v.warnings;
        if (line.starts_with("qc: ")) v.qcState = line.substr(4, line.find_first_of(":\n", 4) - 4);
    }
    std::string verdict(out.substr(last + 9));
    while (!verdict.empty() && verdict.back() == '\n') verdict.pop_back();
    const std::size_t colon = verdict.find(": ");
    v.code = colon == std::string::npos ? kCannotOpen : std::atoi(verdict.substr(0, colon).c_str());
    v.reason = colon == std::string::npos ? verdict : verdict.substr(colon + 2);
    return true;
}

// A DICOM file: trevik-dicom (which links DCMTK; this program does not)
// inspects it and gives the verdict trevik gives, since trevik hands the
// file to it, with the quality control of its frames: its report (whose
// last line is the verdict), or with --tsv its TSV line, and the pictures
// asked for, drawn by it. It ends with 0, or 1 when a picture could not be
// written.
void reportDicom(Text& t, const std::string& path, const HandOn& handOn, Inspection& ins) {
    Verdict& v = ins.verdict;
    std::vector<std::string> arguments{"inspect"};
    if (handOn.tsv) arguments.emplace_back("--tsv");
    if (!handOn.qcPage.empty()) arguments.insert(arguments.end(), {"--qc", handOn.qcPage});
    if (!handOn.cine.empty()) arguments.insert(arguments.end(), {"--cine", handOn.cine});
    if (handOn.energyWindow > 0) arguments.insert(arguments.end(), {"--energy-window", std::to_string(handOn.energyWindow)});
    if (handOn.rrInterval > 0) arguments.insert(arguments.end(), {"--rr-interval", std::to_string(handOn.rrInterval)});
    arguments.insert(arguments.end(), {"--", path});
    const launch::Outcome run = launch::runCompanion("trevik-dicom", arguments, true);
    if (run.kind == launch::Outcome::Kind::NotFound) {
        t << "kind: DICOM file\n";
        v.code = kNotSupported;
        v.reason = statusWords(statusOf(Reason::DicomNeedsTrevikDicom));
        return;
    }
    const bool exited = run.kind == launch::Outcome::Kind::Exited && (run.code == 0 || run.code == 1);
    Text report;
    if (!exited || !(handOn.tsv ? takeTsvLine(run.output, v) : takeReport(report, run.output, ins))) {
        // What trevik gives when trevik-dicom cannot start or ends by a
        // signal: 1.
        t << "kind: DICOM file\n";
        v = Verdict();
        v.kind = FileKind::Dicom;
        v.code = kCannotOpen;
        v.reason = run.kind == launch::Outcome::Kind::Signalled
                       ? "trevik-dicom (" + run.path + ") ended by " + launch::signalName(run.signal) +
                             " while inspecting the file"
                       : "trevik-dicom (" + run.path + ") cannot start or did not inspect the file; reinstall the "
                         "package trevik-dicom";
        v.unreadable = true;
        ins.handedPictureLines.clear();
        return;
    }
    t << (handOn.tsv ? std::string_view("kind: DICOM file\n") : std::string_view(report.str()));
    ins.handedOn = true;
    ins.handedPictureFailed = run.code == 1;
    v.unreadable = v.code == kCannotOpen;
}

}  // namespace

Inspection inspectFile(const std::string& path, bool drawMontage, const HandOn& handOn) {
    Inspection ins;
    ins.path = path;
    Verdict& v = ins.verdict;
    Text t;
    t << "== " << printableName(path) << "\n";
    auto finish = [&] {
        t << "verdict: " << (v.kind == FileKind::Other ? std::string("other") : toText(v.code)) << ": " << v.reason << "\n";
        ins.report = std::move(t.str());
        if (drawMontage && ins.montage.width == 0 && ins.noMontage.empty()) ins.noMontage = "nothing to draw";
        return std::move(ins);
    };

    // The file is opened once (a path the converter refuses not at all):
    // recognised, loaded, and read again as a .gsd through that descriptor.
    PathBuffer taken{};
    const OpenFile file(takePath(taken, path).ok() ? path : std::string());
    if (file.fd() >= 0 && dicom::isDicomFile(file.fd())) {
        v.kind = FileKind::Dicom;
        reportDicom(t, path, handOn, ins);
        if (drawMontage) ins.noMontage = "no montage of a DICOM file";
        return finish();
    }

    // The one load that gives the verdict also lists the header and counts
    // the wrapped samples; the study is a fresh one, as trevik starts.
    FreshStudy study;
    PathBuffer inputPath{}, outputPath{};
    Conversion conversion(*study, inputPath, outputPath);
    ElementListing listing;
    WrapCounter wraps;
    LoadOptions options;
    options.observer = [&listing](const SeenElement& e, const StudyFacts& s) { listing.seen(e, s); };
    options.sourceImage = [&wraps](const SourceImage& image) { wraps.count(image); };
    StoreSink store((*study).store);
    const Status status = file.fd() >= 0 ? conversion.load(file.fd(), path, store, options)
                                         : conversion.load(path, store, options);
    v.code = status.code;
    v.reason = statusWords(status);

    if (status.reason == Reason::PathTooLong || status.reason == Reason::PathHasZero) {
        v.unreadable = true;
        t << "kind: unknown: the converter does not read it\n";
        return finish();
    }
    if (status.reason == Reason::CannotOpen) {
        v.unreadable = true;
        t << "kind: unknown: the file cannot be read\n";
        return finish();
    }
    if (status.reason != Reason::NotRecognised) {
        v.kind = FileKind::Source;
        t << "kind: source projection file\n";
        reportSource(t, fileSize(path), status, *study, listing, wraps, drawMontage, ins);
        // A projection file holds one energy window and one R-R interval.
        if (handOn.energyWindow > 1 || handOn.rrInterval > 1) {
            v.code = kNotSupported;
            v.reason = "a projection file has one energy window and one R-R interval: only 1 can be chosen";
        }
        return finish();
    }

    std::int64_t size = -1;
    const StreamHandle stream = readAgain(file.fd(), size);
    if (!stream) {
        v.unreadable = true;
        t << "kind: unknown: the file cannot be read again\n";
        return finish();
    }
    if (startsWithGsdMagic(stream.get())) {
        v.kind = FileKind::Gsd;
        v.reason += "; it is a Gated SPECT data file; gsd ";
        v.reason += reportGsd(t, stream.get(), size, drawMontage, ins);
    } else if (const char* what = pictureKindOf(stream.get()); what != nullptr || !namedAsSource(path)) {
        // Neither a source nor a .gsd: listed as what it is, not as a
        // source that failed. A file named as a source (.prj) that is
        // none stays a failed source.
        v.kind = FileKind::Other;
        const std::string why = v.reason.substr(v.reason.find(": ") + 2);
        v.reason = what ? std::string(what) + ", not a source" : "another file, not a source (" + why + ")";
        t << "kind: other\nrecognised: no: " << why << "\n";
        if (drawMontage) ins.noMontage = "neither a projection file nor a Gated SPECT data file";
    } else {
        t << "kind: unknown\nrecognised: no: " << v.reason.substr(v.reason.find(": ") + 2) << "\n";
        if (drawMontage) ins.noMontage = "neither a projection file nor a Gated SPECT data file";
    }
    return finish();
}

Inspection inspectOrNoMemory(const std::string& path, bool drawMontage, const InspectFunction& inspect) {
    try {
        return inspect ? inspect(path, drawMontage) : inspectFile(path, drawMontage);
    } catch (const std::bad_alloc&) {
        // What was built of the report is gone with the memory; the verdict
        // is the one trevik gives when its memory runs out.
        Inspection ins;
        ins.path = path;
        ins.verdict.code = kNoMemory;
        ins.verdict.reason = statusWords(statusOf(Reason::NoMemory)) + " to inspect the file";
        ins.verdict.unreadable = true;
        ins.report = "== " + printableName(path) + "\nverdict: " + toText(ins.verdict.code) + ": " + ins.verdict.reason + "\n";
        if (drawMontage) ins.noMontage = "not enough memory";
        return ins;
    }
}

}  // namespace trevik::inspect
