#include "dicom/uid.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>

namespace trevik::dicom {

namespace {

constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

}  // namespace

Sha256::Sha256()
    : state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19} {}

void Sha256::block(const std::uint8_t* data) {
    std::uint32_t w[64];
    for (int i = 0; i < 16; ++i)
        w[i] = std::uint32_t{data[4 * i]} << 24 | std::uint32_t{data[4 * i + 1]} << 16 |
               std::uint32_t{data[4 * i + 2]} << 8 | std::uint32_t{data[4 * i + 3]};
    for (int i = 16; i < 64; ++i) {
        const std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    std::uint32_t e = state_[4], f = state_[5], g = state_[6], h = state_[7];
    for (int i = 0; i < 64; ++i) {
        const std::uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
        const std::uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g; g = f; f = e; e = d + t1;
        d = c; c = b; b = a; a = t1 + t2;
    }
    state_[0] += a; state_[1] += b; state_[2] += c; state_[3] += d;
    state_[4] += e; state_[5] += f; state_[6] += g; state_[7] += h;
}

Sha256& Sha256::add(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    length_ += size;
    if (buffered_ > 0) {
        const std::size_t take = std::min(size, buffer_.size() - buffered_);
        std::memcpy(buffer_.data() + buffered_, bytes, take);
        buffered_ += take;
        bytes += take;
        size -= take;
        if (buffered_ < buffer_.size()) return *this;
        block(buffer_.data());
        buffered_ = 0;
    }
    for (; size >= 64; size -= 64, bytes += 64) block(bytes);
    if (size > 0) std::memcpy(buffer_.data(), bytes, size);
    buffered_ = size;
    return *this;
}

Sha256& Sha256::field(std::string_view text) {
    add(text);
    const std::uint8_t zero = 0;
    return add(&zero, 1);
}

std::array<std::uint8_t, 32> Sha256::finish() {
    const std::uint64_t bits = length_ * 8;
    const std::uint8_t one = 0x80;
    add(&one, 1);
    const std::uint8_t zero = 0;
    while (buffered_ != 56) add(&zero, 1);
    std::uint8_t tail[8];
    for (int i = 0; i < 8; ++i) tail[i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
    add(tail, 8);
    std::array<std::uint8_t, 32> digest{};
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<std::uint8_t>(state_[i] >> (24 - 8 * j));
    return digest;
}

namespace {

constexpr std::uint64_t rotl(std::uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

constexpr std::uint64_t fmix(std::uint64_t k) {
    k ^= k >> 33;
    k *= 0xff51afd7ed558ccdULL;
    k ^= k >> 33;
    k *= 0xc4ceb9fe1a85ec53ULL;
    return k ^ (k >> 33);
}

// Eight bytes as a little-endian number.
std::uint64_t load64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

constexpr std::uint64_t kC1 = 0x87c37b91114253d5ULL, kC2 = 0x4cf5ad432745937fULL;

}  // namespace

void Hash128::block(const std::uint8_t* data) {
    std::uint64_t k1 = load64(data), k2 = load64(data + 8);
    k1 *= kC1; k1 = rotl(k1, 31); k1 *= kC2; h1_ ^= k1;
    h1_ = rotl(h1_, 27); h1_ += h2_; h1_ = h1_ * 5 + 0x52dce729;
    k2 *= kC2; k2 = rotl(k2, 33); k2 *= kC1; h2_ ^= k2;
    h2_ = rotl(h2_, 31); h2_ += h1_; h2_ = h2_ * 5 + 0x38495ab5;
}

Hash128& Hash128::add(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    length_ += size;
    if (buffered_ > 0) {
        const std::size_t take = std::min(size, sizeof buffer_ - buffered_);
        std::memcpy(buffer_ + buffered_, bytes, take);
        buffered_ += take;
        bytes += take;
        size -= take;
        if (buffered_ < sizeof buffer_) return *this;
        block(buffer_);
        buffered_ = 0;
    }
    for (; size >= 16; size -= 16, bytes += 16) block(bytes);
    std::memcpy(buffer_, bytes, size);
    buffered_ = size;
    return *this;
}

std::string Hash128::finish() {
    // The tail, zero-padded, then the length, as one more mixed block.
    std::uint8_t tail[16]{};
    std::memcpy(tail, buffer_, buffered_);
    std::uint64_t k1 = load64(tail), k2 = load64(tail + 8);
    k2 *= kC2; k2 = rotl(k2, 33); k2 *= kC1; h2_ ^= k2;
    k1 *= kC1; k1 = rotl(k1, 31); k1 *= kC2; h1_ ^= k1;
    h1_ ^= length_; h2_ ^= length_;
    h1_ += h2_; h2_ += h1_;
    h1_ = fmix(h1_); h2_ = fmix(h2_);
    h1_ += h2_; h2_ += h1_;
    char text[33];
    std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(h1_),
                  static_cast<unsigned long long>(h2_));
    return text;
}

std::string uidFromDigest(const std::array<std::uint8_t, 32>& digest) {
    std::uint8_t number[16];
    std::memcpy(number, digest.data(), sizeof number);
    number[6] = static_cast<std::uint8_t>((number[6] & 0x0F) | 0x80);  // version 8
    number[8] = static_cast<std::uint8_t>((number[8] & 0x3F) | 0x80);  // variant 10
    // The 128-bit big-endian number in decimal, by repeated division by 10.
    std::string decimal;
    for (;;) {
        unsigned remainder = 0;
        bool zero = true;
        for (std::uint8_t& byte : number) {
            const unsigned value = remainder * 256 + byte;
            byte = static_cast<std::uint8_t>(value / 10);
            remainder = value % 10;
            if (byte != 0) zero = false;
        }
        decimal.push_back(static_cast<char>('0' + remainder));
        if (zero) break;
    }
    std::reverse(decimal.begin(), decimal.end());
    return "2.25." + decimal;
}

std::string hexDigest(const std::array<std::uint8_t, 32>& digest) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : digest) {
        text.push_back(kHex[byte >> 4]);
        text.push_back(kHex[byte & 15]);
    }
    return text;
}

}  // namespace trevik::dicom
