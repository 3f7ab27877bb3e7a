#include "reader/header.h"

#include <cstdint>
#include <cstring>

#include "reader/decimal_text.h"

namespace trevik {

namespace {

// How a value is taken. Every form consumes exactly the element's length.
enum class Form {
    Text,             // the value, cut to the field's width
    TimeText,         // the first 8 bytes of the value
    FirstChar,        // the first byte of the value; empty for an empty value
    Decimal,          // the leading decimal number of the value
    BE16,             // a big-endian 16-bit number from value bytes 0-1
    BE32,             // a big-endian 32-bit number from value bytes 0-3
    HeartRate,        // (0019,1304): hr from bytes 0-1, division from bytes 8-9
    SliceAndOrder,    // (0019,1311): slicePixels from bytes 8-9, byte 20 "M" reverses
};

// A text field: its first byte and its width including the terminator.
struct TextField {
    char* text;
    std::size_t width;
};

struct ElementRule {
    std::uint16_t group;
    std::uint16_t element;
    Form form;
    // The destination for forms with one: a text field, or a number.
    TextField (*text)(Study&);
    double* (*decimal)(Study&);
    std::int16_t* (*word)(Study&);
};

template <std::size_t N>
TextField field(char (&f)[N]) {
    return {f, N};
}

const ElementRule kElements[] = {
    {0x0008, 0x0020, Form::Text, [](Study& s) { return field(s.record.date); }, nullptr, nullptr},
    {0x0008, 0x0030, Form::TimeText, [](Study& s) { return TextField{s.record.time, 9}; }, nullptr, nullptr},
    {0x0010, 0x0010, Form::Text, [](Study& s) { return field(s.record.name); }, nullptr, nullptr},
    {0x0010, 0x0020, Form::Text, [](Study& s) { return field(s.record.id); }, nullptr, nullptr},
    {0x0010, 0x0040, Form::FirstChar, [](Study& s) { return field(s.record.sex); }, nullptr, nullptr},
    {0x0018, 0x0030, Form::Text, [](Study& s) { return field(s.record.tracer); }, nullptr, nullptr},
    {0x0018, 0x0050, Form::Decimal, nullptr, [](Study& s) { return &s.record.thick; }, nullptr},
    {0x0019, 0x1304, Form::HeartRate, nullptr, nullptr, nullptr},
    {0x0019, 0x1311, Form::SliceAndOrder, nullptr, nullptr, nullptr},
    {0x0028, 0x0010, Form::BE16, nullptr, nullptr, [](Study& s) { return &s.geometry.rows; }},
    {0x0028, 0x0011, Form::BE16, nullptr, nullptr, [](Study& s) { return &s.geometry.columns; }},
    {0x0028, 0x0030, Form::Decimal, nullptr, [](Study& s) { return &s.record.pixel; }, nullptr},
    {0x6B01, 0x1001, Form::BE32, nullptr, nullptr, nullptr},
};

constexpr std::uint16_t kEndGroup = 0x6B01;
constexpr std::uint16_t kEndElement = 0x1004;

const ElementRule* findRule(const ElementHeader& h) {
    for (const ElementRule& rule : kElements)
        if (rule.group == h.group && rule.element == h.element) return &rule;
    return nullptr;
}

// Advances the stream by `count` bytes of the current value. Moving past the
// end of the file is allowed here: the next read then comes back short.
bool skip(std::FILE* stream, std::int64_t count) {
    return count <= 0 || fseeko(stream, static_cast<off_t>(count), SEEK_CUR) == 0;
}

bool readBytes(std::FILE* stream, void* to, std::size_t count) {
    return std::fread(to, 1, count, stream) == count;
}

std::uint16_t be16(const unsigned char* b) { return static_cast<std::uint16_t>(b[0] << 8 | b[1]); }

// The smallest number of value bytes each fixed form needs. A shorter value
// is skipped whole and leaves its fields as they were; a longer one gives
// the needed bytes from its start.
std::int32_t neededBytes(Form form) {
    switch (form) {
    case Form::BE16: return 2;
    case Form::BE32: return 4;
    case Form::HeartRate: return 10;
    case Form::SliceAndOrder: return 21;
    default: return 0;
    }
}

bool takeValue(std::FILE* stream, const ElementRule& rule, std::int32_t length, Study& study) {
    const std::int32_t need = neededBytes(rule.form);
    if (length < need) return skip(stream, length);

    switch (rule.form) {
    case Form::Text:
    case Form::TimeText:
    case Form::FirstChar: {
        const TextField f = rule.text(study);
        std::size_t keep = f.width - 1;  // Text and TimeText: whatever fits
        if (rule.form == Form::FirstChar) keep = 1;
        if (static_cast<std::size_t>(length) < keep) keep = static_cast<std::size_t>(length);
        char buffer[64];
        if (!readBytes(stream, buffer, keep)) return false;
        std::memcpy(f.text, buffer, keep);
        f.text[keep] = '\0';
        return skip(stream, length - static_cast<std::int32_t>(keep));
    }
    case Form::Decimal: {
        DecimalScanner scanner;
        std::int32_t left = length;
        unsigned char chunk[256];
        bool scanning = true;
        while (scanning && left > 0) {
            const std::size_t n = left < static_cast<std::int32_t>(sizeof chunk) ? static_cast<std::size_t>(left)
                                                                                 : sizeof chunk;
            if (!readBytes(stream, chunk, n)) return false;
            left -= static_cast<std::int32_t>(n);
            for (std::size_t i = 0; i < n && scanning; ++i) scanning = scanner.feed(chunk[i]);
        }
        *rule.decimal(study) = scanner.value();
        return skip(stream, left);
    }
    case Form::BE16:
    case Form::BE32:
    case Form::HeartRate:
    case Form::SliceAndOrder: {
        unsigned char b[21];
        if (!readBytes(stream, b, static_cast<std::size_t>(need))) return false;
        if (rule.form == Form::BE16) {
            *rule.word(study) = static_cast<std::int16_t>(be16(b));
        } else if (rule.form == Form::BE32) {
            study.record.frames = static_cast<std::int32_t>(std::uint32_t{be16(b)} << 16 | be16(b + 2));
        } else if (rule.form == Form::HeartRate) {
            study.record.hr = static_cast<std::int16_t>(be16(b));
            study.record.division = static_cast<std::int16_t>(be16(b + 8));
        } else {
            study.geometry.slicePixels = static_cast<std::int16_t>(be16(b + 8));
            if (b[20] == 'M') study.flags.reverseFrames = true;
        }
        return skip(stream, length - need);
    }
    }
    return false;
}

}  // namespace

HeaderStatus readHeader(std::FILE* stream, FilePreamble& preamble, Study& study) {
    StudyRecord& r = study.record;
    r.thick = 0.0;
    r.hr = 0;
    r.division = 0;
    copyText(r.tracer, "99mTc");

    if (readPreamble(stream, preamble) != 64) return HeaderStatus::Incomplete;
    for (;;) {
        ElementHeader h{};
        if (!readElementHeader(stream, h)) return HeaderStatus::Incomplete;
        if (h.group == kEndGroup && h.element == kEndElement) break;
        if (h.length < 0) return HeaderStatus::Malformed;
        const ElementRule* rule = findRule(h);
        const bool ok = rule ? takeValue(stream, *rule, h.length, study) : skip(stream, h.length);
        if (!ok) return HeaderStatus::Incomplete;
    }
    // The pixel data starts at the smallest multiple of 1024 above the end of
    // the end element's header. Seeking is not reading: a file that ends in
    // this gap fails only when a row of pixels must be read.
    const off_t position = ftello(stream);
    if (position < 0) return HeaderStatus::Incomplete;
    if (fseeko(stream, 1024 - position % 1024, SEEK_CUR) != 0) return HeaderStatus::Incomplete;
    return HeaderStatus::Complete;
}

}  // namespace trevik
