// Unique identifiers derived from content: the same facts always give the
// same UID, so an object exported or sent twice is one object to a PACS.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace trevik::dicom {

// SHA-256, fed in pieces.
class Sha256 {
public:
    Sha256();
    Sha256& add(const void* data, std::size_t size);
    Sha256& add(std::string_view text) { return add(text.data(), text.size()); }
    // A text followed by a zero byte, so that consecutive texts cannot run
    // into each other ("ab" + "c" differs from "a" + "bc").
    Sha256& field(std::string_view text);
    std::array<std::uint8_t, 32> finish();

private:
    void block(const std::uint8_t* data);
    std::array<std::uint32_t, 8> state_;
    std::array<std::uint8_t, 64> buffer_{};
    std::size_t buffered_ = 0;
    std::uint64_t length_ = 0;
};

// A fast 128-bit hash of long inputs (MurmurHash3 x64 128), fed in pieces:
// what tells one source file's bytes from another's. Not for secrets.
class Hash128 {
public:
    Hash128& add(const void* data, std::size_t size);
    // Lower-case hexadecimal of the 128 bits.
    std::string finish();

private:
    void block(const std::uint8_t* data);
    std::uint64_t h1_ = 0x9368e53c2f6af274, h2_ = 0x586dcd208f7cd3fd;
    std::uint8_t buffer_[16]{};
    std::size_t buffered_ = 0;
    std::uint64_t length_ = 0;
};

// A UID under the root 2.25: the first 128 bits of `digest`, marked as a
// name-based UUID of version 8 with the RFC 4122 variant, in decimal.
// At most 44 characters.
std::string uidFromDigest(const std::array<std::uint8_t, 32>& digest);

// Lower-case hexadecimal of a digest.
std::string hexDigest(const std::array<std::uint8_t, 32>& digest);

}  // namespace trevik::dicom
