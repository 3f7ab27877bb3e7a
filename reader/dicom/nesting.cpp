#include "reader/dicom/nesting.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace trevik::dicom {

namespace {

constexpr std::uint32_t kUndefined = 0xFFFFFFFFu;
constexpr std::uint64_t kOpen = ~std::uint64_t{0};  // a level that ends at its delimiter
constexpr std::uint16_t kItemGroup = 0xFFFE;
constexpr std::uint16_t kItem = 0xE000, kItemEnd = 0xE00D, kSequenceEnd = 0xE0DD;

// What the scan reads: bytes by offset, from memory or from a file.
class Bytes {
public:
    virtual ~Bytes() = default;
    // Copies `n` bytes at `offset` into `out`; false when they are not all there.
    virtual bool at(std::uint64_t offset, void* out, std::size_t n) = 0;
};

class MemoryBytes final : public Bytes {
public:
    MemoryBytes(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}
    bool at(std::uint64_t offset, void* out, std::size_t n) override {
        if (offset > size_ || size_ - offset < n) return false;
        std::memcpy(out, data_ + offset, n);
        return true;
    }

private:
    const unsigned char* data_;
    std::size_t size_;
};

// A file read through a window of 64 KiB: values between the headers are
// skipped, never read.
class FileBytes final : public Bytes {
public:
    explicit FileBytes(int fd) : fd_(fd), window_(64 * 1024) {}
    bool at(std::uint64_t offset, void* out, std::size_t n) override {
        if (offset < start_ || offset + n > start_ + filled_) {
            if (n > window_.size()) return false;
            ssize_t got;
            do {
                got = ::pread(fd_, window_.data(), window_.size(), static_cast<off_t>(offset));
            } while (got < 0 && errno == EINTR);
            start_ = offset;
            filled_ = got > 0 ? static_cast<std::size_t>(got) : 0;
            if (n > filled_) return false;
        }
        std::memcpy(out, window_.data() + (offset - start_), n);
        return true;
    }

private:
    int fd_;
    std::vector<unsigned char> window_;
    std::uint64_t start_ = 0;
    std::size_t filled_ = 0;
};

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

// One open level: a data set or item (elements inside), or a sequence
// (items inside); fragments are the items of encapsulated pixel data,
// whose contents are no data set.
struct Level {
    bool sequence = false;
    bool fragments = false;
    std::uint64_t end = kOpen;
    Encoding encoding;
};

class Scan {
public:
    Scan(Bytes& bytes, std::uint64_t position) : bytes_(bytes), position_(position) {}

    // False when sequences nest deeper than kMostNesting.
    bool run(Encoding encoding);
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
    // An element's header at the position: its tag, VR ("  " when
    // implicit), length; advances past it.
    bool header(const Encoding& e, std::uint16_t& group, std::uint16_t& element, char vr[2], std::uint32_t& length);
    bool open(std::uint64_t end, Encoding encoding, bool fragments);

