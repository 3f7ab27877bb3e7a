#include "tools/synth/source_file.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <stdexcept>

namespace trevik::synth {

SourceFile::SourceFile(std::int16_t sampleBits, bool marks) : data_(64, 0) {
    preambleWord(18, static_cast<std::uint16_t>(sampleBits));
    if (marks) {
        raw(0x0000, 0x0000, 4, std::string_view("\0\0\0\x20", 4));
        raw(0x0000, 0x0001, 4, std::string_view("\0\0\0\0", 4));
    }
}

void SourceFile::put16(std::uint16_t v) {
    data_.push_back(static_cast<unsigned char>(v >> 8));
    data_.push_back(static_cast<unsigned char>(v));
}

void SourceFile::put32(std::uint32_t v) {
    put16(static_cast<std::uint16_t>(v >> 16));
    put16(static_cast<std::uint16_t>(v));
}

SourceFile& SourceFile::preambleWord(std::size_t offset, std::uint16_t value) {
    data_.at(offset) = static_cast<unsigned char>(value >> 8);
    data_.at(offset + 1) = static_cast<unsigned char>(value);
    return *this;
}

SourceFile& SourceFile::raw(std::uint16_t group, std::uint16_t element, std::int32_t length, std::string_view value) {
    put16(group);
    put16(element);
    put32(static_cast<std::uint32_t>(length));
    data_.insert(data_.end(), value.begin(), value.end());
    return *this;
}

SourceFile& SourceFile::element(std::uint16_t group, std::uint16_t element, std::string_view value) {
    return raw(group, element, static_cast<std::int32_t>(value.size()), value);
}

SourceFile& SourceFile::be16(std::uint16_t group, std::uint16_t element, std::int16_t value) {
    const auto u = static_cast<std::uint16_t>(value);
    const char b[2] = {static_cast<char>(u >> 8), static_cast<char>(u)};
    return raw(group, element, 2, std::string_view(b, 2));
}

SourceFile& SourceFile::be32(std::uint16_t group, std::uint16_t element, std::int32_t value) {
    const auto u = static_cast<std::uint32_t>(value);
    const char b[4] = {static_cast<char>(u >> 24), static_cast<char>(u >> 16), static_cast<char>(u >> 8),
                       static_cast<char>(u)};
    return raw(group, element, 4, std::string_view(b, 4));
}

SourceFile& SourceFile::heartRate(std::int16_t hr, std::int16_t division, std::int32_t length) {
    std::string v(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    auto set = [&v](std::size_t at, std::int16_t x) {
        if (at + 2 <= v.size()) {
            v[at] = static_cast<char>(static_cast<std::uint16_t>(x) >> 8);
            v[at + 1] = static_cast<char>(x);
        }
    };
    set(0, hr);
    set(2, 1);
    set(8, division);
    return raw(0x0019, 0x1304, length, v);
}

SourceFile& SourceFile::sliceAndOrder(std::int16_t slicePixels, bool reverse, std::int32_t length) {
    std::string v(static_cast<std::size_t>(length > 0 ? length : 0), 'A');
    if (v.size() >= 10) {
        v[8] = static_cast<char>(static_cast<std::uint16_t>(slicePixels) >> 8);
        v[9] = static_cast<char>(slicePixels);
    }
    if (v.size() >= 21) v[20] = reverse ? 'M' : 'P';
    return raw(0x0019, 0x1311, length, v);
}

SourceFile& SourceFile::padHeaderTo(std::size_t headerEnd) {
    // The filler needs its own 8-byte header; the end element header follows it.
    const std::size_t after = data_.size() + 8 + 8;
    if (headerEnd < after) throw std::invalid_argument("padHeaderTo: offset already passed");
    return raw(0x0009, 0x0010, static_cast<std::int32_t>(headerEnd - after), std::string(headerEnd - after, ' '));
}

SourceFile& SourceFile::end() {
    raw(0x6B01, 0x1004, 0, {});
    pixelStart_ = (data_.size() / 1024 + 1) * 1024;
    data_.resize(pixelStart_, 0);
    return *this;
}

SourceFile& SourceFile::samples16(const std::vector<std::int16_t>& values) {
    for (std::int16_t v : values) put16(static_cast<std::uint16_t>(v));
    return *this;
}

SourceFile& SourceFile::samplesFloat(const std::vector<float>& values) {
    for (float v : values) put32(std::bit_cast<std::uint32_t>(v));
    return *this;
}

SourceFile& SourceFile::bytes(std::string_view data) {
    data_.insert(data_.end(), data.begin(), data.end());
    return *this;
}

SourceFile& SourceFile::cut(std::size_t size) {
    if (size < data_.size()) data_.resize(size);
    return *this;
}

void SourceFile::save(const std::string& path) const {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) throw std::runtime_error("cannot create " + path);
    const bool written = std::fwrite(data_.data(), 1, data_.size(), f) == data_.size();
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed) {
        // A partly written study is worse than none; devices and other
        // special files are left alone.
        std::error_code ec;
        if (std::filesystem::is_regular_file(std::filesystem::symlink_status(path, ec))) std::remove(path.c_str());
        throw std::runtime_error("cannot write " + path);
    }
}

