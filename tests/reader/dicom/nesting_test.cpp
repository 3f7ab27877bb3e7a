// The nesting scan over objects built byte by byte: 16 levels pass and 17
// are refused in every encoding, with defined and undefined lengths, UN of
// undefined length, deflated; the fragments of encapsulated pixel data do
// not count; DCMTK parses what passes.
#include "reader/dicom/nesting.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <fstream>
#include <string>

#include "tests/support/temp_dir.h"

namespace trevik::dicom {
namespace {

enum class Form { ExplicitLittle, ImplicitLittle, ExplicitBig, Deflated };
constexpr const char* kSyntax[] = {"1.2.840.10008.1.2.1", "1.2.840.10008.1.2", "1.2.840.10008.1.2.2",
                                   "1.2.840.10008.1.2.1.99"};
constexpr std::uint32_t kUndefined = 0xFFFFFFFF;

struct Writer {
    bool big = false, explicitVr = true;
    std::string out;
    void u16(std::uint16_t v) {
        const char b[2] = {static_cast<char>(big ? v >> 8 : v), static_cast<char>(big ? v : v >> 8)};
        out.append(b, 2);
    }
    void u32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) out += static_cast<char>(v >> (big ? 24 - 8 * i : 8 * i));
    }
    void header(std::uint16_t g, std::uint16_t e, const char* vr, std::uint32_t length) {
        u16(g), u16(e);
        if (g == 0xFFFE || !explicitVr) return u32(length);
        out += vr;
        const bool longForm = std::string("SQUNOBOW").find(vr) != std::string::npos;
        if (longForm) u16(0), u32(length);
        else u16(static_cast<std::uint16_t>(length));
    }
};

// A data set of `depth` sequences, each with one item, around a name.
std::string nested(int depth, Form form, bool defined, const char* vr = "SQ") {
    Writer w;
    w.big = form == Form::ExplicitBig;
    w.explicitVr = form != Form::ImplicitLittle;
    w.header(0x0010, 0x0010, "PN", 2);
    w.out += "X ";
    std::string inner = w.out;
    if (defined) {
        for (int i = 0; i < depth; ++i) {
            w.out.clear();
            w.header(0x0040, 0x0275, vr, static_cast<std::uint32_t>(inner.size() + 8));
            w.header(0xFFFE, 0xE000, "", static_cast<std::uint32_t>(inner.size()));
            inner = w.out + inner;
        }
        return inner;
    }
    w.out.clear();
    w.header(0x0040, 0x0275, vr, kUndefined);
    w.header(0xFFFE, 0xE000, "", kUndefined);
    std::string first = w.out, open = w.out;
    // Inside UN of undefined length everything is implicit little endian.
    if (std::string(vr) == "UN") {
        w.big = false, w.explicitVr = false;
        w.out.clear();
        w.header(0x0040, 0x0275, "", kUndefined);
        w.header(0xFFFE, 0xE000, "", kUndefined);
        open = w.out;
        w.out.clear();
        w.header(0x0010, 0x0010, "", 2);
        inner = w.out + "X ";
    }
    w.out.clear();
    w.header(0xFFFE, 0xE00D, "", 0);
    w.header(0xFFFE, 0xE0DD, "", 0);
    const std::string close = w.out;
    std::string all;
    all.reserve(static_cast<std::size_t>(depth) * (open.size() + close.size()) + inner.size());
    all += first;
    for (int i = 1; i < depth; ++i) all += open;
    all += inner;
    for (int i = 0; i < depth; ++i) all += close;
    return all;
}

std::string deflated(const std::string& data) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, data.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// A Part 10 file: preamble, marker, meta group, then `data` in `form`.
std::string part10(const std::string& data, Form form) {
    std::string uid = kSyntax[static_cast<int>(form)];
    if (uid.size() % 2) uid += '\0';
    Writer meta;
    meta.header(0x0002, 0x0010, "UI", static_cast<std::uint32_t>(uid.size()));
    meta.out += uid;
    Writer length;
    length.header(0x0002, 0x0000, "UL", 4);
    length.u32(static_cast<std::uint32_t>(meta.out.size()));
    return std::string(128, '\0') + "DICM" + length.out + meta.out + (form == Form::Deflated ? deflated(data) : data);
}

Status check(const std::string& file) {
    return checkNesting(reinterpret_cast<const unsigned char*>(file.data()), file.size());
}

