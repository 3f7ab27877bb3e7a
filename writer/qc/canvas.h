// A small raster canvas for the quality-control page: pixels, lines, dashed
// lines, rectangles, text in a 6 x 10 bitmap font of our own, and grey
// images scaled up. Everything drawn outside the canvas is clipped.
#pragma once

#include <string_view>

#include "writer/qc/qc_picture.h"

namespace trevik::qc {

struct Colour {
    unsigned char r = 0, g = 0, b = 0;
};

inline constexpr int kGlyphWidth = 6;    // a glyph of 5 columns and a column of space
inline constexpr int kGlyphHeight = 10;  // 7 rows above the baseline, 2 below, one of space

class Canvas {
public:
    Canvas(int width, int height, Colour background);

    int width() const { return image_.width; }
    int height() const { return image_.height; }
    RgbImage take() { return std::move(image_); }

    void pixel(int x, int y, Colour c);
    void fill(int x, int y, int w, int h, Colour c);
    void rectangle(int x, int y, int w, int h, Colour c);  // the outline
    // A line from (x0, y0) to (x1, y1), both ends included; dashed: `dash`
    // pixels drawn, `dash` left out, along the longer axis.
    void line(int x0, int y0, int x1, int y1, Colour c, int dash = 0);
    // Printable ASCII from its top left corner at `scale` times the font's
    // size (anything else as '?'); returns the x after the text.
    int text(int x, int y, std::string_view text, Colour c, int scale = 1);
    // Draws rows x columns values scaled (nearest) by sx and sy, black at
    // `low` and white at `high`, from its top left corner.
    void grey(int x, int y, const float* values, int rows, int columns, int sx, int sy, float low, float high);

private:
    RgbImage image_;
};

// Whether the font's glyph of `c` (anything outside 0x20..0x7E as '?')
// is inked at `row` (0..8, 7 and 8 below the baseline) and `column` (0..4).
bool glyphBit(unsigned char c, int row, int column);

// The width in pixels of `text` at `scale`.
int textWidth(std::string_view text, int scale = 1);

}  // namespace trevik::qc
