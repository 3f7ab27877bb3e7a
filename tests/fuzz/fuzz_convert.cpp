// The fuzz target over the whole batch path: the input bytes become a source
// file, loadStudy reads it into a fresh study and, when that succeeds,
// writeGsd writes it to a scratch file that is read back and checked; then
// the batch program's own conversion (Conversion::convert, which streams the
// frames into a new file) converts the same file again. Any broken promise
// aborts with a message, which the fuzzer records as a finding. The same
// check replays the regression inputs in the normal test suite
// (replay_main.cpp).
//
// The promises checked:
// - loadStudy answers 0, 2, 4 or 8 (the file exists, so never 1);
// - after 0: the stored geometry is 64 x 64, every text field ends within
//   its width, there is at least one frame and no negative division count,
//   and the frames fit the frame store;
// - writeGsd then answers 0 and changes nothing in the study (the slice
//   thickness is computed for the file: slicePixels x pixel, halved after a
//   reduction);
// - the file holds the header, whose lines parse back to the record's texts
//   (sanitized where the writer sanitizes; date, time and sex with every
//   control byte as an underscore), integers and numbers at their printed
//   precision, then D x frames frames of 8192 bytes (D the divisions when 1
//   or more, else 1), equal to the stored frames in the written order, and
//   nothing else;
// - the streamed conversion answers what loadStudy answered and writes the
//   same bytes as writeGsd, or, after a load that failed in the pixel data,
//   nothing (a load that fails before goes the same way in both);
// - the scratch directory holds no file but the source and the output.
// The inspection's promises are a target of their own (fuzz_inspect.cpp).
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/conversion/conversion.h"
#include "reader/projection/loader.h"
#include "study/study.h"
#include "tests/fuzz/fuzz_targets.h"
#include "tests/fuzz/gsd_header.h"
#include "writer/gsd/gsd_writer.h"

namespace {

using trevik::Study;
using trevik::StudyRecord;
namespace t = trevik::test;

// Joins the parts of a message (GCC 12 warns falsely about chains of
// std::string operator+).
std::string cat(std::initializer_list<std::string_view> parts) {
    std::string out;
    for (const std::string_view p : parts) out.append(p);
    return out;
}

std::string num(long long v) { return std::to_string(v); }

[[noreturn]] void broken(const std::string& what) {
    std::fprintf(stderr, "fuzz_convert: contract broken: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

// A private scratch directory for the whole process, with fixed names for
// the source and the output inside it.
class Workspace {
public:
    Workspace() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = cat({base && *base ? base : "/tmp", "/trevik-fuzz-XXXXXX"});
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (!::mkdtemp(buffer.data())) broken(cat({"cannot create a scratch directory under ", pattern}));
        directory_ = buffer.data();
        source_ = cat({directory_, "/source.prj"});
        output_ = cat({directory_, "/study.gsd"});
        streamed_ = cat({directory_, "/streamed.gsd"});
    }
    ~Workspace() {
        ::unlink(source_.c_str());
        ::unlink(output_.c_str());
        ::unlink(streamed_.c_str());
        ::rmdir(directory_.c_str());
    }
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    const std::string& directory() const { return directory_; }
    const std::string& source() const { return source_; }
    const std::string& output() const { return output_; }
    const std::string& streamed() const { return streamed_; }

    // The names in the directory other than "." and "..", sorted.
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        DIR* dir = ::opendir(directory_.c_str());
        if (!dir) broken(cat({"cannot list the scratch directory ", directory_}));
        while (const dirent* e = ::readdir(dir)) {
            const std::string_view name = e->d_name;
            if (name != "." && name != "..") names.emplace_back(name);
        }
        ::closedir(dir);
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    std::string directory_;
    std::string source_;
    std::string output_;
    std::string streamed_;
};

Workspace& workspace() {
    static Workspace w;
    return w;
}

void writeWhole(const std::string& path, const std::uint8_t* data, std::size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) broken(cat({"cannot create the source ", path}));
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) broken(cat({"cannot write the source ", path}));
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) broken(cat({"cannot close the source ", path}));
}

