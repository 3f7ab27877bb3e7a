#include "app/inspect/inspection.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <concepts>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "reader/projection/element_stream.h"
#include "reader/projection/header.h"
#include "reader/projection/loader.h"
#include "study/rules.h"
#include "study/study.h"

namespace trevik::inspect {

namespace {

// ---------------------------------------------------------------- text

// Report text; numbers go through std::to_chars, never through the locale.
class Text {
public:
    Text& operator<<(std::string_view s) {
        out_.append(s);
        return *this;
    }
    template <std::integral T>
        requires(!std::same_as<T, char> && !std::same_as<T, bool>)
    Text& operator<<(T value) {
        char b[24];
        const auto r = std::to_chars(b, b + sizeof b, value);
        out_.append(b, r.ptr);
        return *this;
    }
    Text& operator<<(double value) {
        char b[64];
        const auto r = std::to_chars(b, b + sizeof b, value);
        out_.append(b, r.ptr);
        return *this;
    }
    std::string& str() { return out_; }

private:
    std::string out_;
};

template <typename T>
std::string toText(T value) {
    Text t;
    t << value;
    return std::move(t.str());
}

std::string padLeft(std::string s, std::size_t width) {
    if (s.size() < width) s.insert(0, width - s.size(), ' ');
    return s;
}

std::string padRight(std::string s, std::size_t width) {
    if (s.size() < width) s.append(width - s.size(), ' ');
    return s;
}

// "(gggg,eeee)" in upper-case hexadecimal.
std::string tagText(std::uint16_t group, std::uint16_t element) {
    constexpr char kHex[] = "0123456789ABCDEF";
    std::string s = "(gggg,eeee)";
    for (int i = 0; i < 4; ++i) {
        s[static_cast<std::size_t>(4 - i)] = kHex[(group >> (4 * i)) & 0xF];
        s[static_cast<std::size_t>(9 - i)] = kHex[(element >> (4 * i)) & 0xF];
    }
    return s;
}

// The bytes with everything outside 0x20..0x7E, and `quote` and the
// backslash, written as escapes.
void appendEscaped(std::string& out, std::string_view bytes, char quote) {
    constexpr char kHex[] = "0123456789ABCDEF";
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\\' || (quote && c == quote)) {
            out += '\\';
            out += c;
        } else if (u >= 0x20 && u <= 0x7E) {
            out += c;
        } else {
            out += "\\x";
            out += kHex[u >> 4];
            out += kHex[u & 0xF];
        }
    }
}

std::string quoted(std::string_view bytes) {
    std::string s = "\"";
    appendEscaped(s, bytes, '"');
    s += '"';
    return s;
}

std::string printablePath(std::string_view path) {
    std::string s;
    appendEscaped(s, path, 0);
    return s;
}

std::string plural(long long count, std::string_view one, std::string_view many) {
    return toText(count) + " " + std::string(count == 1 ? one : many);
}

// ------------------------------------------------------ loader verdict

std::string probeText(const FormatProbe& probe) {
    switch (probe.finding) {
    case FormatProbe::Finding::Recognised: return "(0000,0000) at offset 64 and (0000,0001) at offset 76 open the header";
    case FormatProbe::Finding::TooShort: return "the file is too short to hold (0000,0000) and (0000,0001)";
    case FormatProbe::Finding::FirstElement:
        return "the element at offset 64 is " + tagText(probe.group, probe.element) + ", not (0000,0000)";
    case FormatProbe::Finding::SecondElement:
        return "the element at offset 76 is " + tagText(probe.group, probe.element) + ", not (0000,0001)";
    }
    return {};
}