TEST(DicomNesting, SixteenLevelsPassAndSeventeenAreRefusedInEveryEncoding) {
    test::TempDir dir;
    for (const Form form : {Form::ExplicitLittle, Form::ImplicitLittle, Form::ExplicitBig, Form::Deflated})
        for (const bool defined : {false, true}) {
            const std::string what = std::string(kSyntax[static_cast<int>(form)]) + (defined ? " defined" : " undefined");
            const std::string ok = part10(nested(16, form, defined), form);
            EXPECT_TRUE(check(ok).ok()) << what;
            const Status refused = check(part10(nested(17, form, defined), form));
            EXPECT_EQ(refused.code, kNotSupported) << what;
            EXPECT_EQ(statusWords(refused), "sequences nested deeper than 16") << what;
            // DCMTK reads what passes, as the scan read it.
            std::ofstream(dir.file("ok.dcm"), std::ios::binary) << ok;
            DcmFileFormat file;
            EXPECT_TRUE(file.loadFile(dir.file("ok.dcm").c_str()).good()) << what;
            EXPECT_TRUE(checkNestingOfFile(dir.file("ok.dcm").c_str()).ok()) << what;
            std::ofstream(dir.file("deep.dcm"), std::ios::binary) << part10(nested(17, form, defined), form);
            EXPECT_EQ(checkNestingOfFile(dir.file("deep.dcm").c_str()).code, kNotSupported) << what;
        }
    // UN of undefined length holds implicit little endian sequences.
    EXPECT_TRUE(check(part10(nested(16, Form::ExplicitLittle, false, "UN"), Form::ExplicitLittle)).ok());
    EXPECT_EQ(check(part10(nested(17, Form::ExplicitLittle, false, "UN"), Form::ExplicitLittle)).code, kNotSupported);
    // 16,000 levels, and the same cut short after its opening.
    const std::string deep = part10(nested(16000, Form::ExplicitLittle, false), Form::ExplicitLittle);
    EXPECT_EQ(check(deep).code, kNotSupported);
    EXPECT_EQ(check(deep.substr(0, deep.size() / 2)).code, kNotSupported);
}

