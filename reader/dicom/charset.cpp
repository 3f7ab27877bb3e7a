#include "reader/dicom/charset.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <iconv.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <map>

#include "dicom/nm_attributes.h"
#include "study/names.h"
#include "study/status.h"

namespace trevik::dicom {

namespace {

constexpr std::uint32_t kReplacement = 0xFFFD;  // a character that cannot be decoded: "_"
constexpr char kEsc = 0x1B;

// How a code element turns bytes into characters.
enum class Kind : std::uint8_t {
    None,       // no characters here: a byte is one that cannot be decoded
    Ascii,      // G0: ASCII (or JIS X 0201 romaji, read as ASCII)
    SingleByte, // G1: one byte a character, through iconv
    Katakana,   // G1: JIS X 0201 katakana, 0xA1..0xDF
    JisX0208,   // G0: two bytes, through EUC-JP
    JisX0212,   // G0: two bytes, through EUC-JP's third code set
    DoubleGR,   // G1: two bytes from 0xA1, through iconv (EUC-KR, EUC-CN)
    Whole,      // no code extensions: the whole value through iconv
};

struct Element {
    Kind kind = Kind::None;
    const char* iconvName = nullptr;
};

// Every Defined Term: its code element and, for the ISO 2022 forms, the
// escape sequence that designates it (the bytes after ESC). ISO_IR 13 and
// ISO 2022 IR 13 also designate JIS X 0201 romaji as G0, read as ASCII.
struct Term {
    const char* name;
    bool extensions;  // an ISO 2022 form
    bool g0;          // designated to G0 (else G1)
    Element element;
    const char* escape;
};

constexpr Term kTerms[] = {
    {"ISO_IR 6", false, true, {Kind::Ascii}, "(B"},
    {"ISO_IR 100", false, false, {Kind::SingleByte, "ISO-8859-1"}, "-A"},
    {"ISO_IR 101", false, false, {Kind::SingleByte, "ISO-8859-2"}, "-B"},
    {"ISO_IR 109", false, false, {Kind::SingleByte, "ISO-8859-3"}, "-C"},
    {"ISO_IR 110", false, false, {Kind::SingleByte, "ISO-8859-4"}, "-D"},
    {"ISO_IR 144", false, false, {Kind::SingleByte, "ISO-8859-5"}, "-L"},
    {"ISO_IR 127", false, false, {Kind::SingleByte, "ISO-8859-6"}, "-G"},
    {"ISO_IR 126", false, false, {Kind::SingleByte, "ISO-8859-7"}, "-F"},
    {"ISO_IR 138", false, false, {Kind::SingleByte, "ISO-8859-8"}, "-H"},
    {"ISO_IR 148", false, false, {Kind::SingleByte, "ISO-8859-9"}, "-M"},
    {"ISO_IR 203", false, false, {Kind::SingleByte, "ISO-8859-15"}, "-b"},
    {"ISO_IR 13", false, false, {Kind::Katakana}, ")I"},
    {"ISO_IR 166", false, false, {Kind::SingleByte, "TIS-620"}, "-T"},
    {"ISO_IR 192", false, false, {Kind::Whole, "UTF-8"}, nullptr},
    {"GB18030", false, false, {Kind::Whole, "GB18030"}, nullptr},
    {"GBK", false, false, {Kind::Whole, "GBK"}, nullptr},
    {"ISO 2022 IR 6", true, true, {Kind::Ascii}, "(B"},
    {"ISO 2022 IR 100", true, false, {Kind::SingleByte, "ISO-8859-1"}, "-A"},
    {"ISO 2022 IR 101", true, false, {Kind::SingleByte, "ISO-8859-2"}, "-B"},
    {"ISO 2022 IR 109", true, false, {Kind::SingleByte, "ISO-8859-3"}, "-C"},
    {"ISO 2022 IR 110", true, false, {Kind::SingleByte, "ISO-8859-4"}, "-D"},
    {"ISO 2022 IR 144", true, false, {Kind::SingleByte, "ISO-8859-5"}, "-L"},
    {"ISO 2022 IR 127", true, false, {Kind::SingleByte, "ISO-8859-6"}, "-G"},
    {"ISO 2022 IR 126", true, false, {Kind::SingleByte, "ISO-8859-7"}, "-F"},
    {"ISO 2022 IR 138", true, false, {Kind::SingleByte, "ISO-8859-8"}, "-H"},
    {"ISO 2022 IR 148", true, false, {Kind::SingleByte, "ISO-8859-9"}, "-M"},
    {"ISO 2022 IR 203", true, false, {Kind::SingleByte, "ISO-8859-15"}, "-b"},
    {"ISO 2022 IR 13", true, false, {Kind::Katakana}, ")I"},
    {"ISO 2022 IR 166", true, false, {Kind::SingleByte, "TIS-620"}, "-T"},
    {"ISO 2022 IR 87", true, true, {Kind::JisX0208, "EUC-JP"}, "$B"},
    {"ISO 2022 IR 159", true, true, {Kind::JisX0212, "EUC-JP"}, "$(D"},
    {"ISO 2022 IR 149", true, false, {Kind::DoubleGR, "EUC-KR"}, "$)C"},
    {"ISO 2022 IR 58", true, false, {Kind::DoubleGR, "EUC-CN"}, "$)A"},
};

// The escape sequences no term names but writers use: JIS X 0201 romaji
// as G0 (read as ASCII) and the older JIS X 0208 designation.
constexpr Term kMoreEscapes[] = {
    {"", true, true, {Kind::Ascii}, "(J"},
    {"", true, true, {Kind::JisX0208, "EUC-JP"}, "$@"},
};

std::string trimmedTerm(std::string_view s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.remove_suffix(1);
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    return std::string(s);
}

void appendUtf8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | c >> 18);
        out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// One iconv descriptor to UTF-8, closed with its owner.
class Converter {
public:
    explicit Converter(const char* from) : cd_(::iconv_open("UTF-8", from)) {}
    ~Converter() {
        if (ok()) ::iconv_close(cd_);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // Converts `bytes` whole; false (and `out` untouched) when they are no
    // complete, valid text of the set.
    bool convert(std::string_view bytes, std::string& out) {
        if (!ok()) return false;
        ::iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        std::string converted(bytes.size() * 4 + 8, '\0');
        char* in = const_cast<char*>(bytes.data());
        std::size_t inLeft = bytes.size();
        char* to = converted.data();
        std::size_t toLeft = converted.size();
        if (::iconv(cd_, &in, &inLeft, &to, &toLeft) == static_cast<std::size_t>(-1) || inLeft != 0) return false;
        converted.resize(converted.size() - toLeft);
        out += converted;
        return true;
    }

private:
    iconv_t cd_;
};

// The first character of a UTF-8 text iconv wrote (never empty).
std::uint32_t firstCharacter(const std::string& utf8) {
    if (utf8.empty()) return kReplacement;
    const auto lead = static_cast<unsigned char>(utf8[0]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    std::uint32_t code = length == 1 ? lead : lead & (0x7Fu >> length);
    for (std::size_t k = 1; k < length && k < utf8.size(); ++k)
        code = code << 6 | (static_cast<unsigned char>(utf8[k]) & 0x3Fu);
    return code;
}

}  // namespace

std::string asciiOfUtf8(std::string_view utf8) { return foldedAscii(utf8); }

struct TextDecoder::State {
    bool extensions = false;            // an ISO 2022 form: escape sequences switch sets
    bool malformed = false;             // nothing beyond ASCII can be decoded
    Element g0{Kind::Ascii}, g1{Kind::None};  // at the start of each value
    std::map<std::string, std::unique_ptr<Converter>> converters;
    std::vector<std::string> warnings;