// The meaning of the loader's result and where it applies, from its report.
std::string reasonText(const LoadReport& r) {
    Text t;
    switch (r.reason) {
    case LoadReason::Loaded:
        t << "converts " << plural(r.passes, "division", "divisions") << " of " << plural(r.frames, "frame", "frames")
          << ", " << r.columns << " x " << r.rows;
        if (r.columns == 128) t << " reduced to 64 x 64";
        break;
    case LoadReason::CannotOpen:
        // The open itself succeeded when no error was left: a directory; a
        // stream that cannot seek cannot be read from its start again.
        t << "the file cannot be opened: "
          << (r.error == 0 ? "it is a directory" : r.error == ESPIPE ? "it is a FIFO or a socket" : std::strerror(r.error));
        break;
    case LoadReason::NotRecognised: t << "not a projection file: " << probeText(r.probe); break;
    case LoadReason::NegativeLength:
        t << "element " << tagText(r.element.group, r.element.element) << " at offset " << r.elementOffset
          << " declares a negative length (" << r.element.length << ")";
        break;
    case LoadReason::HeaderEnds:
        t << "the file ends inside the header, before the end element " << tagText(kEndGroup, kEndElement);
        if (r.elementRead)
            t << "; the last element read is " << tagText(r.element.group, r.element.element) << " at offset "
              << r.elementOffset << ", length " << r.element.length;
        break;
    case LoadReason::NoMemory: t << "no memory for the image buffer"; break;
    case LoadReason::Geometry:
        t << r.columns << " x " << r.rows << " images; only 64 x 64 and 128 x 128 are converted";
        break;
    case LoadReason::CountOverflow:
        t << "the image count " << r.imageCount << " divided by " << r.division << " divisions does not fit";
        break;
    case LoadReason::StoreFull:
        if (r.division > 1)
            t << r.division << " divisions of " << r.frames
              << " frames do not fit the frame store (at most 16 divisions of 64 frames)";
        else
            t << r.frames << " frames in one division do not fit the frame store (at most 1024)";
        break;
    case LoadReason::NoFrames:
        if (r.division < 0)
            t << "a negative number of divisions (" << r.division << ")";
        else
            t << "no frame to convert: " << r.frames << " frames per division (image count " << r.imageCount
              << ", " << plural(r.division, "division", "divisions") << ", hr " << r.hr << ")";
        break;
    case LoadReason::PixelDataEnds: t << "the pixel data ends in image " << r.image << ", row " << r.row; break;
    }
    return std::move(t.str());
}

// Whether the report holds the header's values: the header was read whole.
bool headerRead(const LoadReport& r) {
    switch (r.reason) {
    case LoadReason::CannotOpen:
    case LoadReason::NotRecognised:
    case LoadReason::NegativeLength:
    case LoadReason::HeaderEnds: return false;
    default: return true;
    }
}

// Whether the frames per division were derived.
bool framesDerived(const LoadReport& r) {
    switch (r.reason) {
    case LoadReason::StoreFull:
    case LoadReason::NoFrames:
    case LoadReason::PixelDataEnds:
    case LoadReason::Loaded: return true;
    default: return false;
    }
}

// ------------------------------------------------------------ resources

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
    Study* operator->() const { return study_; }

private:
    Study* study_ = nullptr;
};

// Opens the file for reading without blocking on a FIFO; `size` is its
// length in bytes (-1 when unknown).
StreamHandle openForReading(const std::string& path, std::int64_t& size) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return nullptr;
    const off_t end = ::lseek(fd, 0, SEEK_END);
    size = end;
    StreamHandle stream(end >= 0 && ::lseek(fd, 0, SEEK_SET) == 0 ? ::fdopen(fd, "rb") : nullptr);
    if (!stream) ::close(fd);
    return stream;
}

// --------------------------------------------------------------- montage

constexpr int kSide = FrameStore::kSide;
constexpr unsigned char kBackground[3] = {28, 36, 88};  // gaps and missing frames

// Draws divisions x frames cells; frameAt(d, i) gives the 4096 samples of
// the i-th frame written for division d, or nullptr when it is missing.
// Grey levels span the range of all frames drawn.
template <typename FrameAt>
Montage montageOf(int divisions, int frames, FrameAt frameAt) {
    int low = 32767;
    int high = -32768;
    bool any = false;
    for (int d = 0; d < divisions; ++d)
        for (int i = 0; i < frames; ++i)
            if (const std::int16_t* f = frameAt(d, i)) {
                any = true;
                const auto [lo, hi] = std::minmax_element(f, f + FrameStore::kFrameSamples);
                low = std::min<int>(low, *lo);
                high = std::max<int>(high, *hi);
            }
    Montage m;
    if (!any) return m;
    m.width = frames * (kSide + kMontageGap) + kMontageGap;
    m.height = divisions * (kSide + kMontageGap) + kMontageGap;
    m.rgb.resize(static_cast<std::size_t>(m.width) * static_cast<std::size_t>(m.height) * 3);
    for (std::size_t p = 0; p < m.rgb.size(); p += 3) std::memcpy(&m.rgb[p], kBackground, 3);
    const int span = high - low;
    for (int d = 0; d < divisions; ++d)
        for (int i = 0; i < frames; ++i) {
            const std::int16_t* f = frameAt(d, i);
            if (!f) continue;
            const int left = kMontageGap + i * (kSide + kMontageGap);
            const int top = kMontageGap + d * (kSide + kMontageGap);
            for (int y = 0; y < kSide; ++y) {
                unsigned char* out =
                    &m.rgb[(static_cast<std::size_t>(top + y) * static_cast<std::size_t>(m.width) +
                            static_cast<std::size_t>(left)) * 3];
                for (int x = 0; x < kSide; ++x) {
                    const int v = f[y * kSide + x];
                    const auto grey = static_cast<unsigned char>(span > 0 ? ((v - low) * 255 + span / 2) / span : 128);
                    *out++ = grey;
                    *out++ = grey;
                    *out++ = grey;
                }
            }
        }
    return m;
}

