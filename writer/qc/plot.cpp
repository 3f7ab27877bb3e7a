#include "writer/qc/plot.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace trevik::qc {

std::string numberText(double value, int decimals) {
    if (!std::isfinite(value)) return "-";
    if (std::fabs(value) < 0.5 * std::pow(10.0, -decimals)) value = 0;  // no "-0"
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    return result.ec == std::errc() ? std::string(text, result.ptr) : std::string("-");
}

double niceStep(double span, int parts, double smallest) {
    if (!(span > 0) || !std::isfinite(span)) return smallest;
    const double raw = span / std::max(parts, 1);
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    const double fraction = raw / power;
    const double step = (fraction <= 1 ? 1 : fraction <= 2 ? 2 : fraction <= 5 ? 5 : 10) * power;
    return std::max(step, smallest);
}

Plot::Plot(int left, int top, int width, int height, double x0, double x1, double y0, double y1)
    : left_(left), top_(top), width_(width), height_(height), x0_(x0), x1_(x1 > x0 ? x1 : x0 + 1), y0_(y0),
      y1_(y1 > y0 ? y1 : y0 + 1) {}

namespace {

// A pixel offset for a fraction of `length`, held far inside int's range
// whatever the value (the canvas clips what falls outside).
int offsetOf(double fraction, int length) {
    const double offset = fraction * (length - 1);
    return offset == offset ? static_cast<int>(std::lround(std::clamp(offset, -1e6, 1e6))) : -1000000;
}

}  // namespace

int Plot::px(double x) const { return left_ + offsetOf((x - x0_) / (x1_ - x0_), width_); }

int Plot::py(double y) const { return top_ + height_ - 1 - offsetOf((y - y0_) / (y1_ - y0_), height_); }

void Plot::axes(Canvas& c, double xStep, double yStep, std::string_view caption, std::string_view xName) const {
    const int xDecimals = xStep >= 1 ? 0 : 1;
    const int yDecimals = yStep >= 1 ? 0 : yStep >= 0.1 ? 1 : 2;
    // At most a few dozen ticks, whatever the steps say.
    const double xFrom = std::ceil(x0_ / xStep - 1e-9) * xStep;
    for (int k = 0; k < 64 && xFrom + k * xStep <= x1_ + 1e-9; ++k) {
        const double x = xFrom + k * xStep;
        const int p = px(x);
        c.line(p, top_ + 1, p, top_ + height_ - 2, kGrid);
        c.line(p, top_ + height_, p, top_ + height_ + 3, kInk);
        const std::string label = numberText(x, xDecimals);
        c.text(p - textWidth(label) / 2, top_ + height_ + 6, label, kInk);
    }
    const double yFrom = std::ceil(y0_ / yStep - 1e-9) * yStep;
    for (int k = 0; k < 64 && yFrom + k * yStep <= y1_ + 1e-9; ++k) {
        const double y = yFrom + k * yStep;
        const int p = py(y);
        c.line(left_ + 1, p, left_ + width_ - 2, p, kGrid);
        c.line(left_ - 4, p, left_ - 1, p, kInk);
        const std::string label = numberText(y, yDecimals);
        c.text(left_ - 7 - textWidth(label), p - 4, label, kInk);
    }
    c.rectangle(left_, top_, width_, height_, kInk);
    c.text(left_, top_ - 14, caption, kInk);
    c.text(left_ + (width_ - textWidth(xName)) / 2, top_ + height_ + 19, xName, kInk);
}

void Plot::threshold(Canvas& c, double y, std::string_view label) const {
    if (!insideY(y)) return;
    const int p = py(y);
    c.line(left_ + 1, p, left_ + width_ - 2, p, kThreshold, 4);
    // On white, so that the curve and the grid do not cross the words.
    const int x = left_ + width_ - 4 - textWidth(label);
    c.fill(x - 2, p - 12, textWidth(label) + 4, 10, Colour{255, 255, 255});
    c.text(x, p - 11, label, kThreshold);
}

void Plot::marker(Canvas& c, double x, std::string_view label, Colour colour) const {
    const int p = px(x);
    if (p < left_ || p >= left_ + width_) return;
    c.line(p, top_ + 1, p, top_ + height_ - 2, colour);
    const int at = std::min(p + 4, left_ + width_ - 4 - textWidth(label));
    c.text(at, top_ + 4, label, colour);
}

}  // namespace trevik::qc