std::string readWhole(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) broken(cat({"writeGsd answered 0 but ", path, " cannot be opened"}));
    std::string content;
    char block[65536];
    for (;;) {
        const ssize_t n = ::read(fd, block, sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) broken(cat({"cannot read ", path}));
        if (n == 0) break;
        content.append(block, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return content;
}

// The text of a fixed-width field, never beyond the field.
template <std::size_t N>
std::string_view fieldText(const char (&field)[N]) {
    return {field, ::strnlen(field, N)};
}

template <std::size_t N>
void checkTerminated(const char (&field)[N], std::size_t maxLength, const char* name) {
    const std::size_t length = ::strnlen(field, N);
    if (length > maxLength)
        broken(cat({name, " holds ", num(static_cast<long long>(length)), " characters, more than ",
                    num(static_cast<long long>(maxLength))}));
}

int divisionsWritten(const StudyRecord& r) { return r.division >= 1 ? r.division : 1; }

// What a successful load promises about the study.
void checkLoaded(const Study& s) {
    if (s.geometry.rows != 64 || s.geometry.columns != 64)
        broken(cat({"loaded geometry is ", num(s.geometry.columns), " x ", num(s.geometry.rows), ", not 64 x 64"}));
    checkTerminated(s.record.name, 49, "name");
    checkTerminated(s.record.id, 39, "id");
    checkTerminated(s.record.sex, 1, "sex");
    checkTerminated(s.record.date, 10, "date");
    checkTerminated(s.record.time, 8, "time");
    checkTerminated(s.record.tracer, 19, "tracer");
    checkTerminated(s.record.comment, 79, "comment");
    const StudyRecord& r = s.record;
    if (r.frames <= 0 || r.division < 0)
        broken(cat({"loaded ", num(r.frames), " frames in ", num(r.division), " divisions, a study without frames"}));
    const long long slots = (divisionsWritten(r) - 1) * 64LL + r.frames;
    if (slots > trevik::FrameStore::kSlots)
        broken(cat({"loaded ", num(r.frames), " frames in ", num(r.division), " divisions, beyond the frame store"}));
}

// A date, time or sex as the writer writes it: every control byte (0x00 to
// 0x1F, 0x7F) and ";" an underscore, every other byte as it is.
std::string withoutControlBytes(std::string_view text) {
    std::string out;
    for (const char c : text) out += static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == ';' ? '_' : c;
    return out;
}

// The slice thickness the writer must report and keep: slicePixels x pixel
// (the record keeps its value when the product equals it), halved after a
// reduction.
double expectedThickness(const Study& s) {
    double thick = s.record.thick;
    const double product = s.geometry.slicePixels * s.record.pixel;
    if (product != thick) thick = product;
    if (s.flags.reducedMatrix) thick *= 0.5;
    return thick;
}

struct ExpectedLine {
    enum class Kind { Text, Integer, Fixed } kind;
    std::string key;
    std::string text;     // Text
    long long integer;    // Integer
    double number;        // Fixed
    int precision;        // Fixed
    int width;            // Fixed
};

std::vector<ExpectedLine> expectedLines(const StudyRecord& r, double thick) {
    using K = ExpectedLine::Kind;
    std::vector<ExpectedLine> lines;
    auto text = [&](const char* key, std::string value) { lines.push_back({K::Text, key, std::move(value), 0, 0, 0, 0}); };
    auto integer = [&](const char* key, long long value) { lines.push_back({K::Integer, key, {}, value, 0, 0, 0}); };
    auto fixed = [&](const char* key, double value, int precision, int width) {
        lines.push_back({K::Fixed, key, {}, 0, value, precision, width});
    };
    text("id", t::sanitizedGsdText(fieldText(r.id)));
    text("name", t::sanitizedGsdText(fieldText(r.name)));
    text("date", withoutControlBytes(fieldText(r.date)));
    text("time", withoutControlBytes(fieldText(r.time)));
    text("sex", withoutControlBytes(fieldText(r.sex)));
    if (r.height > 30.0f) fixed("height", static_cast<double>(r.height), 4, 8);
    if (r.weight > 3.0f) fixed("weight", static_cast<double>(r.weight), 4, 8);
    if (r.tracer[0] != '\0') text("tracer", t::sanitizedGsdText(fieldText(r.tracer)));
    if (r.comment[0] != '\0') text("comment", t::sanitizedGsdText(fieldText(r.comment)));
    integer("matrix", 64);
    fixed("pixel", r.pixel, 10, 16);
    fixed("thick", thick, 10, 16);
    integer("hr", r.hr);
    integer("division", r.division);
    integer("frames", r.frames);
    text("order", "little");
    return lines;
}

// Empty when the parsed header says what `expected` says; else the first
// difference.
std::string headerDifference(const t::GsdHeader& header, const std::vector<ExpectedLine>& expected) {
    for (std::size_t i = 0; i < expected.size() || i < header.lines.size(); ++i) {
        if (i >= header.lines.size()) return cat({"line \"", expected[i].key, "\" is missing"});
        const t::GsdLine& got = header.lines[i];
        if (i >= expected.size()) return cat({"unexpected line \"", got.key, "\""});
        const ExpectedLine& want = expected[i];
        if (got.key != want.key)
            return cat({"line ", num(static_cast<long long>(i + 2)), " is \"", got.key, "\", expected \"", want.key, "\""});
        const std::string shown = cat({"\"", t::printableBytes(got.value), "\""});
        switch (want.kind) {
        case ExpectedLine::Kind::Text:
            if (got.value != want.text)
                return cat({want.key, " is ", shown, ", expected \"", t::printableBytes(want.text), "\""});
            break;
        case ExpectedLine::Kind::Integer: {
            const auto value = t::parseGsdInteger(got.value);
            if (!value || *value != want.integer)
                return cat({want.key, " is ", shown, ", expected ", num(want.integer)});
            break;
        }
        case ExpectedLine::Kind::Fixed: {
            const auto number = t::parseGsdFixed(got.value, want.precision, want.width);
            const std::string reference = t::formatGsdFixed(want.number, want.precision);
            if (!number || *number != reference)
                return cat({want.key, " is ", shown, ", expected ", reference, " in a field of ", num(want.width)});
            break;
        }
        }
    }
    return {};
}

std::uint64_t frameBytes(const StudyRecord& r) {
    return r.frames > 0 ? static_cast<std::uint64_t>(divisionsWritten(r)) * static_cast<std::uint64_t>(r.frames) * 8192u
                        : 0u;
}

// The frames behind the header: every division in turn, its frames in store
// order or, when reversed, last to first, each as 4096 little-endian samples.
// Not inlined: a per-sample loop kept off the coverage instrumentation
// (coverage_ignore.txt).
__attribute__((noinline)) void checkFrames(const std::string& file, std::size_t start, const Study& s) {
    const StudyRecord& r = s.record;
    if (r.frames <= 0) return;
    std::size_t at = start;
    unsigned char expected[trevik::FrameStore::kFrameSamples * 2];
    for (int d = 0; d < divisionsWritten(r); ++d) {
        for (int i = 0; i < r.frames; ++i) {
            const int f = s.flags.reverseFrames ? r.frames - 1 - i : i;
            const std::int16_t* samples = s.store.frame(d, f);
            for (int k = 0; k < trevik::FrameStore::kFrameSamples; ++k) {
                const auto v = static_cast<std::uint16_t>(samples[k]);
                expected[2 * k] = static_cast<unsigned char>(v & 0xFF);
                expected[2 * k + 1] = static_cast<unsigned char>(v >> 8);
            }
            if (std::memcmp(file.data() + at, expected, sizeof expected) != 0)
                broken(cat({"frame (", num(d), ", ", num(f), ") at offset ", num(static_cast<long long>(at)),
                            " differs from the frame store"}));
            at += sizeof expected;
        }
    }
}

void checkWritten(const std::string& path, const Study& s, double thick) {
    const std::string file = readWhole(path);
    const std::vector<ExpectedLine> expected = expectedLines(s.record, thick);
    const std::uint64_t frames = frameBytes(s.record);
    const std::string_view text = file;
    const std::size_t tail = text.find("order = little;\r\n\f\r\n");
    const std::string head = t::printableBytes(text.substr(0, tail == std::string_view::npos ? 600 : tail + 20));
    const auto header = t::parseGsdHeader(file);
    if (!header) broken(cat({"the written header does not parse: ", head}));
    const std::string difference = headerDifference(*header, expected);
    if (!difference.empty()) broken(cat({"written header: ", difference, "; header: ", head}));
    if (file.size() != header->size + frames)
        broken(cat({"file of ", num(static_cast<long long>(file.size())), " bytes, expected ",
                    num(static_cast<long long>(header->size)), " header bytes and ",
                    num(static_cast<long long>(frames)), " frame bytes"}));
    checkFrames(file, header->size, s);
}

void checkEntries(const std::vector<std::string>& expected) {
    const std::vector<std::string> names = workspace().entries();
    if (names == expected) return;
    std::string listing;
    for (const std::string& n : names) listing.append(" ").append(n);
    broken(cat({"the scratch directory holds", listing, " (", num(static_cast<long long>(expected.size())), " files expected)"}));
}

// A fresh, all-zero study (the state at program start) in a mapping of its
// own, with an inaccessible page on either side: a write even one byte
// beyond the frame store (or before the record) faults at once, as a heap
// redzone would report it. Only the pages a load touches cost anything,
// where a heap block of 8 MiB would have its shadow memory rewritten on
// every run, which made the target several times slower.
class FreshStudy {
public:
    FreshStudy() {
        page_ = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        const std::size_t body = (sizeof(Study) + page_ - 1) / page_ * page_;
        size_ = body + 2 * page_;
        void* base = ::mmap(nullptr, size_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) broken("no memory for a study");
        base_ = static_cast<unsigned char*>(base);
        if (::mprotect(base_ + page_, body, PROT_READ | PROT_WRITE) != 0) broken("cannot map a study");
        // The study ends where the trailing guard page begins.
        static_assert(sizeof(Study) % alignof(Study) == 0);
        study_ = reinterpret_cast<Study*>(base_ + page_ + body - sizeof(Study));
    }
    ~FreshStudy() { ::munmap(base_, size_); }
    FreshStudy(const FreshStudy&) = delete;
    FreshStudy& operator=(const FreshStudy&) = delete;

    Study& operator*() const { return *study_; }
    Study* operator->() const { return study_; }

private:
    std::size_t page_ = 0;
    std::size_t size_ = 0;
    unsigned char* base_ = nullptr;
    Study* study_ = nullptr;
};

// The study as a run starts: the one mapping above, its facts all zero. Its
// frame store keeps the frames of earlier inputs, which nothing reads: a
// load fills, and the writer writes, only the frames the header counts.
// Mapping and clearing 8 MiB for every input took a third of the time.
Study& startingStudy() {
    static FreshStudy study;
    std::memset(&study->record, 0, sizeof study->record);
    std::memset(&study->geometry, 0, sizeof study->geometry);
    std::memset(&study->flags, 0, sizeof study->flags);
    return *study;
}

// The batch program's conversion of the source into streamed.gsd, from a
// study as the program starts: its exit code. A new file takes the frames
// as they are converted and leaves the frame store alone, so one study
// serves every input with its facts cleared.
int convertStreamed() {
    Workspace& w = workspace();
    trevik::PathBuffer input{}, output{};
    trevik::Conversion conversion(startingStudy(), input, output);
    return conversion.convert(w.source(), w.streamed()).code;
}

// The conversion flow without a DICOM reader refuses a DICOM file with 2
// and leaves no output.
void checkDicomRefused() {
    if (const int streamed = convertStreamed(); streamed != 2)
        broken(cat({"the conversion flow answered ", num(streamed), " for a DICOM file"}));
    if (::access(workspace().streamed().c_str(), F_OK) == 0) broken("a refused DICOM file left an output");
}

void checkConversion(const std::uint8_t* data, std::size_t size) {
    Workspace& w = workspace();
    writeWhole(w.source(), data, size);
    ::unlink(w.output().c_str());

    // A file marked as DICOM Part 10 ("DICM" at offset 128) is a DICOM
    // source for the conversion flow, whatever else it holds: without a
    // DICOM reader (trevik hands it to trevik-dicom) the flow refuses it.
    const bool dicom = size >= 132 && std::memcmp(data + 128, "DICM", 4) == 0;
    Study* const study = &startingStudy();
    const trevik::Status load = trevik::loadStudy(w.source().c_str(), *study);
    const int loaded = load.code;
    if (loaded != 0 && loaded != 2 && loaded != 4 && loaded != 8)
        broken(cat({"loadStudy answered ", num(loaded)}));
    if (loaded != 0) {
        // The streamed conversion goes the loader's own way up to the first
        // frame: only a load that fails in the pixel data can tell them apart.
        if (dicom) {
            checkDicomRefused();
        } else if (load.reason == trevik::Reason::PixelDataEnds) {
            if (const int streamed = convertStreamed(); streamed != loaded)
                broken(cat({"the streamed conversion answered ", num(streamed), ", loadStudy ", num(loaded)}));
        }
        checkEntries({"source.prj"});
        return;
    }
    checkLoaded(*study);

    const double thick = expectedThickness(*study);
    StudyRecord before;
    trevik::AcquisitionGeometry geometryBefore;
    trevik::LoadFlags flagsBefore;
    std::memcpy(&before, &study->record, sizeof before);
    std::memcpy(&geometryBefore, &study->geometry, sizeof geometryBefore);
    std::memcpy(&flagsBefore, &study->flags, sizeof flagsBefore);

    const int written = trevik::writeGsd(w.output().c_str(), *study).code;
    if (written != 0) broken(cat({"writeGsd answered ", num(written), " after a successful load"}));

    // The thickness is computed for the file, never stored in the record.
    if (std::memcmp(&before, &study->record, sizeof before) != 0) broken("writeGsd changed the record");
    if (std::memcmp(&geometryBefore, &study->geometry, sizeof geometryBefore) != 0 ||
        std::memcmp(&flagsBefore, &study->flags, sizeof flagsBefore) != 0)
        broken("writeGsd changed the geometry or the flags");

    checkEntries({"source.prj", "study.gsd"});
    checkWritten(w.output(), *study, thick);

    if (dicom) {
        checkDicomRefused();
        ::unlink(w.output().c_str());
        return;
    }
    if (const int streamed = convertStreamed(); streamed != 0)
        broken(cat({"the streamed conversion answered ", num(streamed), " after a successful load"}));
    if (readWhole(w.streamed()) != readWhole(w.output())) broken("the streamed conversion wrote other bytes");
    ::unlink(w.output().c_str());
    ::unlink(w.streamed().c_str());
}

}  // namespace

int trevik::fuzz::convertInput(const std::uint8_t* data, std::size_t size) {
    checkConversion(data, size);
    return 0;
}