// --------------------------------------------------------- source files

// Lists every element the header walk reads, in file order.
class ElementListing {
public:
    static constexpr long long kMostListed = 1000;

    void seen(const SeenElement& e, const Study& study) {
        if (++count_ > kMostListed) return;
        const ElementHeader& h = e.header;
        const bool end = h.group == kEndGroup && h.element == kEndElement;
        Text t;
        t << "  " << padLeft(toText(e.offset), 8) << "  " << tagText(h.group, h.element) << "  "
          << padRight(e.rule ? e.rule->name : end ? "end of header" : "-", 16) << padLeft(toText(h.length), 11)
          << "  " << describe(e, study, end) << "\n";
        lines_ += t.str();
    }

    // The listing, with a note of elements left out.
    std::string text() const {
        if (count_ <= kMostListed) return lines_;
        return lines_ + "  ... and " + plural(count_ - kMostListed, "element", "elements") + " more\n";
    }

private:
    // What the reader made of the value: the study fields its rule set.
    static std::string describe(const SeenElement& e, const Study& study, bool end) {
        const ElementHeader& h = e.header;
        if (end) return "ends the header";
        if (h.length < 0) return "negative length";
        if (!e.rule) return "skipped";
        if (!e.applied) {
            if (e.rule->form == ValueForm::Fixed && h.length < e.rule->width)
                return "shorter than the " + toText(e.rule->width) + " bytes the reader needs: skipped";
            return "cut short by the end of the file";
        }
        FieldView fields[kMostFields];
        const int n = e.rule->fields(study, fields);
        Text t;
        for (int i = 0; i < n; ++i) {
            const FieldView& f = fields[i];
            t << (i ? ", " : "") << f.label << " ";
            switch (f.kind) {
            case FieldView::Kind::Text: t << quoted({f.text, ::strnlen(f.text, f.width)}); break;
            case FieldView::Kind::Integer: t << f.integer; break;
            case FieldView::Kind::Number: t << f.number; break;
            case FieldView::Kind::Flag: t << (f.integer ? "yes" : "no"); break;
            }
        }
        return std::move(t.str());
    }

    std::string lines_;
    long long count_ = 0;
};

std::int16_t be16At(const unsigned char* p) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] << 8 | p[1]));
}

float beFloatAt(const unsigned char* p) {
    const std::uint32_t u = std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
    return std::bit_cast<float>(u);
}

// The exact value a source sample stands for once stored: its truncated
// tenfold value. A float without one is not finite, or lies beyond the
// signed 64-bit range (both are stored as 0).
enum class Exact { Value, NotFinite, Beyond };

Exact tenfold(float sample, std::int64_t& value) {
    const double product = static_cast<double>(sample) * 10.0;  // exact in double
    if (!std::isfinite(product)) return Exact::NotFinite;
    const double whole = std::trunc(product);
    constexpr double kLimit = 9223372036854775808.0;  // 2^63
    if (whole >= kLimit || whole < -kLimit) return Exact::Beyond;
    value = static_cast<std::int64_t>(whole);
    return Exact::Value;
}

// Whether the exact sum of four signed 64-bit values lies within -32768..32767.
bool sumFits16(const std::int64_t (&v)[4]) {
    // value = high * 2^32 + low with 0 <= low < 2^32, formed without overflow.
    std::int64_t high = 0;
    std::int64_t low = 0;
    for (const std::int64_t x : v) {
        high += x >> 32;
        low += x & 0xFFFFFFFF;
    }
    high += low >> 32;
    low &= 0xFFFFFFFF;
    if (high == 0) return low <= 32767;
    if (high == -1) return low >= 0x100000000LL - 32768;
    return false;
}

