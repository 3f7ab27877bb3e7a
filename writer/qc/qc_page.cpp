// The quality-control page: the title and the verdict at the top, the
// sinogram and the linogram on the left, the gate count curve and the two
// centroid tracks on the right.
#include <png.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <new>

#include "writer/qc/canvas.h"
#include "writer/qc/picture_file.h"
#include "writer/qc/plot.h"
#include "writer/qc/qc_picture.h"

namespace trevik::qc {

namespace {

constexpr Colour kWhite{255, 255, 255};
constexpr Colour kAxial{30, 70, 200};
constexpr Colour kLateral{20, 130, 60};
constexpr int kMargin = 20;
constexpr int kVerdictLines = 6;  // below the first
constexpr int kContentTop = 195;  // the images and the first plot
constexpr int kImageLeft = 56;
constexpr int kImageWidth = 256;  // at most; a frame's columns scaled by a whole number
constexpr int kImageGap = 64;
constexpr int kImageBottom = 835;
constexpr int kPlotLeft = 690;
constexpr int kPlotWidth = kPageWidth - kPlotLeft - kMargin - 10;
constexpr int kPlotHeight = 175;
constexpr int kPlotPitch = 237;  // one plot's top to the next

// `text` cut with "..." to `most` pixels at `scale`.
std::string fitted(std::string text, int most, int scale) {
    const auto fits = static_cast<std::size_t>(std::max(0, (most / scale + 1) / kGlyphWidth));
    if (text.size() > fits) text = fits > 3 ? text.substr(0, fits - 3) + "..." : std::string();
    return text;
}

void drawHeading(Canvas& c, const QcPicture& p) {
    const int most = kPageWidth - 2 * kMargin;
    c.text(kMargin, 12, fitted("Quality control: " + printableName(p.title), most, 2), kInk, 2);
    const std::size_t lines = std::min<std::size_t>(p.verdict.size(), kVerdictLines + 1);
    for (std::size_t i = 0; i < lines; ++i) {
        std::string line = printableName(p.verdict[i]);
        if (i == kVerdictLines && p.verdict.size() > lines) line = "...";
        if (i == 0)
            c.text(kMargin, 46, fitted(line, most, 2), p.warn ? kWarn : kOk, 2);
        else
            c.text(kMargin, 60 + static_cast<int>(i) * 14, fitted(line, most, 1), kInk);
    }
}

struct Range {
    double low = INFINITY, high = -INFINITY;
    void add(double v) {
        if (!std::isfinite(v)) return;
        low = std::min(low, v);
        high = std::max(high, v);
    }
    bool empty() const { return low > high; }
};

// One views x side array as a grey image under its caption: views down, its
// own smallest value black and largest white; the view numbers on the left,
// the column (or row) numbers below; the warned view marked on the left and
// `mark` (a column, from 0; -1 none) above.
void drawProjection(Canvas& c, int left, const QcPicture& p, const std::vector<float>& values, const std::string& caption,
                    const char* across, int mark) {
    c.text(left, kContentTop - 34, caption, kInk);
    const int side = p.side;
    if (side > kImageWidth) return;  // no frame is that wide
    const int views = std::min<long long>(p.views, static_cast<long long>(values.size()) / side);
    if (views <= 0) return;
    const int sx = std::max(1, kImageWidth / side);
    // Views taller than columns are wide where there is room: a jump
    // between views is what the reader looks for.
    const int sy = std::clamp((kImageBottom - kContentTop) / views, 1, 2 * sx);
    const int rows = std::min(views, (kImageBottom - kContentTop) / sy);
    Range range;
    for (std::size_t k = 0; k < static_cast<std::size_t>(rows) * static_cast<std::size_t>(side); ++k) range.add(values[k]);
    c.grey(left, kContentTop, values.data(), rows, side, sx, sy, static_cast<float>(range.low), static_cast<float>(range.high));
    const int width = side * sx, height = rows * sy;
    c.rectangle(left - 1, kContentTop - 1, width + 2, height + 2, kInk);
    const int viewStep = static_cast<int>(niceStep(rows, 8, 1));
    for (int v = 0; v <= rows; v += viewStep) {
        const int view = std::max(v, 1);
        const int y = kContentTop + (view - 1) * sy + sy / 2;
        c.line(left - 5, y, left - 2, y, kInk);
        const std::string label = std::to_string(view);
        c.text(left - 8 - textWidth(label), y - 4, label, kInk);
    }
    c.text(left - 8 - textWidth("view"), kContentTop - 16, "view", kInk);
    const int columnStep = static_cast<int>(niceStep(side, 4, 1));
    for (int k = 0; k <= side; k += columnStep) {
        const int column = std::max(k, 1);
        const int x = left + (column - 1) * sx + sx / 2;
        c.line(x, kContentTop + height + 1, x, kContentTop + height + 4, kInk);
        const std::string label = std::to_string(column);
        c.text(x - textWidth(label) / 2, kContentTop + height + 7, label, kInk);
    }
    c.text(left + (width - textWidth(across)) / 2, kContentTop + height + 20, across, kInk);
    if (p.warnView >= 1 && p.warnView <= rows) {
        const int y = kContentTop + (p.warnView - 1) * sy + sy / 2;
        c.fill(left - 30, y - 1, 20, 3, kWarn);
    }
    if (mark >= 0 && mark < side) c.fill(left + mark * sx + sx / 2 - 1, kContentTop - 8, 3, 6, kWarn);
}

void drawGateCurve(Canvas& c, const QcPicture& p, int top) {
    const auto& g = p.gatePercent;
    const int n = static_cast<int>(std::min<std::size_t>(g.size(), 4096));
    Range range;
    for (int d = 0; d < n; ++d) range.add(g[static_cast<std::size_t>(d)]);
    const double lastToFirst = n > 0 && std::isfinite(g[0]) ? g[0] * p.lastToFirstPercent / 100 : NAN;
    range.add(p.gateLowPercent);
    range.add(100);
    range.add(lastToFirst);
    const double pad = std::max(2.0, (range.high - range.low) * 0.1);
    const char* caption = "gate counts per division, % of the mean";
    if (n == 0) {
        const char* none = "ungated study: no gate count curve";
        c.text(kPlotLeft, top - 14, caption, kInk);
        c.rectangle(kPlotLeft, top, kPlotWidth, kPlotHeight, kInk);
        c.text(kPlotLeft + (kPlotWidth - textWidth(none)) / 2, top + kPlotHeight / 2 - 4, none, kInk);
        return;
    }
    const Plot plot(kPlotLeft, top, kPlotWidth, kPlotHeight, 0.5, n + 0.5, range.low - pad, range.high + pad);
    plot.axes(c, niceStep(n, 16, 1), niceStep(range.high - range.low + 2 * pad, 5, 1), caption, "gate division");
    plot.threshold(c, p.gateLowPercent, "low: " + numberText(p.gateLowPercent, 0) + " % of the mean");
    plot.threshold(c, lastToFirst, "last: " + numberText(p.lastToFirstPercent, 0) + " % of the first");
    for (int d = 0; d < n; ++d) {
        const double v = g[static_cast<std::size_t>(d)];
        if (!std::isfinite(v)) continue;
        if (d > 0 && std::isfinite(g[static_cast<std::size_t>(d) - 1]))
            c.line(plot.px(d), plot.py(g[static_cast<std::size_t>(d) - 1]), plot.px(d + 1), plot.py(v), kAxial);
        const bool low = v < p.gateLowPercent || (d == n - 1 && v < lastToFirst);
        c.fill(plot.px(d + 1) - 2, plot.py(v) - 2, 5, 5, low ? kWarn : kAxial);
    }
}

// The median of the finite values in [from, to).
double medianOf(const std::vector<double>& values, int from, int to) {
    std::vector<double> finite;
    for (int v = from; v < to; ++v)
        if (std::isfinite(values[static_cast<std::size_t>(v)])) finite.push_back(values[static_cast<std::size_t>(v)]);
    if (finite.empty()) return NAN;
    std::nth_element(finite.begin(), finite.begin() + static_cast<std::ptrdiff_t>(finite.size() / 2), finite.end());
    return finite[finite.size() / 2];
}

// A centroid track against the view, each detector's views apart; with
// `band`, each detector's median plus and minus the motion threshold.
void drawTrack(Canvas& c, const QcPicture& p, const std::vector<double>& track, int top, const char* caption, Colour colour,
               bool band) {
    const int views = static_cast<int>(std::min<std::size_t>(track.size(), static_cast<std::size_t>(std::max(p.views, 0))));
    const int detectors = std::clamp(p.detectors, 1, std::max(views, 1));
    const int per = std::max(views / detectors, 1);
    auto detectorOf = [&](int v) { return std::min(v / per, detectors - 1); };
    Range range;
    for (int v = 0; v < views; ++v) range.add(track[static_cast<std::size_t>(v)]);
    if (range.empty()) range = Range{0, static_cast<double>(p.side)};
    const double threshold = std::isfinite(p.motionPixels) && p.motionPixels > 0 ? p.motionPixels : 1.0;
    const double middle = (range.low + range.high) / 2;
    const double half = std::max((range.high - range.low) / 2 + threshold * 1.5, threshold * 2.5);
    const Plot plot(kPlotLeft, top, kPlotWidth, kPlotHeight, 0.5, std::max(views, 1) + 0.5, middle - half, middle + half);
    plot.axes(c, niceStep(views, 12, 1), niceStep(2 * half, 8, 0.1), caption, "view");
    for (int d = 0; band && d < detectors; ++d) {
        const int from = d * per, to = d == detectors - 1 ? views : from + per;
        const double median = medianOf(track, from, to);
        if (!std::isfinite(median)) continue;
        for (const double y : {median - threshold, median + threshold})
            if (plot.insideY(y)) c.line(plot.px(from + 1), plot.py(y), plot.px(to), plot.py(y), kThreshold, 4);
    }
    if (band) {
        const std::string label = "median +/- " + numberText(threshold, 1) + " px";
        c.text(kPlotLeft + kPlotWidth - 4 - textWidth(label), top + kPlotHeight - 14, label, kThreshold);
    }
    for (int d = 1; d < detectors; ++d) plot.marker(c, d * per + 0.5, "detector " + std::to_string(d + 1), kInk);
    if (p.warnView >= 1 && p.warnView <= views) plot.marker(c, p.warnView, "view " + std::to_string(p.warnView), kWarn);
    for (int v = 0; v < views; ++v) {
        const double y = track[static_cast<std::size_t>(v)];
        if (!std::isfinite(y)) continue;
        const double before = v > 0 ? track[static_cast<std::size_t>(v) - 1] : NAN;
        if (v > 0 && detectorOf(v - 1) == detectorOf(v) && std::isfinite(before))
            c.line(plot.px(v), plot.py(before), plot.px(v + 1), plot.py(y), colour);
        c.fill(plot.px(v + 1) - 1, plot.py(y) - 1, 3, 3, colour);
    }
}

bool sizesAgree(const QcPicture& p) {
    if (p.views < 0 || p.views > (1 << 20) || p.side < 1 || p.side > kImageWidth || p.detectors < 1) return false;
    const auto cells = static_cast<std::size_t>(p.views) * static_cast<std::size_t>(p.side);
    const auto views = static_cast<std::size_t>(p.views);
    return p.sinogram.size() == cells && p.linogram.size() == cells && (p.axial.empty() || p.axial.size() == views) &&
           (p.lateral.empty() || p.lateral.size() == views) && p.gatePercent.size() <= 4096;
}

}  // namespace

RgbImage drawQcPage(const QcPicture& picture) {
    Canvas c(kPageWidth, kPageHeight, kWhite);
    drawHeading(c, picture);
    if (picture.side >= 1) {
        drawProjection(c, kImageLeft, picture, picture.sinogram, "sinogram at row " + std::to_string(picture.heartRow + 1),
                       "column", -1);
        drawProjection(c, kImageLeft + kImageWidth + kImageGap, picture, picture.linogram, "linogram: rows summed",
                       "row", picture.heartRow);
    }
    drawGateCurve(c, picture, kContentTop);
    drawTrack(c, picture, picture.axial, kContentTop + kPlotPitch, "axial centroid, pixels (row)", kAxial, true);
    drawTrack(c, picture, picture.lateral, kContentTop + 2 * kPlotPitch, "lateral centroid, pixels (column)", kLateral,
              false);
    return c.take();
}

Status writeQcPage(const char* path, const QcPicture& picture) {
    if (!sizesAgree(picture)) return detail::invalidPicture();
    try {
        const RgbImage page = drawQcPage(picture);
        // The simplified interface reports errors by its result, so no long
        // jump ever crosses this code.
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        image.width = static_cast<png_uint_32>(page.width);
        image.height = static_cast<png_uint_32>(page.height);
        image.format = PNG_FORMAT_RGB;
        image.flags = PNG_IMAGE_FLAG_FAST;  // a few times faster for a slightly larger file
        png_alloc_size_t size = PNG_IMAGE_PNG_SIZE_MAX(image);
        std::vector<unsigned char> png(size);
        const bool encoded = png_image_write_to_memory(&image, png.data(), &size, 0, page.rgb.data(), 0, nullptr) != 0;
        png_image_free(&image);
        if (!encoded) return statusOf(Reason::NoMemory);
        png.resize(size);
        return detail::writePicture(path, png, PictureKind::Png);
    } catch (const std::bad_alloc&) {
        return statusOf(Reason::NoMemory);
    }
}

}  // namespace trevik::qc