    Bytes& bytes_;
    std::uint64_t position_;
    std::vector<Level> levels_;
    int depth_ = 0;
    std::uint64_t whole_ = kOpen;
    bool cut_ = false;
    bool meta_ = false;            // the meta group: the scan ends at the first element of another group
    std::uint64_t metaEnd_ = 0;    // where that element starts, at or after the group length's end
    std::uint64_t metaLimit_ = 0;  // where (0002,0000) says the group ends (0: not said)
    std::uint64_t firstOther_ = 0; // the first element of another group, before that end
    std::uint64_t atLimit_ = 0;    // an element of the group that starts just at that end
    std::string syntax_;           // the value of (0002,0010)
    std::uint64_t syntaxAt_ = 0;   // where that element starts
};

// The VRs whose length takes four bytes after two reserved ones in explicit
// syntaxes; an unknown VR is read so too (and as UN).
bool longForm(const char vr[2]) {
    static constexpr const char* kShort[] = {"AE", "AS", "AT", "CS", "DA", "DS", "DT", "FL", "FD", "IS", "LO",
                                             "LT", "PN", "SH", "SL", "SS", "ST", "TM", "UI", "UL", "US"};
    for (const char* s : kShort)
        if (vr[0] == s[0] && vr[1] == s[1]) return false;
    return true;
}
bool known(const char vr[2]) {
    static constexpr const char* kLong[] = {"OB", "OD", "OF", "OL", "OV", "OW", "SQ", "SV", "UC", "UN", "UR", "UT", "UV"};
    for (const char* s : kLong)
        if (vr[0] == s[0] && vr[1] == s[1]) return true;
    return !longForm(vr);
}

bool Scan::header(const Encoding& e, std::uint16_t& group, std::uint16_t& element, char vr[2], std::uint32_t& length) {
    const std::uint64_t at = position_;
    if (!word16(at, e, group) || !word16(at + 2, e, element)) return false;
    vr[0] = vr[1] = ' ';
    if (!e.explicitVr || group == kItemGroup) {
        position_ = at + 8;
        return word32(at + 4, e, length);
    }
    if (!bytes_.at(at + 4, vr, 2)) return false;
    if (!known(vr)) vr[0] = 'U', vr[1] = 'N';
    if (longForm(vr)) {
        position_ = at + 12;
        return word32(at + 8, e, length);
    }
    std::uint16_t shortLength = 0;
    position_ = at + 8;
    if (!word16(at + 6, e, shortLength)) return false;
    length = shortLength;
    return true;
}

bool Scan::open(std::uint64_t end, Encoding encoding, bool fragments) {
    if (!fragments && ++depth_ > kMostNesting) return false;
    levels_.push_back(Level{true, fragments, end, encoding});
    return true;
}

bool Scan::run(Encoding encoding) {
    levels_.assign(1, Level{false, false, kOpen, encoding});
    for (;;) {
        while (levels_.size() > 1 && levels_.back().end != kOpen && position_ >= levels_.back().end) {
            if (levels_.back().sequence && !levels_.back().fragments) --depth_;
            levels_.pop_back();
        }
        const Level top = levels_.back();
        const std::uint64_t at = position_;
        std::uint16_t group = 0, element = 0;
        std::uint32_t length = 0;
        char vr[2];
        // The end of the bytes, or a header cut short: the parser reports it.
        if (!header(top.encoding, group, element, vr, length)) return true;
        if (meta_ && levels_.size() == 1) {
            // DCMTK reads the meta group as far as its group length says,
            // whatever the elements' groups, and on while the group is 0002.
            if (at == 132 && group == 0x0002 && element == 0x0000 && length == 4) {
                std::uint32_t value = 0;
                if (word32(position_, top.encoding, value)) metaLimit_ = position_ + 4 + value;
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
        }
        if (top.sequence) {
            if (group == kItemGroup && element == kItem && !top.fragments) {
                levels_.push_back(Level{false, false, length == kUndefined ? kOpen : position_ + length, top.encoding});
            } else if (group == kItemGroup && element == kItem && length != kUndefined) {
                if (position_ + length > whole_) {
                    cut_ = true;
                    return true;
                }
                position_ += length;  // a fragment
            } else if (group == kItemGroup && element == kSequenceEnd) {
                if (!top.fragments) --depth_;
                levels_.pop_back();
            } else {
                return true;  // no item where one belongs: the parser refuses the object
            }
            continue;
        }
        if (group == kItemGroup) {
            // An item's end closes it; any other delimiter here is skipped,
            // as a lenient parser would.
            if (element == kItemEnd && levels_.size() > 1) levels_.pop_back();
            continue;
        }
        const bool un = vr[0] == 'U' && vr[1] == 'N';
        const Encoding inside = un ? kImplicitLittle : top.encoding;
        if (length == kUndefined) {
            const bool pixels = group == 0x7FE0 && element == 0x0010 && top.encoding.explicitVr && !un &&
                                !(vr[0] == 'S' && vr[1] == 'Q');
            if (!open(kOpen, inside, pixels)) return false;
            continue;
        }
        // A value of defined length: a sequence when it says SQ, or when
        // its VR is not said (implicit, UN) and it starts with an item.
        const bool unsaid = un || !top.encoding.explicitVr;
        const bool sequence = (vr[0] == 'S' && vr[1] == 'Q') || (unsaid && itemAt(position_, inside));
        if (sequence && length > 0) {
            if (!open(position_ + length, inside, false)) return false;
        } else {
            if (position_ + length > whole_) {
                    cut_ = true;
                    return true;
                }
            position_ += length;
        }
    }
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

Status tooDeep() { return statusOf(Reason::NestedTooDeep); }

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
        if (!scan.run(kExplicitLittle)) return tooDeep();
        if (!scan.cut()) return {};
        return statusOf(Reason::DicomFileEnds);
    }
    const Encoding encoding = uid == "1.2.840.10008.1.2" ? kImplicitLittle
                              : uid == "1.2.840.10008.1.2.2" ? kExplicitBig
                                                             : kExplicitLittle;
    if (!Scan(bytes, start).run(encoding)) return tooDeep();
    // A meta group that names no syntax: the parser finds the data set's
    // own, so every encoding must pass.
    if (uid.empty())
        for (const Encoding& other : {kImplicitLittle, kExplicitBig})
            if (!Scan(bytes, start).run(other)) return tooDeep();
    return {};
}

Status checkPart10(Bytes& bytes, std::uint64_t most) {
    std::string uid;
    std::vector<MetaEnd> dataSet;
    Scan scan(bytes, 0);
    if (!scan.meta(uid, dataSet)) return tooDeep();
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
