#include "reader/dicom/nesting.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "reader/dicom/explicit_vr.h"
#include "reader/dicom/nesting_bytes.h"

namespace trevik::dicom {

namespace {

using nesting::Bytes;
using nesting::FileBytes;
using nesting::MemoryBytes;

constexpr std::uint32_t kUndefined = 0xFFFFFFFFu;
constexpr std::uint64_t kOpen = ~std::uint64_t{0};  // a level that ends at its delimiter
constexpr std::uint16_t kItemGroup = 0xFFFE;
constexpr std::uint16_t kItem = 0xE000, kItemEnd = 0xE00D, kSequenceEnd = 0xE0DD;

struct Encoding {
    bool explicitVr = true;
    bool bigEndian = false;
};

// A place where a parser may start the data set after the meta group, and
// whether the transfer syntax named by the meta group is known to it there.
struct MetaEnd {
    std::uint64_t at = 0;
    bool syntaxKnown = true;
};
constexpr Encoding kExplicitLittle{true, false}, kImplicitLittle{false, false}, kExplicitBig{true, true};

// A region is a value of defined length that the scan reads as a sequence
// because it starts with an item, where the parser may read bytes instead
// (UN, or implicit VR where the tag says): the scan resumes at its end.
enum class Region : std::uint8_t {
    None,
    Bytes,  // explicit UN: the parser reads bytes
    Maybe,  // implicit: the parser reads a sequence or bytes, by the tag
};
// One open level: a data set or item (elements inside), or a sequence
// (items inside); fragments are the items of encapsulated pixel data,
// whose contents are no data set.
struct Level {
    bool sequence = false;
    bool fragments = false;
    std::uint64_t end = kOpen;
    Encoding encoding;
    Region region = Region::None;
};

class Scan {
public:
    Scan(Bytes& bytes, std::uint64_t position) : bytes_(bytes), position_(position) {}

    // False when sequences nest deeper than kMostNesting, or a region's
    // contents run past its end (refusal() says which).
    bool run(Encoding encoding);
    Reason refusal() const { return refusal_; }
    // The bytes are all the data set holds (an inflated one, which the
    // parser reads value by value as it comes): a value running past their
    // end makes the data set cut, before the parser allocates it whole.
    void whole(std::uint64_t size) { whole_ = size; }
    bool cut() const { return cut_; }
    // The meta group from offset 132, in explicit little endian: false
    // when its sequences nest too deep; otherwise the value of (0002,0010)
    // and where the data set may start (none: the bytes end inside the
    // meta group).
    bool meta(std::string& transferSyntax, std::vector<MetaEnd>& dataSet);

private:
    bool word16(std::uint64_t at, const Encoding& e, std::uint16_t& v) {
        unsigned char b[2];
        if (!bytes_.at(at, b, 2)) return false;
        v = e.bigEndian ? static_cast<std::uint16_t>(b[0] << 8 | b[1]) : static_cast<std::uint16_t>(b[1] << 8 | b[0]);
        return true;
    }
    bool word32(std::uint64_t at, const Encoding& e, std::uint32_t& v) {
        unsigned char b[4];
        if (!bytes_.at(at, b, 4)) return false;
        v = e.bigEndian ? std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 | b[3]
                        : std::uint32_t{b[3]} << 24 | std::uint32_t{b[2]} << 16 | std::uint32_t{b[1]} << 8 | b[0];
        return true;
    }
    // Whether an item or a sequence delimiter starts at `at`.
    bool itemAt(std::uint64_t at, const Encoding& e) {
        std::uint16_t group = 0, element = 0;
        return word16(at, e, group) && word16(at + 2, e, element) && group == kItemGroup &&
               (element == kItem || element == kSequenceEnd);
    }
    // An element's header at the position: its tag, how its VR bytes are
    // read (kUnsaid: none, as in implicit VR, a sequence, an item or a
    // delimiter), its length; advances past it.
    bool header(const Encoding& e, bool inSequence, std::uint16_t& group, std::uint16_t& element, VrRule& rule,
                std::uint32_t& length);
    bool open(std::uint64_t end, Encoding encoding, bool fragments, Region region = Region::None);
    void pop();
    // The innermost region (-1: none) and the outermost of bytes.
    int innermost() const;
    int outermostBytes() const;
    // Ends the scan of region `i`'s contents: on at its end.
    void leave(int i);
    // Something that cannot be a sequence's contents inside a region: the
    // parser reads that region as bytes, or refuses the object; false
    // outside regions (the parser refuses the object).
    bool misplaced();
    // A region's contents do not end at its end (they run past it, or its
    // delimiter comes first): on after the outermost region the parser
    // reads as bytes, or false (refused: the parser could read either way).
    bool overrun();
    bool value(const Level& top, std::uint16_t group, std::uint16_t element, const VrRule& rule, std::uint32_t length,
               bool& stop);
    // An element of the meta group read: true when the group ends before it.
    bool metaElement(std::uint64_t at, std::uint16_t group, std::uint16_t element, std::uint32_t length,
                     const Encoding& e);
    // The end of the innermost region (kOpen: none).
    std::uint64_t limit() const {
        const int i = innermost();
        return i < 0 ? kOpen : levels_[static_cast<std::size_t>(i)].end;
    }