bool fits16(std::int64_t v) { return v >= -32768 && v <= 32767; }

struct SampleCounts {
    std::vector<long long> wrapped;    // per division
    std::vector<long long> nonFinite;  // per division
    long long totalWrapped = 0;
    long long totalNonFinite = 0;
};

// Counts, over the first `images` images of the pixel data at the stream's
// position, the stored samples that wrap and the float samples that are not
// finite, per division of `frames` images.
SampleCounts countSamples(std::FILE* stream, const LoadReport& r, int images) {
    SampleCounts c;
    c.wrapped.assign(static_cast<std::size_t>(r.passes), 0);
    c.nonFinite.assign(static_cast<std::size_t>(r.passes), 0);
    const bool floats = r.sampleBits == 32;
    const std::size_t item = floats ? 4 : 2;
    const int side = r.columns;  // 64 or 128, as many rows
    std::vector<unsigned char> bytes(static_cast<std::size_t>(side * side) * item);
    std::vector<std::int64_t> exact(static_cast<std::size_t>(side * side));
    std::vector<unsigned char> beyond(static_cast<std::size_t>(side * side));
    for (int image = 0; image < images; ++image) {
        if (std::fread(bytes.data(), 1, bytes.size(), stream) != bytes.size()) break;
        const auto d = static_cast<std::size_t>(image / r.frames);
        for (std::size_t k = 0; k < exact.size(); ++k) {
            beyond[k] = 0;
            if (!floats) {
                exact[k] = 10 * std::int64_t{be16At(&bytes[2 * k])};
                continue;
            }
            exact[k] = 0;
            switch (tenfold(beFloatAt(&bytes[4 * k]), exact[k])) {
            case Exact::Value: break;
            case Exact::NotFinite: ++c.nonFinite[d]; break;
            case Exact::Beyond: beyond[k] = 1; break;
            }
        }
        if (side == 64) {
            for (std::size_t k = 0; k < exact.size(); ++k)
                if (beyond[k] || !fits16(exact[k])) ++c.wrapped[d];
        } else {
            for (int y = 0; y < 128; y += 2)
                for (int x = 0; x < 128; x += 2) {
                    const std::size_t at[4] = {static_cast<std::size_t>(y * 128 + x),
                                               static_cast<std::size_t>(y * 128 + x + 1),
                                               static_cast<std::size_t>((y + 1) * 128 + x),
                                               static_cast<std::size_t>((y + 1) * 128 + x + 1)};
                    const std::int64_t block[4] = {exact[at[0]], exact[at[1]], exact[at[2]], exact[at[3]]};
                    if (beyond[at[0]] || beyond[at[1]] || beyond[at[2]] || beyond[at[3]] || !sumFits16(block))
                        ++c.wrapped[d];
                }
        }
    }
    for (const long long n : c.wrapped) c.totalWrapped += n;
    for (const long long n : c.nonFinite) c.totalNonFinite += n;
    return c;
}

// " (division 1: 12, division 3: 40)" over the divisions with a count.
std::string perDivision(const std::vector<long long>& counts) {
    Text t;
    const char* separator = " (";
    for (std::size_t d = 0; d < counts.size(); ++d)
        if (counts[d] > 0) {
            t << separator << "division " << d + 1 << ": " << counts[d];
            separator = ", ";
        }
    if (t.str().empty()) return {};
    return t.str() + ")";
}

