// The quality-control page: the title and the verdict at the top, the
// sinogram and the linogram on the left, the gate count curve and the two
// centroid tracks on the right.
#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <string>
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
constexpr int kLine = 14;         // the pitch of the lines of words
constexpr int kFactsTop = 40;     // the study's facts, under the title
constexpr int kContentGap = 44;   // from the last line of words to the images and the first plot
constexpr int kImageHeight = 640;  // the images' room, their numbers below
constexpr int kImageLeft = 56;
constexpr int kImageWidth = 256;  // at most; a frame's columns scaled by a whole number
constexpr int kImageGap = 64;
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

// Where the words go: the title, the facts, the verdict at twice the size,
// then every other line; a line too wide for the page goes on in the next,
// so that no word is lost. Each line's box is kept in `boxes`.
struct Words {
    std::vector<TextBox> boxes;
    int bottom = 0;
};

Words layOut(const QcPicture& p) {
    Words w;
    const int most = kPageWidth - 2 * kMargin;
    const auto fits = static_cast<std::size_t>(most / kGlyphWidth);
    w.boxes.push_back({fitted("Quality control: " + printableName(p.title), most, 2), kMargin, 12, 0, 2 * kGlyphHeight, 2});
    int y = kFactsTop;
    const auto add = [&](const std::string& text, int scale) {
        std::string rest = printableName(text);
        const std::size_t width = scale == 1 ? fits : fits / 2;
        do {
            w.boxes.push_back({rest.substr(0, width), kMargin, y, 0, scale * kGlyphHeight, scale});
            rest.erase(0, std::min(width, rest.size()));
            y += scale == 1 ? kLine : 2 * kLine;
        } while (!rest.empty());
    };
    for (const std::string& fact : p.facts) add(fact, 1);
    y += 4;
    for (std::size_t i = 0; i < p.verdict.size(); ++i) add(p.verdict[i], i == 0 ? 2 : 1);
    for (TextBox& b : w.boxes) b.width = textWidth(b.text, b.scale);
    w.bottom = y;
    return w;
}

int contentTop(const Words& w) { return std::max(195, w.bottom + kContentGap); }