TEST(DicomNesting, FragmentsCutFilesAndTheInflationLimit) {
    // Encapsulated pixel data: items of raw bytes, however they look.
    Writer w;
    w.header(0x7FE0, 0x0010, "OB", kUndefined);
    const std::string fragment = nested(20, Form::ExplicitLittle, false);
    w.header(0xFFFE, 0xE000, "", static_cast<std::uint32_t>(fragment.size()));
    w.out += fragment;
    w.header(0xFFFE, 0xE0DD, "", 0);
    EXPECT_TRUE(check(part10(w.out, Form::ExplicitLittle)).ok());
    // Cut anywhere, a shallow object passes: the parser reports the cut.
    const std::string ok = part10(nested(3, Form::ExplicitLittle, true), Form::ExplicitLittle);
    for (std::size_t n = 0; n < ok.size(); n += 7) EXPECT_TRUE(check(ok.substr(0, n)).ok()) << n;
    // A data set that inflates past the limit.
    const std::string zeros = part10(std::string(1 << 20, '\0'), Form::Deflated);
    EXPECT_TRUE(check(zeros).ok());
    const Status big = checkNesting(reinterpret_cast<const unsigned char*>(zeros.data()), zeros.size(), 1 << 19);
    EXPECT_EQ(big.code, kNotSupported);
    EXPECT_NE(statusWords(big).find("size limit"), std::string::npos);
    // A deflated value longer than the data set inflates to: cut (4), before
    // DCMTK allocates it whole.
    Writer huge;
    huge.header(0x0010, 0x0010, "PN", 2);
    huge.out += "X ";
    huge.header(0x0009, 0x0010, "OB", 0x8000'0000u);
    EXPECT_EQ(check(part10(huge.out, Form::Deflated)).code, kEndsEarly);
    EXPECT_TRUE(check(part10(huge.out, Form::ExplicitLittle)).ok());  // the parser reads a file lazily
    // The same behind a meta group whose length takes in an element of
    // another group before the transfer syntax: DCMTK reads on to the
    // length's end and inflates what follows, and so does the scan.
    std::string uid = kSyntax[3];
    uid += '\0';
    Writer meta;
    meta.header(0x0009, 0x0010, "LO", 2);
    meta.out += "X ";
    meta.header(0x0002, 0x0010, "UI", static_cast<std::uint32_t>(uid.size()));
    meta.out += uid;
    Writer group;
    group.header(0x0002, 0x0000, "UL", 4);
    group.u32(static_cast<std::uint32_t>(meta.out.size()));
    const std::string start = std::string(128, '\0') + "DICM" + group.out + meta.out;
    EXPECT_EQ(check(start + deflated(huge.out)).code, kEndsEarly);
    EXPECT_TRUE(check(start + deflated(nested(3, Form::ExplicitLittle, true))).ok());
    // A data set alone, in its transfer syntax.
    const std::string data = nested(17, Form::ImplicitLittle, true);
    EXPECT_EQ(checkNestingOfDataSet(reinterpret_cast<const unsigned char*>(data.data()), data.size(),
                                    kSyntax[1]).code, kNotSupported);
}

// An element of (group,0010) with the raw VR bytes `vr`, its length where
// the parser reads it, and a value that a scan reading another length
// would take for a length of 2 GB (or, as a sequence, for one cut short),
// in front of `levels` undefined-length sequences.
std::string hidden(const char* vr, int levels, std::uint16_t group = 0x0009) {
    Writer w;
    w.u16(group), w.u16(0x0010);
    w.out.append(vr, 2);
    const std::string name(vr, 2);
    Writer opaque;  // an item, a sequence, and a value of 2 GB
    opaque.header(0xFFFE, 0xE000, "", kUndefined);
    opaque.explicitVr = false;
    opaque.header(0x0009, 0x1000, "", kUndefined);
    opaque.header(0x0009, 0x1001, "", 0x7FFF'FFF0u);
    if (name == "na") {
        w.u32(4), w.u32(0x7FFF'FFF0u);
    } else if (name == "ox" || name == "px" || name == "lt" || name == "ZZ") {
        w.u16(0), w.u32(static_cast<std::uint32_t>(opaque.out.size()));
        w.out += opaque.out;
    } else {
        w.u16(4), w.u32(0x7FFF'FFF0u);
    }
    return w.out + nested(levels, Form::ExplicitLittle, false);
}

TEST(DicomNesting, EveryVrIsReadAsTheParserReadsItWhateverItsBytes) {
    using namespace std::string_literals;
    for (const std::string& vr : {"\0\0"s, "na"s, "ox"s, "px"s, "lt"s, "xs"s, "up"s, "pi"s, "ZZ"s, "??"s, "a1"s}) {
        const Status deep = check(part10(hidden(vr.c_str(), 200000), Form::ExplicitLittle));
        EXPECT_EQ(deep.reason, Reason::NestedTooDeep) << vr;
        EXPECT_TRUE(check(part10(hidden(vr.c_str(), 3), Form::ExplicitLittle)).ok()) << vr;
    }
    // UN whose sequence delimiter comes before its end: bytes to the parser.
    Writer early;
    early.header(0x0009, 0x0010, "UN", 20);
    early.header(0xFFFE, 0xE0DD, "", 0);
    early.header(0x0009, 0x1001, "OB", 0x7FFF'FFF0u);
    const std::string behind = early.out + nested(200000, Form::ExplicitLittle, false);
    EXPECT_EQ(check(part10(behind, Form::ExplicitLittle)).reason, Reason::NestedTooDeep);
    // An item group element that is no item or delimiter has its VR.
    EXPECT_EQ(check(part10(hidden("xs", 17, 0xFFFE), Form::ExplicitLittle)).reason, Reason::NestedTooDeep);
    // Encapsulated pixel data in implicit VR: fragments, whatever they hold.
    Writer w;
    w.explicitVr = false;
    w.header(0x7FE0, 0x0010, "", kUndefined);
    const std::string fragment = hidden("ZZ", 0).substr(12);
    w.header(0xFFFE, 0xE000, "", static_cast<std::uint32_t>(fragment.size()));
    w.out += fragment;
    w.header(0xFFFE, 0xE0DD, "", 0);
    EXPECT_TRUE(check(part10(w.out + nested(16, Form::ImplicitLittle, false), Form::ImplicitLittle)).ok());
    EXPECT_EQ(check(part10(w.out + nested(17, Form::ImplicitLittle, false), Form::ImplicitLittle)).reason,
              Reason::NestedTooDeep);
    // Implicit VR: a value of defined length whose item runs past its end,
    // which the parser may follow (its tag a sequence) or skip.
    Writer over;
    over.explicitVr = false;
    over.header(0x0009, 0x1010, "", 8);
    over.header(0xFFFE, 0xE000, "", kUndefined);
    const Status overrun = check(part10(over.out + nested(3, Form::ImplicitLittle, false), Form::ImplicitLittle));
    EXPECT_EQ(overrun.reason, Reason::DicomSequenceOverrun);
    EXPECT_EQ(overrun.code, kNotSupported);
}

}  // namespace
}  // namespace trevik::dicom