void reportSource(Text& t, std::FILE* stream, std::int64_t size, const LoadReport& r, const Study& loaded,
                  bool drawMontage, Inspection& ins) {
    t << "recognised: yes: " << probeText(r.probe) << "\n";

    // The header as the reader walks it, into a study of its own.
    FreshStudy listed;
    FilePreamble preamble{};
    ElementListing listing;
    const HeaderStatus status = readHeader(stream, preamble, *listed, [&listing](const SeenElement& e, const Study& s) { listing.seen(e, s); });
    t << "sample form: " << (preamble.sampleBits == 32 ? "32-bit floats" : "16-bit integers")
      << " (preamble word at offset 18: " << preamble.sampleBits << ")\n";
    t << "header elements:\n  " << padLeft("offset", 8) << "  " << padRight("element", 11) << "  " << padRight("name", 16)
      << padLeft("length", 11) << "  value\n"
      << listing.text();
    std::int64_t pixelStart = -1;
    switch (status) {
    case HeaderStatus::Complete:
        pixelStart = ftello(stream);
        t << "pixel data: from offset " << pixelStart << "\n";
        break;
    case HeaderStatus::Incomplete:
        t << "header: the file (" << plural(size, "byte", "bytes") << ") ends before the end element "
          << tagText(kEndGroup, kEndElement) << "\n";
        break;
    case HeaderStatus::Malformed: t << "header: the walk stops at the negative length\n"; break;
    }

    int imagesStored = 0;
    if (headerRead(r)) {
        t << "geometry: " << r.columns << " x " << r.rows << ", "
          << (r.sampleBits == 32 ? "32-bit floats" : "16-bit integers");
        if (r.columns == 128 && r.rows == 128) t << ", reduced to 64 x 64 when converted";
        t << "\n";
        t << "gating: hr " << r.hr << ", " << plural(r.division, "division", "divisions") << ", image count "
          << r.imageCount;
        if (framesDerived(r)) t << ": " << plural(r.frames, "frame", "frames") << " per division";
        t << "\n";
        t << "images: ";
        const long long imageBytes = static_cast<long long>(r.rows) * r.columns * (r.sampleBits == 32 ? 4 : 2);
        if (pixelStart >= 0 && imageBytes > 0 && size >= 0) {
            const long long data = size > pixelStart ? size - pixelStart : 0;
            t << "the file holds " << data / imageBytes;
            if (data % imageBytes) t << " and " << plural(data % imageBytes, "byte", "bytes") << " of another";
            t << ", ";
        }
        if (r.passes > 0)
            t << "the converter reads " << static_cast<long long>(r.passes) * r.frames << " ("
              << plural(r.passes, "division", "divisions") << " of " << r.frames << ")\n";
        else
            t << "the converter reads none\n";
        if (r.reason == LoadReason::Loaded) imagesStored = r.passes * r.frames;
        if (r.reason == LoadReason::PixelDataEnds) imagesStored = r.image - 1;
    }

    if (imagesStored > 0 && pixelStart >= 0) {
        const SampleCounts c = countSamples(stream, r, imagesStored);
        ins.verdict.wrapped = c.totalWrapped;
        if (c.totalWrapped == 0)
            t << "wrapped samples: none\n";
        else
            t << "warning: " << plural(c.totalWrapped, "stored sample wraps", "stored samples wrap")
              << " around modulo 65536" << perDivision(c.wrapped) << "\n";
        if (c.totalNonFinite > 0)
            t << "warning: " << plural(c.totalNonFinite, "float sample is", "float samples are")
              << " not finite and stored as 0" << perDivision(c.nonFinite) << "\n";
    }

    if (!drawMontage) return;
    if (imagesStored <= 0) {
        ins.noMontage = "no frames were read";
        return;
    }
    // The frames in the order the converter writes them.
    const int frames = r.frames;
    const bool reverse = loaded.flags.reverseFrames;
    ins.montage = montageOf(r.passes, frames, [&](int d, int i) -> const std::int16_t* {
        const int f = reverse ? frames - 1 - i : i;
        return d * frames + f < imagesStored ? loaded.store.frame(d, f) : nullptr;
    });
}

// ------------------------------------------------ Gated SPECT data files

constexpr std::string_view kGsdMagic = "qubrix\r\n";
constexpr std::size_t kMostGsdHeader = 4096;  // far above any header the writer makes
constexpr int kMostDrawnFrames = FrameStore::kSlots;

struct GsdKey {
    std::string_view key;
    bool optional;
    enum class Form { Token, Raw, Fixed4, Fixed10, Matrix, Integer, Order } form;
};