void drawHeading(Canvas& c, const QcPicture& p, const Words& w) {
    const std::size_t facts = 1 + p.facts.size();
    for (std::size_t i = 0; i < w.boxes.size(); ++i) {
        const TextBox& b = w.boxes[i];
        const bool verdict = b.scale == 2 && i >= facts;
        c.text(b.x, b.y, b.text, verdict ? (p.warn ? kWarn : kOk) : kInk, b.scale);
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
void drawProjection(Canvas& c, int left, int top, const QcPicture& p, const std::vector<float>& values,
                    const std::string& caption, const char* across, int mark) {
    const int bottom = top + kImageHeight;
    c.text(left, top - 34, caption, kInk);
    const int side = p.side;
    if (side > kImageWidth) return;  // no frame is that wide
    const int views = std::min<long long>(p.views, static_cast<long long>(values.size()) / side);
    if (views <= 0) return;
    const int sx = std::max(1, kImageWidth / side);
    // Views taller than columns are wide where there is room: a jump
    // between views is what the reader looks for.
    const int sy = std::clamp((bottom - top) / views, 1, 2 * sx);
    const int rows = std::min(views, (bottom - top) / sy);
    Range range;
    for (std::size_t k = 0; k < static_cast<std::size_t>(rows) * static_cast<std::size_t>(side); ++k) range.add(values[k]);
    c.grey(left, top, values.data(), rows, side, sx, sy, static_cast<float>(range.low), static_cast<float>(range.high));
    const int width = side * sx, height = rows * sy;
    c.rectangle(left - 1, top - 1, width + 2, height + 2, kInk);
    const int viewStep = static_cast<int>(niceStep(rows, 8, 1));
    for (int v = 0; v <= rows; v += viewStep) {
        const int view = std::max(v, 1);
        const int y = top + (view - 1) * sy + sy / 2;
        c.line(left - 5, y, left - 2, y, kInk);
        const std::string label = std::to_string(view);
        c.text(left - 8 - textWidth(label), y - 4, label, kInk);
    }
    c.text(left - 8 - textWidth("view"), top - 16, "view", kInk);
    const int columnStep = static_cast<int>(niceStep(side, 4, 1));
    for (int k = 0; k <= side; k += columnStep) {
        const int column = std::max(k, 1);
        const int x = left + (column - 1) * sx + sx / 2;
        c.line(x, top + height + 1, x, top + height + 4, kInk);
        const std::string label = std::to_string(column);
        c.text(x - textWidth(label) / 2, top + height + 7, label, kInk);
    }
    c.text(left + (width - textWidth(across)) / 2, top + height + 20, across, kInk);
    if (p.warnView >= 1 && p.warnView <= rows) {
        const int y = top + (p.warnView - 1) * sy + sy / 2;
        c.fill(left - 30, y - 1, 20, 3, kWarn);
    }
    if (mark >= 0 && mark < side) c.fill(left + mark * sx + sx / 2 - 1, top - 8, 3, 6, kWarn);
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

void putBig(std::vector<unsigned char>& out, std::uint32_t n) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(n >> shift));
}

// Puts the words' layout into the PNG after its header chunk, as a text
// chunk "trevik-qc-lines": a line "x y width height text" per line of words,
// so that a reader (or a test) finds what the page says and where.
void withLayout(std::vector<unsigned char>& png, const std::vector<TextBox>& layout) {
    constexpr std::size_t kAfterHeader = 8 + 25;  // the signature and IHDR
    if (png.size() < kAfterHeader) return;
    std::string data = "trevik-qc-lines";
    data.push_back('\0');
    for (const TextBox& b : layout)
        data += std::to_string(b.x) + " " + std::to_string(b.y) + " " + std::to_string(b.width) + " " +
                std::to_string(b.height) + " " + b.text + "\n";
    data.insert(0, "tEXt");
    std::vector<unsigned char> out(png.begin(), png.begin() + static_cast<std::ptrdiff_t>(kAfterHeader));
    out.reserve(png.size() + data.size() + 8);
    putBig(out, static_cast<std::uint32_t>(data.size() - 4));
    for (const char ch : data) out.push_back(static_cast<unsigned char>(ch));
    const auto* typed = reinterpret_cast<const Bytef*>(data.data());
    putBig(out, static_cast<std::uint32_t>(crc32(crc32(0L, Z_NULL, 0), typed, static_cast<uInt>(data.size()))));
    for (std::size_t k = kAfterHeader; k < png.size(); ++k) out.push_back(png[k]);
    png.swap(out);
}

}  // namespace

int pageHeight(const QcPicture& picture) { return std::max(kPageHeight, contentTop(layOut(picture)) + kImageHeight + 60); }

RgbImage drawQcPage(const QcPicture& picture, std::vector<TextBox>* layout) {
    const Words words = layOut(picture);
    const int top = contentTop(words);
    Canvas c(kPageWidth, std::max(kPageHeight, top + kImageHeight + 60), kWhite);
    drawHeading(c, picture, words);
    if (picture.side >= 1) {
        drawProjection(c, kImageLeft, top, picture, picture.sinogram, "sinogram at row " + std::to_string(picture.heartRow + 1),
                       "column", -1);
        drawProjection(c, kImageLeft + kImageWidth + kImageGap, top, picture, picture.linogram, "linogram: rows summed",
                       "row", picture.heartRow);
    }
    drawGateCurve(c, picture, top);
    drawTrack(c, picture, picture.axial, top + kPlotPitch, "axial position, pixels (row)", kAxial, true);
    drawTrack(c, picture, picture.lateral, top + 2 * kPlotPitch, "lateral position, pixels (column)", kLateral, false);
    if (layout) *layout = words.boxes;
    return c.take();
}

Status writeQcPage(const char* path, const QcPicture& picture) {
    if (!sizesAgree(picture)) return detail::invalidPicture();
    try {
        std::vector<TextBox> layout;
        const RgbImage page = drawQcPage(picture, &layout);
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
        withLayout(png, layout);
        return detail::writePicture(path, png, PictureKind::Png);
    } catch (const std::bad_alloc&) {
        return statusOf(Reason::NoMemory);
    }
}

}  // namespace trevik::qc
