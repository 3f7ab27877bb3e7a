// A plot on the quality-control page: a frame with ticks and their numbers
// on both axes, a caption above, the x axis named below, and the mapping
// from data to pixels.
#pragma once

#include <string>
#include <string_view>

#include "writer/qc/canvas.h"

namespace trevik::qc {

inline constexpr Colour kInk{30, 30, 30};
inline constexpr Colour kGrid{228, 228, 228};
inline constexpr Colour kThreshold{205, 90, 0};
inline constexpr Colour kWarn{200, 20, 20};
inline constexpr Colour kOk{20, 120, 40};

// A number as the page writes it: `decimals` places, '.' whatever the locale.
std::string numberText(double value, int decimals);

// A tick step of 1, 2 or 5 times a power of ten that cuts `span` into about
// `parts` parts (at least `smallest`).
double niceStep(double span, int parts, double smallest);

class Plot {
public:
    // The frame's pixels and the data ranges it shows.
    Plot(int left, int top, int width, int height, double x0, double x1, double y0, double y1);

    int px(double x) const;
    int py(double y) const;
    bool insideY(double y) const { return y >= y0_ && y <= y1_; }

    // Grid, frame, ticks every `xStep` and `yStep` (from the first multiple
    // inside the range), the caption over the frame and the x axis's name.
    void axes(Canvas& c, double xStep, double yStep, std::string_view caption, std::string_view xName) const;
    // A dashed horizontal line at y with its label at the right end, inside.
    void threshold(Canvas& c, double y, std::string_view label) const;
    // A vertical line at x over the whole frame with its label at the top.
    void marker(Canvas& c, double x, std::string_view label, Colour colour) const;

    int left() const { return left_; }
    int top() const { return top_; }
    int width() const { return width_; }
    int height() const { return height_; }

private:
    int left_, top_, width_, height_;
    double x0_, x1_, y0_, y1_;
};

}  // namespace trevik::qc