constexpr GsdKey kGsdKeys[] = {
    {"id", false, GsdKey::Form::Token},         {"name", false, GsdKey::Form::Token},
    {"date", false, GsdKey::Form::Raw},         {"time", false, GsdKey::Form::Raw},
    {"sex", false, GsdKey::Form::Raw},          {"height", true, GsdKey::Form::Fixed4},
    {"weight", true, GsdKey::Form::Fixed4},     {"tracer", true, GsdKey::Form::Token},
    {"comment", true, GsdKey::Form::Token},     {"matrix", false, GsdKey::Form::Matrix},
    {"pixel", false, GsdKey::Form::Fixed10},    {"thick", false, GsdKey::Form::Fixed10},
    {"hr", false, GsdKey::Form::Integer},       {"division", false, GsdKey::Form::Integer},
    {"frames", false, GsdKey::Form::Integer},   {"order", false, GsdKey::Form::Order},
};
constexpr std::size_t kGsdKeyCount = sizeof kGsdKeys / sizeof kGsdKeys[0];

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// "%d": an optional minus sign and digits without leading zeros.
bool parseInteger(std::string_view v, long long& value) {
    const bool negative = !v.empty() && v[0] == '-';
    const std::string_view digits = v.substr(negative ? 1 : 0);
    if (digits.empty() || digits.size() > 11 || (digits.size() > 1 && digits[0] == '0')) return false;
    value = 0;
    for (const char c : digits) {
        if (!isDigit(c)) return false;
        value = value * 10 + (c - '0');
    }
    if (negative) value = -value;
    return true;
}

// "%<width>.<precision>f": spaces up to the width, then an optional minus
// sign, digits, a full stop and `precision` digits (or inf, nan).
bool isFixed(std::string_view v, std::size_t precision, std::size_t width) {
    const std::size_t fill = v.find_first_not_of(' ');
    if (fill == std::string_view::npos || (fill > 0 && v.size() != width)) return false;
    std::string_view n = v.substr(fill);
    if (!n.empty() && n[0] == '-') n.remove_prefix(1);
    if (n == "inf" || n == "nan") return true;
    const std::size_t point = n.find('.');
    if (point == 0 || point == std::string_view::npos || n.size() - point - 1 != precision) return false;
    return std::all_of(n.begin(), n.begin() + static_cast<std::ptrdiff_t>(point), isDigit) &&
           std::all_of(n.begin() + static_cast<std::ptrdiff_t>(point) + 1, n.end(), isDigit);
}

bool valueFits(const GsdKey& k, std::string_view v, long long& integer) {
    switch (k.form) {
    case GsdKey::Form::Token:
        return std::all_of(v.begin(), v.end(), [](char c) { return c >= 0x21 && c <= 0x7E; });
    case GsdKey::Form::Raw: return true;
    case GsdKey::Form::Fixed4: return isFixed(v, 4, 8);
    case GsdKey::Form::Fixed10: return isFixed(v, 10, 16);
    case GsdKey::Form::Matrix: return v == "64";
    case GsdKey::Form::Integer: return parseInteger(v, integer);
    case GsdKey::Form::Order: return v == "little";
    }
    return false;
}

struct GsdHeader {
    std::vector<std::string> lines;  // as written, escaped, without CR LF
    std::string problem;             // the malformed line, when one is
    std::size_t size = 0;            // header bytes with the separator line
    long long division = 0;
    long long frames = 0;
};

// The line at `at` up to its CR LF (or a part of it), for a message.
std::string lineAt(std::string_view text, std::size_t at) {
    std::string_view rest = text.substr(std::min(at, text.size()));
    rest = rest.substr(0, std::min(rest.find("\r\n"), std::size_t{80}));
    return quoted(rest);
}

// Reads the header lines in their fixed order. A raw value (date, time,
// sex) may hold anything, even ";" and CR LF: it ends at the first ";\r\n"
// that a key allowed next follows, else at the first ";\r\n".
GsdHeader parseGsdHeader(std::string_view text) {
    GsdHeader h;
    h.lines.emplace_back("qubrix");
    std::size_t at = kGsdMagic.size();
    int line = 2;
    for (std::size_t i = 0; i < kGsdKeyCount; ++i) {
        const GsdKey& k = kGsdKeys[i];
        const std::string prefix = std::string(k.key) + " = ";
        if (text.substr(at, prefix.size()) != prefix) {
            if (k.optional) continue;
            h.problem = "line " + toText(line) + " is " + lineAt(text, at) + ", expected \"" + prefix + "...;\"";
            return h;
        }
        const std::size_t start = at + prefix.size();
        std::size_t end = text.find(";\r\n", start);
        for (std::size_t next = end; k.form == GsdKey::Form::Raw && next != std::string_view::npos;
             next = text.find(";\r\n", next + 1)) {
            // A key allowed next: the following optional ones and the first required one.
            bool follows = false;
            for (std::size_t j = i + 1; j < kGsdKeyCount && !follows; ++j) {
                follows = text.substr(next + 3, kGsdKeys[j].key.size() + 3) == std::string(kGsdKeys[j].key) + " = ";
                if (!kGsdKeys[j].optional) break;
            }
            if (follows) {
                end = next;
                break;
            }
        }
        if (end == std::string_view::npos) {
            h.problem = "line " + toText(line) + " (" + std::string(k.key) + ") does not end in \";\" and CR LF";
            return h;
        }
        const std::string_view value = text.substr(start, end - start);
        long long integer = 0;
        if (!valueFits(k, value, integer)) {
            h.problem = "line " + toText(line) + " holds " + quoted(value) + ", not a valid " + std::string(k.key);
            return h;
        }
        if (k.key == "division") h.division = integer;
        if (k.key == "frames") h.frames = integer;
        std::string shown;
        appendEscaped(shown, text.substr(at, end + 1 - at), 0);
        h.lines.push_back(std::move(shown));
        at = end + 3;
        ++line;
    }
    if (text.substr(at, 3) != "\f\r\n") {
        h.problem = "line " + toText(line) + " is " + lineAt(text, at) + ", expected the form feed line";
        return h;
    }
    h.lines.emplace_back("\\x0C");
    h.size = at + 3;
    return h;
}