    void warn(const std::string& text) {
        for (const std::string& w : warnings)
            if (w == text) return;
        warnings.push_back(text);
    }

    Converter* converter(const char* name) {
        std::unique_ptr<Converter>& c = converters[name];
        if (!c) c = std::make_unique<Converter>(name);
        return c->ok() ? c.get() : nullptr;
    }

    void select(std::string_view value);
    const Term* termOfEscape(std::string_view escape) const;
    std::string decode(std::string_view value, bool personName);
    std::string decodeWhole(std::string_view value, const char* name);
    // The character of the bytes at `i` in `element`; advances `i`.
    std::uint32_t character(std::string_view value, std::size_t& i, const Element& element);
};

void TextDecoder::State::select(std::string_view value) {
    std::vector<std::string> terms;
    for (std::size_t start = 0;;) {
        const std::size_t end = value.find('\\', start);
        terms.push_back(trimmedTerm(value.substr(start, end == std::string_view::npos ? end : end - start)));
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    const std::string shown = "Specific Character Set \"" + printableName(value) + "\"";
    for (std::size_t k = 0; k < terms.size(); ++k) {
        const Term* term = nullptr;
        for (const Term& t : kTerms)
            if (terms[k] == t.name) term = &t;
        if (terms[k].empty() && k == 0) term = &kTerms[0];  // the default repertoire
        if (!term && !terms[k].empty()) {
            warn(shown + " names a set the converter does not know: characters beyond ASCII are read as \"_\"");
            malformed = true;
            continue;
        }
        if (!term) continue;
        if (terms.size() > 1 && !term->extensions && !(k == 0 && terms[k].empty())) {
            warn(shown + " names several sets, one without code extensions: characters beyond ASCII are read as "
                         "\"_\"");
            malformed = true;
        }
        extensions = extensions || term->extensions;
        // The first value sets what a value starts with; a set of two-byte
        // G0 characters is only ever designated by its escape sequence.
        if (k == 0 && !term->g0) g1 = term->element;
    }
    if (malformed) g1 = Element{Kind::None};
    if (g1.iconvName && !converter(g1.iconvName)) {
        warn(shown + ": the system cannot convert " + g1.iconvName + "; characters beyond ASCII are read as \"_\"");
        g1 = Element{Kind::None};
    }
}

const Term* TextDecoder::State::termOfEscape(std::string_view escape) const {
    for (const Term& t : kTerms)
        if (t.escape && escape == t.escape) return &t;
    for (const Term& t : kMoreEscapes)
        if (escape == t.escape) return &t;
    return nullptr;
}

std::string TextDecoder::State::decodeWhole(std::string_view value, const char* name) {
    std::string out;
    Converter* c = converter(name);
    if (c && c->convert(value, out)) return out;
    // Character by character: the shortest run of bytes that converts (one
    // character), else one replacement for the byte that starts none.
    out.clear();
    std::size_t i = 0;
    while (i < value.size()) {
        std::size_t taken = 0;
        for (std::size_t n = 1; n <= 4 && i + n <= value.size() && !taken; ++n) {
            std::string one;
            if (c && c->convert(value.substr(i, n), one)) {
                out += one;
                taken = n;
            }
        }
        if (!taken) {
            warn("a text holds bytes that are no character of " + std::string(name) + ": each is read as \"_\"");
            appendUtf8(out, kReplacement);
            taken = 1;
        }
        i += taken;
    }
    return out;
}

std::uint32_t TextDecoder::State::character(std::string_view value, std::size_t& i, const Element& element) {
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(value[at]); };
    const unsigned char b = byte(i++);
    auto undecodable = [&] {
        warn("a text holds bytes that are no character of its character set: each is read as \"_\"");
        return kReplacement;
    };
    switch (element.kind) {
    case Kind::Ascii: return b < 0x80 ? b : undecodable();
    case Kind::Katakana: return b >= 0xA1 && b <= 0xDF ? 0xFF61u + (b - 0xA1u) : undecodable();
    case Kind::SingleByte: {
        std::string one;
        Converter* c = converter(element.iconvName);
        const char raw = static_cast<char>(b);
        return c && c->convert(std::string_view(&raw, 1), one) ? firstCharacter(one) : undecodable();
    }
    case Kind::JisX0208:
    case Kind::JisX0212:
    case Kind::DoubleGR: {
        const bool gl = element.kind != Kind::DoubleGR;
        const auto inSet = [gl](unsigned char c) { return gl ? c >= 0x21 && c <= 0x7E : c >= 0xA1 && c <= 0xFE; };
        if (!inSet(b) || i >= value.size() || !inSet(byte(i))) return undecodable();
        std::string pair;
        if (element.kind == Kind::JisX0212) pair += static_cast<char>(0x8F);
        pair += static_cast<char>(b | 0x80);
        pair += static_cast<char>(byte(i++) | 0x80);
        std::string one;
        Converter* c = converter(element.iconvName);
        return c && c->convert(pair, one) ? firstCharacter(one) : undecodable();
    }
    case Kind::None:
    case Kind::Whole: break;
    }
    return undecodable();
}

std::string TextDecoder::State::decode(std::string_view value, bool personName) {
    if (!malformed && g1.kind == Kind::Whole) return decodeWhole(value, g1.iconvName);
    std::string out;
    Element G0 = g0, G1 = g1;
    bool inRun = false;  // inside a run of bytes no set can decode (one "_")
    std::size_t i = 0;
    while (i < value.size()) {
        const auto b = static_cast<unsigned char>(value[i]);
        const bool twoByteG0 = G0.kind == Kind::JisX0208 || G0.kind == Kind::JisX0212;
        if (b == static_cast<unsigned char>(kEsc)) {
            std::size_t end = i + 1;
            while (end < value.size() && value[end] >= 0x20 && value[end] <= 0x2F) ++end;
            if (end >= value.size()) {
                warn("a text ends inside an escape sequence");
                break;
            }
            const std::string_view escape = value.substr(i + 1, end - i);
            const Term* term = termOfEscape(escape);
            const bool toG0 = escape[0] == '(' || (escape[0] == '$' && escape.size() == 2) ||
                              (escape.size() > 2 && escape[1] == '(');
            if (!term) {
                if (!malformed)
                    warn("a text holds an escape sequence the converter does not know: what follows is read as \"_\"");
                (toG0 ? G0 : G1) = Element{Kind::None};
            } else {
                (term->g0 ? G0 : G1) = term->element;
            }
            i = end + 1;
            inRun = false;
            continue;
        }
        // Delimiters reset the code elements to those the value starts with.
        const bool control = b < 0x20;
        if (b == ' ') {  // a space in every 94-character set
            out += ' ';
            inRun = false;
            ++i;
            continue;
        }
        const bool delimiter = control || (!twoByteG0 && (b == '\\' || (personName && (b == '^' || b == '='))));
        if (delimiter) {
            G0 = g0;
            G1 = g1;
            out += static_cast<char>(b);
            inRun = false;
            ++i;
            continue;
        }
        const Element& element = b >= 0x80 ? G1 : G0;
        if (element.kind == Kind::None) {
            if (!inRun) appendUtf8(out, kReplacement);
            if (!malformed && extensions)
                warn("a text holds bytes beyond ASCII that no declared set covers: each run is read as \"_\"");
            else if (!malformed)
                warn("a text holds bytes beyond ASCII although the object declares no character set for them: each "
                     "run is read as \"_\"");
            inRun = true;
            ++i;
            continue;
        }
        inRun = false;
        appendUtf8(out, character(value, i, element));
    }
    return out;
}

TextDecoder::TextDecoder(DcmItem& dataset) : state_(std::make_unique<State>()) {
    OFString declared;
    if (dataset.findAndGetOFStringArray(tagOf(Nm::SpecificCharacterSet), declared).bad()) declared.clear();
    state_->select(std::string_view(declared.c_str(), declared.length()));
}

TextDecoder::TextDecoder(std::string_view declared) : state_(std::make_unique<State>()) { state_->select(declared); }

TextDecoder::~TextDecoder() = default;

std::string TextDecoder::utf8(std::string_view value, bool personName) const { return state_->decode(value, personName); }

std::string TextDecoder::ascii(std::string_view value, bool personName) const {
    return foldedAscii(utf8(value, personName));
}

std::string TextDecoder::name(std::string_view value) const {
    std::string text = utf8(value, true);
    return readableName(text.substr(0, text.find('\\')));  // the first name only
}

std::string TextDecoder::identifier(std::string_view value) const { return readableIdentifier(utf8(value)); }

const std::vector<std::string>& TextDecoder::warnings() const { return state_->warnings; }

std::vector<std::string> textWarnings(DcmItem& dataset) {
    TextDecoder decoder(dataset);
    auto value = [](DcmItem& item, const DcmTagKey& tag) {
        OFString v;
        return item.findAndGetOFStringArray(tag, v).good() ? std::string(v.c_str(), v.length()) : std::string();
    };
    decoder.name(value(dataset, tagOf(Nm::PatientName)));
    decoder.identifier(value(dataset, tagOf(Nm::PatientId)));
    DcmItem* drug = nullptr;
    if (dataset.findAndGetSequenceItem(tagOf(Nm::RadiopharmaceuticalInformationSequence), drug, 0).good() && drug)
        decoder.ascii(value(*drug, tagOf(Nm::Radiopharmaceutical)));
    return decoder.warnings();
}

}  // namespace trevik::dicom
