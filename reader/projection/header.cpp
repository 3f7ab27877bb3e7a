#include "reader/projection/header.h"

#include <cstring>
#include <iterator>

#include "reader/projection/decimal_text.h"
#include "study/rules.h"

namespace trevik {

namespace {

// Copies a Text value into a fixed-width field; the rule's width keeps it
// within the field and leaves room for the terminator.
template <std::size_t N>
void setText(char (&field)[N], const ElementValue& v) {
    std::memcpy(field, v.bytes, v.size);
    field[v.size] = '\0';
}

constexpr std::int32_t kTimeWidth = 8;  // hh:mm:ss; fractions are dropped

using Fields = FieldView[kMostFields];

template <std::size_t N>
FieldView textField(const char* label, const char (&field)[N]) {
    return {label, FieldView::Kind::Text, field, N, 0, 0.0};
}
FieldView integerField(const char* label, long long value) {
    return {label, FieldView::Kind::Integer, nullptr, 0, value, 0.0};
}
FieldView numberField(const char* label, double value) {
    return {label, FieldView::Kind::Number, nullptr, 0, 0, value};
}
FieldView flagField(const char* label, bool value) {
    return {label, FieldView::Kind::Flag, nullptr, 0, value ? 1 : 0, 0.0};
}

constexpr ElementRule kElements[] = {
    {0x0008, 0x0020, "Study Date", ValueForm::Text, sizeof(StudyRecord::date) - 1,
     [](StudyFacts& s, const ElementValue& v) { setText(s.record.date, v); },
     [](const StudyFacts& s, Fields& f) { f[0] = textField("date", s.record.date); return 1; }},
    {0x0008, 0x0030, "Study Time", ValueForm::Text, kTimeWidth,
     [](StudyFacts& s, const ElementValue& v) { setText(s.record.time, v); },
     [](const StudyFacts& s, Fields& f) { f[0] = textField("time", s.record.time); return 1; }},
    {0x0010, 0x0010, "Patient's Name", ValueForm::Text, sizeof(StudyRecord::name) - 1,
     [](StudyFacts& s, const ElementValue& v) { setText(s.record.name, v); },
     [](const StudyFacts& s, Fields& f) { f[0] = textField("name", s.record.name); return 1; }},
    {0x0010, 0x0020, "Patient ID", ValueForm::Text, sizeof(StudyRecord::id) - 1,
     [](StudyFacts& s, const ElementValue& v) { setText(s.record.id, v); },
     [](const StudyFacts& s, Fields& f) { f[0] = textField("id", s.record.id); return 1; }},
    {0x0010, 0x0040, "Patient's Sex", ValueForm::Text, sizeof(StudyRecord::sex) - 1,
     [](StudyFacts& s, const ElementValue& v) { setText(s.record.sex, v); },
     [](const StudyFacts& s, Fields& f) { f[0] = textField("sex", s.record.sex); return 1; }},
    {0x0018, 0x0030, "Radionuclide", ValueForm::Text, sizeof(StudyRecord::tracer) - 1,
     [](StudyFacts& s, const ElementValue& v) { setText(s.record.tracer, v); },
     [](const StudyFacts& s, Fields& f) { f[0] = textField("tracer", s.record.tracer); return 1; }},
    {0x0018, 0x0050, "Slice Thickness", ValueForm::Decimal, 0,
     [](StudyFacts& s, const ElementValue& v) { s.record.thick = v.number; },
     [](const StudyFacts& s, Fields& f) { f[0] = numberField("thick", s.record.thick); return 1; }},
    // Private: heart rate in bytes 0-1, gate divisions in bytes 8-9.
    {0x0019, 0x1304, "Gating", ValueForm::Fixed, 10,
     [](StudyFacts& s, const ElementValue& v) {
         s.record.hr = v.be16(0);
         s.record.division = v.be16(8);
     },
     [](const StudyFacts& s, Fields& f) {
         f[0] = integerField("hr", s.record.hr);
         f[1] = integerField("division", s.record.division);
         return 2;
     }},
    // Private: slice width in pixels in bytes 8-9; "M" in byte 20 stores
    // each division's frames last to first. The flag is only ever set.
    {0x0019, 0x1311, "Slice And Order", ValueForm::Fixed, 21,
     [](StudyFacts& s, const ElementValue& v) {
         s.geometry.slicePixels = v.be16(8);
         if (v.bytes[20] == 'M') s.flags.reverseFrames = true;
     },
     [](const StudyFacts& s, Fields& f) {
         f[0] = integerField("slice pixels", s.geometry.slicePixels);
         f[1] = flagField("reversed", s.flags.reverseFrames);
         return 2;
     }},
    {0x0028, 0x0010, "Rows", ValueForm::Fixed, 2,
     [](StudyFacts& s, const ElementValue& v) { s.geometry.rows = v.be16(0); },
     [](const StudyFacts& s, Fields& f) { f[0] = integerField("rows", s.geometry.rows); return 1; }},
    {0x0028, 0x0011, "Columns", ValueForm::Fixed, 2,
     [](StudyFacts& s, const ElementValue& v) { s.geometry.columns = v.be16(0); },
     [](const StudyFacts& s, Fields& f) { f[0] = integerField("columns", s.geometry.columns); return 1; }},
    {0x0028, 0x0030, "Pixel Spacing", ValueForm::Decimal, 0,
     [](StudyFacts& s, const ElementValue& v) { s.record.pixel = v.number; },
     [](const StudyFacts& s, Fields& f) { f[0] = numberField("pixel", s.record.pixel); return 1; }},
    {0x6B01, 0x1001, "Image Count", ValueForm::Fixed, 4,
     [](StudyFacts& s, const ElementValue& v) { s.record.frames = v.be32(0); },
     [](const StudyFacts& s, Fields& f) { f[0] = integerField("images", s.record.frames); return 1; }},
};

// The widest Text or Fixed value any rule keeps.
constexpr std::size_t kMostKept = [] {
    std::size_t most = 0;
    for (const ElementRule& rule : kElements)
        if (static_cast<std::size_t>(rule.width) > most) most = static_cast<std::size_t>(rule.width);
    return most;
}();

// Advances the stream by `count` bytes of the current value. Moving past the
// end of the file is allowed here: the next read then comes back short.
bool skip(SourceStream& stream, std::int64_t count) {
    if (count > 0) stream.skip(count);
    return true;
}

bool readBytes(SourceStream& stream, void* to, std::size_t count) { return stream.read(to, count) == count; }

// Reads the leading decimal number of a value of `length` bytes in bounded
// memory; `left` is what remains of the value once the number has ended.
bool scanDecimal(SourceStream& stream, std::int32_t length, double& number, std::int32_t& left) {
    DecimalScanner scanner;
    left = length;
    unsigned char chunk[256];
    bool scanning = true;
    while (scanning && left > 0) {
        const std::size_t n =
            left < static_cast<std::int32_t>(sizeof chunk) ? static_cast<std::size_t>(left) : sizeof chunk;
        if (!readBytes(stream, chunk, n)) return false;
        left -= static_cast<std::int32_t>(n);
        for (std::size_t i = 0; i < n && scanning; ++i) scanning = scanner.feed(chunk[i]);
    }
    number = scanner.value();
    return true;
}

// Reads one value by its rule and hands it to the rule; false when the file
// ends inside the value. `applied` tells whether the rule set the study.
bool takeValue(SourceStream& stream, const ElementRule& rule, std::int32_t length, StudyFacts& study, bool& applied) {
    unsigned char bytes[kMostKept];
    ElementValue value{bytes, 0, 0.0};
    std::int32_t left = length;
    switch (rule.form) {
    case ValueForm::Decimal:
        if (!scanDecimal(stream, length, value.number, left)) return false;
        break;
    case ValueForm::Fixed:
        if (length < rule.width) return skip(stream, length);
        [[fallthrough]];
    case ValueForm::Text:
        value.size = static_cast<std::size_t>(length < rule.width ? length : rule.width);
        if (!readBytes(stream, bytes, value.size)) return false;
        left -= static_cast<std::int32_t>(value.size);
        break;
    }
    rule.apply(study, value);
    applied = true;
    return skip(stream, left);
}

}  // namespace

const ElementRule* findElementRule(std::uint16_t group, std::uint16_t element) {
    for (const ElementRule& rule : kElements)
        if (rule.group == group && rule.element == element) return &rule;
    return nullptr;
}

HeaderStatus readHeader(SourceStream& stream, FilePreamble& preamble, StudyFacts& study, const HeaderObserver& observer) {
    StudyRecord& r = study.record;
    r.thick = 0.0;
    resetGating(r);
    copyText(r.tracer, "99mTc");

    if (readPreamble(stream, preamble) != 64) return HeaderStatus::Incomplete;
    // Every element consumes exactly its length, so the offset of the next
    // element header is known without asking the stream.
    std::int64_t offset = 64;
    for (;;) {
        SeenElement seen{offset, {}, nullptr, false};
        if (!readElementHeader(stream, seen.header)) return HeaderStatus::Incomplete;
        const ElementHeader& h = seen.header;
        if (h.group == kEndGroup && h.element == kEndElement) {
            if (observer) observer(seen, study);
            break;
        }
        seen.rule = findElementRule(h.group, h.element);
        bool ok = h.length >= 0;
        if (ok) ok = seen.rule ? takeValue(stream, *seen.rule, h.length, study, seen.applied) : skip(stream, h.length);
        if (observer) observer(seen, study);
        if (h.length < 0) return HeaderStatus::Malformed;
        if (!ok) return HeaderStatus::Incomplete;
        offset += 8 + std::int64_t{h.length};
    }
    // The pixel data starts at the smallest multiple of 1024 above the end of
    // the end element's header. Seeking is not reading: a file that ends in
    // this gap fails only when a row of pixels must be read.
    const std::int64_t position = stream.tell();
    stream.skip(1024 - position % 1024);
    return HeaderStatus::Complete;
}

}  // namespace trevik
