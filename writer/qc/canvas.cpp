#include "writer/qc/canvas.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace trevik::qc {

namespace {

// 0x20..0x7E: nine rows of five bits each, the top row in the highest bits
// (bit 44), the left column first; rows 7 and 8 hang below the baseline.
constexpr std::uint64_t kFont[95] = {
    0x000000000000, 0x042108401000, 0x0A5000000000, 0x0A57D5F52800, 0x047D1C5F1000, 0x18C888898C00,
    0x0C9511593400, 0x042200000000, 0x022210820800, 0x082084222000, 0x00255D520000, 0x00213E420000,
    0x000000063088, 0x00001E000000, 0x000000063000, 0x000888880000, 0x0E8CEB98B800, 0x046108423800,
    0x0E8844447C00, 0x1F110418B800, 0x0232A5F10800, 0x1F878218B800, 0x06443D18B800, 0x1F0888842000,
    0x0E8C5D18B800, 0x0E8C5E113000, 0x006300C60000, 0x006300C61100, 0x022220820800, 0x0007C1F00000,
    0x082082222000, 0x0E8844401000, 0x0E885B5AB800, 0x0E8C7F18C400, 0x1E8C7D18F800, 0x0E8C2108B800,
    0x1C9463197000, 0x1F843D087C00, 0x1F843D084000, 0x0E8C2F18BC00, 0x118C7F18C400, 0x0E2108423800,
    0x071084293000, 0x119531494400, 0x108421087C00, 0x11DD6B18C400, 0x118E6B38C400, 0x0E8C6318B800,
    0x1E8C7D084000, 0x0E8C63593400, 0x1E8C7D494400, 0x0F841C10F800, 0x1F2108421000, 0x118C6318B800,
    0x118C63151000, 0x118C6B5AA800, 0x118A88A8C400, 0x118C54421000, 0x1F0888887C00, 0x0E4210843800,
    0x008208208000, 0x0E1084213800, 0x045440000000, 0x0000000003E0, 0x082080000000, 0x000382F8BC00,
    0x1085B318F800, 0x0003A108B800, 0x010B6718BC00, 0x0003A3F83800, 0x064A38842000, 0x0003E318BC2E,
    0x1085B318C400, 0x040308423800, 0x020184210A4C, 0x1084A98A4800, 0x0C2108423800, 0x0006AB58C400,
    0x0005B318C400, 0x0003A318B800, 0x0007A318FA10, 0x0003E318BC21, 0x0005B3084000, 0x0003E0E0F800,
    0x084710849800, 0x00046319B400, 0x000463151000, 0x0004635AA800, 0x000454454400, 0x00046318BC2E,
    0x0007C4447C00, 0x022110420800, 0x042108421000, 0x082104422000, 0x00022A200000,
};

}  // namespace

bool glyphBit(unsigned char c, int row, int column) {
    if (row < 0 || row > 8 || column < 0 || column > 4) return false;
    const std::uint64_t glyph = kFont[c >= 0x20 && c <= 0x7E ? c - 0x20 : '?' - 0x20];
    return (glyph >> (44 - row * 5 - column) & 1) != 0;
}

Canvas::Canvas(int width, int height, Colour background) {
    image_.width = std::max(width, 0);
    image_.height = std::max(height, 0);
    image_.rgb.resize(static_cast<std::size_t>(image_.width) * static_cast<std::size_t>(image_.height) * 3);
    for (std::size_t p = 0; p < image_.rgb.size(); p += 3) {
        image_.rgb[p] = background.r;
        image_.rgb[p + 1] = background.g;
        image_.rgb[p + 2] = background.b;
    }
}

void Canvas::pixel(int x, int y, Colour c) {
    if (x < 0 || y < 0 || x >= image_.width || y >= image_.height) return;
    unsigned char* p =
        &image_.rgb[(static_cast<std::size_t>(y) * static_cast<std::size_t>(image_.width) + static_cast<std::size_t>(x)) * 3];
    p[0] = c.r;
    p[1] = c.g;
    p[2] = c.b;
}

void Canvas::fill(int x, int y, int w, int h, Colour c) {
    // In 64 bits, so that no corner far outside the canvas overflows.
    const long long x0 = std::max<long long>(x, 0), y0 = std::max<long long>(y, 0);
    const long long x1 = std::min<long long>(static_cast<long long>(x) + std::max(w, 0), image_.width);
    const long long y1 = std::min<long long>(static_cast<long long>(y) + std::max(h, 0), image_.height);
    for (long long j = y0; j < y1; ++j)
        for (long long i = x0; i < x1; ++i) pixel(static_cast<int>(i), static_cast<int>(j), c);
}

void Canvas::rectangle(int x, int y, int w, int h, Colour c) {
    if (w <= 0 || h <= 0) return;
    line(x, y, x + w - 1, y, c);
    line(x, y + h - 1, x + w - 1, y + h - 1, c);
    line(x, y, x, y + h - 1, c);
    line(x + w - 1, y, x + w - 1, y + h - 1, c);
}

void Canvas::line(int x0, int y0, int x1, int y1, Colour c, int dash) {
    // Far outside the canvas nothing is drawn, which also keeps the
    // arithmetic below far from overflow.
    const auto far = [](int v) { return v < -(1 << 20) || v > (1 << 20); };
    if (far(x0) || far(y0) || far(x1) || far(y1)) return;
    const int dx = std::abs(x1 - x0), dy = -std::abs(y1 - y0);
    const int sx = x0 < x1 ? 1 : -1, sy = y0 < y1 ? 1 : -1;
    int error = dx + dy;
    for (int step = 0;; ++step) {
        if (dash <= 0 || (step / dash) % 2 == 0) pixel(x0, y0, c);
        if (x0 == x1 && y0 == y1) break;
        const int twice = 2 * error;
        if (twice >= dy) {
            error += dy;
            x0 += sx;
        }
        if (twice <= dx) {
            error += dx;
            y0 += sy;
        }
    }
}

int Canvas::text(int x, int y, std::string_view text, Colour c, int scale) {
    for (const char ch : text) {
        if (x >= image_.width) break;  // the rest is outside too
        const auto u = static_cast<unsigned char>(ch);
        for (int row = 0; row < 9; ++row)
            for (int column = 0; column < 5; ++column)
                if (glyphBit(u, row, column)) fill(x + column * scale, y + row * scale, scale, scale, c);
        x += kGlyphWidth * scale;
    }
    return x;
}

void Canvas::grey(int x, int y, const float* values, int rows, int columns, int sx, int sy, float low, float high) {
    const float span = high - low;
    for (int r = 0; r < rows; ++r)
        for (int col = 0; col < columns; ++col) {
            const float v = values[static_cast<std::size_t>(r) * static_cast<std::size_t>(columns) + static_cast<std::size_t>(col)];
            // NaN and an empty span draw black.
            const float t = span > 0 && v == v ? std::clamp((v - low) / span, 0.0F, 1.0F) : 0.0F;
            const auto g = static_cast<unsigned char>(std::lround(t * 255.0F));
            fill(x + col * sx, y + r * sy, sx, sy, Colour{g, g, g});
        }
}

int textWidth(std::string_view text, int scale) {
    return text.empty() ? 0 : (static_cast<int>(text.size()) * kGlyphWidth - 1) * scale;
}

}  // namespace trevik::qc