void reportGsd(Text& t, std::FILE* stream, std::int64_t size, bool drawMontage, Inspection& ins) {
    t << "kind: Gated SPECT data file\n";
    std::string head(kMostGsdHeader, '\0');
    head.resize(std::fread(head.data(), 1, head.size(), stream));
    const GsdHeader h = parseGsdHeader(head);
    t << "header lines:\n";
    for (const std::string& line : h.lines) t << "  " << line << "\n";
    if (!h.problem.empty()) {
        t << "header: " << h.problem << "; the length is not checked\n";
        if (drawMontage) ins.noMontage = "the header is malformed";
        return;
    }
    // The writer writes every division (at least one) of `frames` frames.
    const long long divisions = h.division >= 1 ? h.division : 1;
    const long long frames = h.frames > 0 ? h.frames : 0;
    constexpr long long kMostFrames = 1LL << 40;  // far beyond any file, and no overflow below
    if (frames > kMostFrames / divisions) {
        t << "length: " << plural(size, "byte", "bytes") << "; the header claims " << divisions << " x " << frames
          << " frames, more than any file holds\n";
        if (drawMontage) ins.noMontage = "the header claims more frames than a conversion writes";
        return;
    }
    const long long expected = static_cast<long long>(h.size) + divisions * frames * 8192;
    t << "length: " << plural(size, "byte", "bytes") << "; " << h.size << " header bytes + " << divisions << " x "
      << frames << " frames x 8192 bytes = " << expected;
    t << (size == expected ? ": correct\n" : size < expected ? ": frames are missing\n" : ": extra bytes at the end\n");
    if (divisions * frames > kMostDrawnFrames) {
        t << "frames: " << divisions * frames << " claimed, more than a conversion writes; not read\n";
        if (drawMontage) ins.noMontage = "the header claims more frames than a conversion writes";
        return;
    }

    // Every frame present, little-endian, in file order.
    const auto count = static_cast<std::size_t>(divisions * frames);
    std::vector<std::int16_t> samples(count * FrameStore::kFrameSamples);
    std::vector<bool> present(count, false);
    if (std::fseek(stream, static_cast<long>(h.size), SEEK_SET) == 0) {
        unsigned char bytes[FrameStore::kFrameSamples * 2];
        for (std::size_t f = 0; f < count && std::fread(bytes, 1, sizeof bytes, stream) == sizeof bytes; ++f) {
            present[f] = true;
            for (int k = 0; k < FrameStore::kFrameSamples; ++k)
                samples[f * FrameStore::kFrameSamples + static_cast<std::size_t>(k)] =
                    static_cast<std::int16_t>(static_cast<std::uint16_t>(bytes[2 * k] | bytes[2 * k + 1] << 8));
        }
    }
    for (long long d = 0; d < divisions && frames > 0; ++d) {
        int low = 32767;
        int high = -32768;
        long long sum = 0;
        long long seen = 0;
        for (long long i = 0; i < frames; ++i) {
            const auto f = static_cast<std::size_t>(d * frames + i);
            if (!present[f]) continue;
            ++seen;
            for (int k = 0; k < FrameStore::kFrameSamples; ++k) {
                const int v = samples[f * FrameStore::kFrameSamples + static_cast<std::size_t>(k)];
                low = std::min(low, v);
                high = std::max(high, v);
                sum += v;
            }
        }
        t << "division " << d + 1 << ": ";
        if (seen == 0)
            t << "no frame in the file\n";
        else
            t << "min " << low << ", max " << high << ", sum " << sum
              << (seen < frames ? " (" + toText(seen) + " of " + toText(frames) + " frames)" : std::string()) << "\n";
    }
    if (!drawMontage) return;
    ins.montage = montageOf(static_cast<int>(divisions), static_cast<int>(frames), [&](int d, int i) {
        const auto f = static_cast<std::size_t>(d * frames + i);
        return present[f] ? &samples[f * FrameStore::kFrameSamples] : nullptr;
    });
    if (ins.montage.width == 0) ins.noMontage = "the file holds no frame";
}

