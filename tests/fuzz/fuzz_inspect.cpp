// The promises of the inspection on arbitrary bytes:
// - it returns a verdict (a malformed file is never a crash or an escaping
//   exception) whose code is what loadStudy answers for the same file in a
//   fresh study, and whose kind is "source" exactly when the loader
//   recognised the file; a DICOM Part 10 file is of kind "dicom" with one
//   of the converter's codes (trevik-dicom judges it);
// - the report holds only printable ASCII and line ends, and its last line is
//   the verdict; the TSV line has seven fields and one line end; a Gated
//   SPECT data file's reason ends in what its check found ("; gsd ...");
//   there are at most four warnings, one per kind;
// - a loaded source counts at most one wrap per stored sample, and its
//   montage has one 64 x 64 cell per frame written; any montage encodes as
//   a PNG that libpng decodes to the same size; a picture named in the TSV
//   line stays in its last field.
#include <fcntl.h>
#include <png.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_targets.h"

#include "app/inspect/inspection.h"
#include "app/inspect/png_montage.h"
#include "reader/dicom/part10.h"
#include "reader/projection/loader.h"

namespace trevik::fuzz {

namespace {

[[noreturn]] void broken(const std::string& what) {
    std::fprintf(stderr, "fuzz_inspect: contract broken: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

constexpr long long kMostEncodedPixels = 256 * 1024;

// The scratch file that holds the input, in a directory of its own under
// $TMPDIR, removed at exit.
class ScratchFile {
public:
    ScratchFile() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/trevik-inspect-XXXXXX";
        if (!::mkdtemp(pattern.data())) broken("cannot create a scratch directory under " + pattern);
        directory_ = pattern;
        path_ = directory_ + "/input";
    }
    ~ScratchFile() {
        ::unlink(path_.c_str());
        ::rmdir(directory_.c_str());
    }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    const std::string& holding(const std::uint8_t* data, std::size_t size) const {
        const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0) broken("cannot create " + path_);
        while (size > 0) {
            const ssize_t n = ::write(fd, data, size);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) broken("cannot write " + path_);
            data += n;
            size -= static_cast<std::size_t>(n);
        }
        if (::close(fd) != 0) broken("cannot close " + path_);
        return path_;
    }

private:
    std::string directory_;
    std::string path_;
};

void checkInspection(const std::string& path) {
    using namespace trevik::inspect;
    const Inspection ins = inspectFile(path, true);
    const Verdict& v = ins.verdict;

    // A DICOM file is trevik-dicom's to judge (trevik hands it over): its
    // kind says so and its code is one of the converter's.
    const bool dicom = trevik::dicom::isDicomFile(path.c_str());
    if (dicom != (v.kind == FileKind::Dicom)) broken(std::string("kind ") + kindName(v.kind) + " for a DICOM file or not");
    if (dicom && v.code != 0 && v.code != 1 && v.code != 2 && v.code != 4 && v.code != 8)
        broken("verdict " + std::to_string(v.code) + " for a DICOM file");

    // Otherwise a fresh load, as trevik starts, decides code and kind. The
    // study is an anonymous mapping: zero pages cost nothing until a load
    // touches them.
    void* pages = ::mmap(nullptr, sizeof(Study), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) broken("no memory for a study");
    const Status report = loadStudy(path.c_str(), *static_cast<Study*>(pages));
    const int code = report.code;
    ::munmap(pages, sizeof(Study));
    if (!dicom && v.code != code) broken("verdict " + std::to_string(v.code) + ", loadStudy answers " + std::to_string(code));
    if (!dicom && (v.kind == FileKind::Source) != (report.reason != Reason::NotRecognised))
        broken(std::string("kind ") + kindName(v.kind) + " for a file the loader " +
               (report.reason == Reason::NotRecognised ? "does not recognise" : "recognises"));

    const std::string& r = ins.report;
    if (!std::all_of(r.begin(), r.end(), [](char c) { return c == '\n' || (c >= 0x20 && c <= 0x7E); }))
        broken("the report holds an unprintable byte");
    // A file that is neither a source nor a .gsd has the word "other" for its code.
    const std::string word = v.kind == FileKind::Other ? "other" : std::to_string(v.code);
    const std::string last = "verdict: " + word + ": " + v.reason + "\n";
    if (r.size() < last.size() || r.compare(r.size() - last.size(), last.size(), last) != 0 ||
        (r.size() > last.size() && r[r.size() - last.size() - 1] != '\n'))
        broken("the report does not end in its verdict line");
    const std::string tsv = tsvLine(path, v, "m\t\n.png");
    std::string tail = "\t";
    tail += std::to_string(v.warnings);
    tail += "\tm\\t\\n.png\t" + v.qcLowest + "\t" + v.qcMotion + "\t" + v.qcState + "\n";
    if (std::count(tsv.begin(), tsv.end(), '\t') != 9 || std::count(tsv.begin(), tsv.end(), '\n') != 1 ||
        tsv.back() != '\n' || !tsv.ends_with(tail))
        broken("the TSV line is not ten fields on one line: " + tsv);
    if (v.qcState != "ok" && v.qcState != "warn" && v.qcState != "-") broken("qc state " + v.qcState);
    if (v.warnings < 0 || v.warnings > 6) broken("warning count " + std::to_string(v.warnings));
    if ((v.kind == FileKind::Gsd) != (v.reason.find("; it is a Gated SPECT data file; gsd ") != std::string::npos))
        broken("the reason of a " + std::string(kindName(v.kind)) + " file: " + v.reason);
    if (std::any_of(tsv.begin(), tsv.end(), [](char c) {
            const auto u = static_cast<unsigned char>(c);
            return (u < 0x20 && c != '\t' && c != '\n') || u == 0x7F;
        }))
        broken("the TSV line holds a control byte: " + tsv);

    // A DICOM file is drawn from the DICOM object, never from what the
    // projection loader makes of the same bytes.
    const Montage& m = ins.montage;
    if (!dicom && code == kOk) {
        const long long samples = static_cast<long long>(report.where.passes) * report.where.frames * FrameStore::kFrameSamples;
        if (v.wrapped < 0 || v.wrapped > samples) broken("wrapped count " + std::to_string(v.wrapped));
        if (m.width != montageWidth(report.where.frames) || m.height != montageHeight(report.where.passes))
            broken("montage of " + std::to_string(m.width) + " x " + std::to_string(m.height) + " for " +
                   std::to_string(report.where.passes) + " x " + std::to_string(report.where.frames) + " frames");
    }
    if (m.width == 0) {
        if (ins.noMontage.empty()) broken("no montage and no reason");
        return;
    }
    // Compressing a large montage costs far more than everything else an
    // input does; the size rules are the same for small ones.
    if (static_cast<long long>(m.width) * m.height > kMostEncodedPixels) return;
    std::vector<unsigned char> png;
    if (!encodePng(m, png)) broken("the montage cannot be encoded");
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, png.data(), png.size())) broken("libpng cannot read the montage");
    const bool same = image.width == static_cast<png_uint_32>(m.width) && image.height == static_cast<png_uint_32>(m.height);
    png_image_free(&image);
    if (!same) broken("the PNG is not the size of the montage");
}

}  // namespace

int inspectInput(const std::uint8_t* data, std::size_t size) {
    static const ScratchFile scratch;
    checkInspection(scratch.holding(data, size));
    return 0;
}

}  // namespace trevik::fuzz