double cardiacSample(int image, int y, int x, int matrix, int gates, int projections) {
    constexpr double kPi = 3.14159265358979323846;
    const double scale = matrix / 64.0;
    const int gate = gates > 0 ? image % gates : 0;
    const int projection = gates > 0 ? image / gates : image;
    // Contraction over the cycle: largest at gate 0, smallest halfway.
    const double phase = gates > 1 ? 2.0 * kPi * gate / gates : 0.0;
    const double radius = scale * (9.0 - 2.5 * (1.0 - std::cos(phase)) / 2.0);
    const double wall = scale * 3.0;
    const double angle = projections > 0 ? kPi * projection / projections : 0.0;
    const double cx = matrix / 2.0 + scale * 6.0 * std::cos(angle) - 0.5;
    const double cy = matrix / 2.0 - scale * 2.0 - 0.5;
    const double d = std::hypot(x - cx, y - cy);
    const double ring = std::exp(-((d - radius) * (d - radius)) / (2.0 * (wall / 2.0) * (wall / 2.0)));
    const double body = std::exp(-(((x - matrix / 2.0) * (x - matrix / 2.0)) / (2.0 * (matrix * 0.3) * (matrix * 0.3)) +
                                   ((y - matrix / 2.0) * (y - matrix / 2.0)) / (2.0 * (matrix * 0.35) * (matrix * 0.35))));
    const double counts = 120.0 * ring + 12.0 * body + ((x * 7 + y * 13 + image * 5) % 5);
    return counts / (scale * scale);
}

SourceFile buildStudy(const StudyPlan& plan) {
    SourceFile f(plan.floats ? 32 : 16);
    f.element(0x0008, 0x0020, plan.date)
        .element(0x0008, 0x0030, plan.time)
        .element(0x0010, 0x0010, plan.name)
        .element(0x0010, 0x0020, plan.id)
        .element(0x0010, 0x0040, plan.sex)
        .element(0x0018, 0x0030, plan.tracer)
        .element(0x0018, 0x0050, plan.sliceThickness)
        .heartRate(plan.hr, plan.division)
        .sliceAndOrder(plan.slicePixels, plan.reverse)
        .be16(0x0028, 0x0010, static_cast<std::int16_t>(plan.matrix))
        .be16(0x0028, 0x0011, static_cast<std::int16_t>(plan.matrix))
        .element(0x0028, 0x0030, plan.pixelSpacing)
        .be32(0x6B01, 0x1001, plan.images)
        .end();
    const int written = plan.imagesWritten < 0 ? plan.images : plan.imagesWritten;
    const int gates = plan.hr != 0 && plan.division > 1 ? plan.division : 0;
    const int perGate = gates > 0 ? plan.images / gates : plan.images;
    std::vector<std::int16_t> ints;
    std::vector<float> floats;
    for (int i = 0; i < written; ++i) {
        ints.clear();
        floats.clear();
        // Images are stored division after division; the picture follows the
        // gate of the image and its projection within the division.
        const int gateIndex = gates > 0 && perGate > 0 ? (i / perGate) % gates : 0;
        const int projection = gates > 0 && perGate > 0 ? i % perGate : i;
        for (int y = 0; y < plan.matrix; ++y)
            for (int x = 0; x < plan.matrix; ++x) {
                const double v = plan.sample ? plan.sample(i, y, x)
                                             : cardiacSample(projection * (gates > 0 ? gates : 1) + gateIndex, y, x,
                                                             plan.matrix, gates, perGate);
                if (plan.floats)
                    floats.push_back(static_cast<float>(v));
                else
                    ints.push_back(static_cast<std::int16_t>(std::lround(v)));
            }
        if (plan.floats)
            f.samplesFloat(floats);
        else
            f.samples16(ints);
    }
    return f;
}

}  // namespace trevik::synth