bool startsWithGsdMagic(std::FILE* stream) {
    char head[kGsdMagic.size()];
    const bool magic = std::fread(head, 1, sizeof head, stream) == sizeof head &&
                       std::string_view(head, sizeof head) == kGsdMagic;
    std::rewind(stream);
    return magic;
}

}  // namespace

const char* kindName(FileKind kind) {
    switch (kind) {
    case FileKind::Source: return "source";
    case FileKind::Gsd: return "gsd";
    case FileKind::Unknown: return "unknown";
    }
    return "unknown";
}

Inspection inspectFile(const std::string& path, bool drawMontage) {
    Inspection ins;
    Verdict& v = ins.verdict;
    Text t;
    t << "== " << printablePath(path) << "\n";
    auto finish = [&] {
        t << "verdict: " << v.code << ": " << v.reason << "\n";
        ins.report = std::move(t.str());
        if (drawMontage && ins.montage.width == 0 && ins.noMontage.empty()) ins.noMontage = "nothing to draw";
        return std::move(ins);
    };

    // trevik refuses a path its buffer cannot hold before it reads anything.
    PathBuffer buffer{};
    if (!buffer.assign(path)) {
        v.code = kCannotOpen;
        v.reason = path.size() >= PathBuffer::kCapacity ? "the path is longer than 255 bytes" : "the path holds a zero byte";
        v.unreadable = true;
        t << "kind: unknown: the converter does not read it\n";
        return finish();
    }

    FreshStudy study;
    resetGating(study->record);
    LoadReport report{};
    v.code = loadStudy(buffer.c_str(), *study, &report);
    v.reason = reasonText(report);
    if (report.reason == LoadReason::CannotOpen) {
        v.unreadable = true;
        t << "kind: unknown: the file cannot be read\n";
        return finish();
    }

    std::int64_t size = -1;
    const StreamHandle stream = openForReading(path, size);
    if (!stream) {
        v.unreadable = true;
        t << "kind: unknown: the file cannot be read again\n";
        return finish();
    }
    if (report.reason != LoadReason::NotRecognised) {
        v.kind = FileKind::Source;
        t << "kind: source projection file\n";
        reportSource(t, stream.get(), size, report, *study, drawMontage, ins);
    } else if (startsWithGsdMagic(stream.get())) {
        v.kind = FileKind::Gsd;
        v.reason += "; it is a Gated SPECT data file";
        reportGsd(t, stream.get(), size, drawMontage, ins);
    } else {
        t << "kind: unknown\nrecognised: no: " << probeText(report.probe) << "\n";
        if (drawMontage) ins.noMontage = "neither a projection file nor a Gated SPECT data file";
    }
    return finish();
}

std::string escapeTsv(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        default:
            // Every other control byte as \xNN: no field can move the
            // terminal or hide what follows it.
            if (const auto u = static_cast<unsigned char>(c); u < 0x20 || u == 0x7F) {
                constexpr char kHex[] = "0123456789ABCDEF";
                out += "\\x";
                out += kHex[u >> 4];
                out += kHex[u & 0xF];
            } else {
                out += c;
            }
        }
    }
    return out;
}

std::string tsvLine(std::string_view path, const Verdict& verdict) {
    Text t;
    t << escapeTsv(path) << "\t" << kindName(verdict.kind) << "\t" << verdict.code << "\t" << escapeTsv(verdict.reason)
      << "\t" << verdict.wrapped << "\n";
    return std::move(t.str());
}

}  // namespace trevik::inspect