    Bytes& bytes_;
    std::uint64_t position_;
    std::vector<Level> levels_;
    int depth_ = 0;
    std::uint64_t whole_ = kOpen;
    bool cut_ = false;
    Reason refusal_ = Reason::NestedTooDeep;
    bool meta_ = false;            // the meta group: the scan ends at the first element of another group
    std::uint64_t metaEnd_ = 0;    // where that element starts, at or after the group length's end
    std::uint64_t metaLimit_ = 0;  // where (0002,0000) says the group ends (0: not said)
    std::uint64_t firstOther_ = 0; // the first element of another group, before that end
    std::uint64_t atLimit_ = 0;    // an element of the group that starts just at that end
    std::string syntax_;           // the value of (0002,0010)
    std::uint64_t syntaxAt_ = 0;   // where that element starts
};

constexpr VrRule kUnsaid{"  ", LengthField::Long, Holds::Unsaid};

bool delimiter(std::uint16_t group, std::uint16_t element) {
    return group == kItemGroup && (element == kItem || element == kItemEnd || element == kSequenceEnd);
}

bool Scan::header(const Encoding& e, bool inSequence, std::uint16_t& group, std::uint16_t& element, VrRule& rule,
                  std::uint32_t& length) {
    const std::uint64_t at = position_;
    if (!word16(at, e, group) || !word16(at + 2, e, element)) return false;
    rule = kUnsaid;
    // Inside a sequence the parser reads every tag without a VR; in a data
    // set the items and delimiters only.
    if (!e.explicitVr || inSequence || delimiter(group, element)) {
        position_ = at + 8;
        return word32(at + 4, e, length);
    }
    char vr[2];
    if (!bytes_.at(at + 4, vr, 2)) return false;
    rule = explicitVrRule(vr, group, element);
    if (rule.length == LengthField::Long) {
        position_ = at + 12;
        return word32(at + 8, e, length);
    }
    if (rule.length == LengthField::Bare) {
        position_ = at + 10;
        return word32(at + 6, e, length);
    }
    std::uint16_t shortLength = 0;
    position_ = at + 8;
    if (!word16(at + 6, e, shortLength)) return false;
    length = shortLength;
    return true;
}

bool Scan::open(std::uint64_t end, Encoding encoding, bool fragments, Region region) {
    if (!fragments && ++depth_ > kMostNesting) return false;
    levels_.push_back(Level{true, fragments, end, encoding, region});
    return true;
}

void Scan::pop() {
    if (levels_.back().sequence && !levels_.back().fragments) --depth_;
    levels_.pop_back();
}

int Scan::innermost() const {
    for (std::size_t i = levels_.size(); i-- > 1;)
        if (levels_[i].region != Region::None) return static_cast<int>(i);
    return -1;
}

int Scan::outermostBytes() const {
    for (std::size_t i = 1; i < levels_.size(); ++i)
        if (levels_[i].region == Region::Bytes) return static_cast<int>(i);
    return -1;
}

void Scan::leave(int i) {
    position_ = levels_[static_cast<std::size_t>(i)].end;
    while (levels_.size() > static_cast<std::size_t>(i)) pop();
}

bool Scan::misplaced() {
    int i = outermostBytes();
    if (i < 0) i = innermost();
    if (i < 0) return false;
    leave(i);
    return true;
}

bool Scan::overrun() {
    const int i = outermostBytes();
    if (i < 0) {
        refusal_ = Reason::DicomSequenceOverrun;
        return false;
    }
    leave(i);
    return true;
}

// A value of `length` at the position: false when the parser's reading of
// it may nest too deep or cannot be followed; sets `stop` when the scan
// ends here (the parser refuses the object or reports a cut).
bool Scan::value(const Level& top, std::uint16_t group, std::uint16_t element, const VrRule& rule,
                 std::uint32_t length, bool& stop) {
    const bool unknown = rule.holds == Holds::Unknown;
    const Encoding inside = unknown ? kImplicitLittle : top.encoding;
    if (length == kUndefined) {
        const bool pixelData = group == 0x7FE0 && element == 0x0010;
        const bool pixels = rule.holds == Holds::Pixels ||
                            (pixelData && (rule.holds == Holds::Bytes || rule.holds == Holds::Unsaid));
        return open(kOpen, inside, pixels);
    }
    if (position_ + length > limit()) return overrun();
    // A value of defined length: a sequence when it says SQ; a region when
    // its VR is not said (implicit, UN) and it starts with an item.
    const bool unsaid = unknown || rule.holds == Holds::Unsaid;
    if (length > 0 && rule.holds == Holds::Sequence) return open(position_ + length, inside, false);
    if (length > 0 && unsaid && itemAt(position_, inside))
        return open(position_ + length, inside, false, unknown ? Region::Bytes : Region::Maybe);
    if (position_ + length > whole_) {
        cut_ = true;
        return stop = true;
    }
    position_ += length;
    return true;
}

bool Scan::run(Encoding encoding) {
    levels_.assign(1, Level{false, false, kOpen, encoding});
    for (;;) {
        while (levels_.size() > 1 && levels_.back().end != kOpen && position_ >= levels_.back().end) pop();
        // A region's end reached inside its contents' open levels.
        if (position_ >= limit()) {
            if (!overrun()) return false;
            continue;
        }
        const Level top = levels_.back();
        const std::uint64_t at = position_;
        std::uint16_t group = 0, element = 0;
        std::uint32_t length = 0;
        VrRule rule = kUnsaid;
        // The end of the bytes, or a header cut short: the parser reports it.
        if (!header(top.encoding, top.sequence, group, element, rule, length)) return true;
        if (position_ > limit()) {
            if (!overrun()) return false;
            continue;
        }
        if (meta_ && levels_.size() == 1 && metaElement(at, group, element, length, top.encoding)) return true;
        if (top.sequence) {
            if (group == kItemGroup && element == kItem && length != kUndefined && position_ + length > limit()) {
                if (!overrun()) return false;
            } else if (group == kItemGroup && element == kItem && !top.fragments) {
                levels_.push_back(Level{false, false, length == kUndefined ? kOpen : position_ + length, top.encoding});
            } else if (group == kItemGroup && element == kItem && length != kUndefined) {
                if (position_ + length > whole_) {
                    cut_ = true;
                    return true;
                }
                position_ += length;  // a fragment
            } else if (group == kItemGroup && element == kSequenceEnd) {
                // A region's delimiter before its end: the parser reads on
                // from here, or from the end.
                if (top.region != Region::None && position_ < top.end) {
                    if (!overrun()) return false;
                } else {
                    pop();
                }
            } else if (!misplaced()) {
                return true;  // no item where one belongs: the parser refuses the object
            }
            continue;
        }
        if (delimiter(group, element)) {
            // An item's end closes it; any other delimiter here is skipped,
            // as a lenient parser would.
            if (element == kItemEnd && levels_.size() > 1) levels_.pop_back();
            continue;
        }
        bool stop = false;
        if (!value(top, group, element, rule, length, stop)) return false;
        if (stop) return true;
    }
}

bool Scan::metaElement(std::uint64_t at, std::uint16_t group, std::uint16_t element, std::uint32_t length,
                       const Encoding& e) {
    // DCMTK reads the meta group as far as its group length says, whatever
    // the elements' groups, and on while the group is 0002.
    if (at == 132 && group == 0x0002 && element == 0x0000 && length == 4) {
        std::uint32_t value = 0;
        if (word32(position_, e, value)) metaLimit_ = position_ + 4 + value;
    }
    if (at == metaLimit_ && group == 0x0002) atLimit_ = at;
    if (group != 0x0002 && at >= metaLimit_) {
        metaEnd_ = at;
        return true;
    }
    if (group != 0x0002 && firstOther_ == 0) firstOther_ = at;
    if (group == 0x0002 && element == 0x0010 && length <= 64) {
        char uid[64];
        if (bytes_.at(position_, uid, length)) syntax_.assign(uid, length);
        while (!syntax_.empty() && (syntax_.back() == '\0' || syntax_.back() == ' ')) syntax_.pop_back();
        syntaxAt_ = at;
    }
    return false;
}

bool Scan::meta(std::string& transferSyntax, std::vector<MetaEnd>& dataSet) {
    position_ = 132;
    meta_ = true;
    const bool shallow = run(kExplicitLittle);
    meta_ = false;
    transferSyntax = syntax_;
    // A group length that disagrees with the elements leaves the data set's
    // start in doubt: every place a parser may take is scanned.
    for (const std::uint64_t at : {metaEnd_, firstOther_, atLimit_}) {
        if (at == 0) continue;
        bool seen = false;
        for (const MetaEnd& e : dataSet) seen = seen || e.at == at;
        if (!seen) dataSet.push_back({at, syntaxAt_ != 0 && syntaxAt_ < at});
    }
    return shallow;
}

// The scan of `encoding` from `start`: refused with its reason, or passed.
Status scanFrom(Bytes& bytes, std::uint64_t start, Encoding encoding) {
    Scan scan(bytes, start);
    if (!scan.run(encoding)) return statusOf(scan.refusal());
    return {};
}

// The deflated data set from `start` on, inflated whole (at most `most` bytes).
Status inflated(Bytes& bytes, std::uint64_t start, std::uint64_t most, std::vector<unsigned char>& out) {
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return statusOf(Reason::NoMemory);
    std::vector<unsigned char> in(64 * 1024);
    std::uint64_t offset = start;
    int result = Z_OK;
    while (result == Z_OK) {
        // The next piece of input: as much of the window as the file holds.
        std::size_t n = in.size();
        while (n > 0 && !bytes.at(offset, in.data(), n)) n /= 2;
        if (n == 0) break;
        offset += n;
        z.next_in = in.data();
        z.avail_in = static_cast<uInt>(n);
        while (z.avail_in > 0 && result == Z_OK) {
            const std::size_t had = out.size();
            if (had >= most) {
                inflateEnd(&z);
                return statusOf(Reason::DicomInflatesTooFar);
            }
            out.resize(had + std::min<std::uint64_t>(256 * 1024, most - had));
            z.next_out = out.data() + had;
            z.avail_out = static_cast<uInt>(out.size() - had);
            result = inflate(&z, Z_NO_FLUSH);
            out.resize(out.size() - z.avail_out);
        }
    }
    inflateEnd(&z);
    return {};
}

// The data set at `start` of `bytes` in the transfer syntax `uid`.
Status scanDataSet(Bytes& bytes, std::uint64_t start, std::string_view uid, std::uint64_t most) {
    if (uid == "1.2.840.10008.1.2.1.99") {
        std::vector<unsigned char> data;
        if (Status s = inflated(bytes, start, most, data); !s.ok()) return s;
        MemoryBytes memory(data.data(), data.size());
        Scan scan(memory, 0);
        scan.whole(data.size());
        if (!scan.run(kExplicitLittle)) return statusOf(scan.refusal());
        if (!scan.cut()) return {};
        return statusOf(Reason::DicomFileEnds);
    }
    const Encoding encoding = uid == "1.2.840.10008.1.2" ? kImplicitLittle
                              : uid == "1.2.840.10008.1.2.2" ? kExplicitBig
                                                             : kExplicitLittle;
    if (Status s = scanFrom(bytes, start, encoding); !s.ok()) return s;
    // A meta group that names no syntax: the parser finds the data set's
    // own, so every encoding must pass.
    if (uid.empty())
        for (const Encoding& other : {kImplicitLittle, kExplicitBig})
            if (Status s = scanFrom(bytes, start, other); !s.ok()) return s;
    return {};
}

Status checkPart10(Bytes& bytes, std::uint64_t most) {
    std::string uid;
    std::vector<MetaEnd> dataSet;
    Scan scan(bytes, 0);
    if (!scan.meta(uid, dataSet)) return statusOf(scan.refusal());
    // None: the bytes end inside the meta group.
    for (const MetaEnd& start : dataSet) {
        if (Status s = scanDataSet(bytes, start.at, uid, most); !s.ok()) return s;
        if (!start.syntaxKnown && !uid.empty())
            if (Status s = scanDataSet(bytes, start.at, {}, most); !s.ok()) return s;
    }
    return {};
}

}  // namespace

Status checkNesting(const unsigned char* bytes, std::size_t size, std::uint64_t mostInflated) {
    try {
        MemoryBytes memory(bytes, size);
        return checkPart10(memory, mostInflated);
    } catch (const std::bad_alloc&) {
        return statusOf(Reason::NoMemory);
    }
}

Status checkNestingOfFile(const char* path, std::uint64_t mostInflated) {
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return {};
    Status s;
    try {
        FileBytes file(fd);
        s = checkPart10(file, mostInflated);
    } catch (const std::bad_alloc&) {
        s = statusOf(Reason::NoMemory);
    }
    ::close(fd);
    return s;
}

Status checkNestingOfDataSet(const unsigned char* bytes, std::size_t size, std::string_view transferSyntax,
                             std::uint64_t mostInflated) {
    try {
        MemoryBytes memory(bytes, size);
        return scanDataSet(memory, 0, transferSyntax, mostInflated);
    } catch (const std::bad_alloc&) {
        return statusOf(Reason::NoMemory);
    }
}

}  // namespace trevik::dicom
