#include "app/inspect/montage.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "app/inspect/report_text.h"
#include "study/study.h"

namespace trevik::inspect {

namespace {

constexpr int kSide = FrameStore::kSide;
constexpr int kCell = kSide + kMontageGap;
constexpr int kScaleBand = 30;  // the scale bar and its numbers under the frames
constexpr int kBarWidth = 128;
constexpr int kBarHeight = 10;
constexpr int kMinWidth = 240;  // room for the bar, its numbers and the red key

// A 3 x 5 font for 0x20..0x7E, drawn twice as large: five rows of three
// bits each, the top row in the highest bits, the left column first.
constexpr std::uint16_t kGlyphs[95] = {
    0x0000, 0x2482, 0x5A00, 0x5F7D, 0x3C9E, 0x52A5, 0x2AAB, 0x2400, 0x1491, 0x4494, 0x0AA8, 0x05D0,
    0x0014, 0x01C0, 0x0002, 0x12A4, 0x7B6F, 0x2C97, 0x73E7, 0x72CF, 0x5BC9, 0x79CF, 0x79EF, 0x7292,
    0x7BEF, 0x7BCF, 0x0410, 0x0414, 0x1511, 0x0E38, 0x4454, 0x7282, 0x2BE3, 0x2BED, 0x6BAE, 0x3923,
    0x6B6E, 0x79A7, 0x79A4, 0x396B, 0x5BED, 0x7497, 0x126A, 0x5BAD, 0x4927, 0x5FED, 0x6B6D, 0x2B6A,
    0x6BA4, 0x2B73, 0x6BAD, 0x388E, 0x7492, 0x5B6B, 0x5B52, 0x5BFD, 0x5AAD, 0x5A92, 0x72A7, 0x6926,
    0x4889, 0x324B, 0x2A00, 0x0007, 0x4400, 0x0CEF, 0x4D6E, 0x0723, 0x176B, 0x07E3, 0x15D2, 0x075E,
    0x4D6D, 0x2092, 0x106A, 0x4BB5, 0x6497, 0x0FED, 0x0D6D, 0x056A, 0x0D74, 0x0759, 0x0724, 0x078E,
    0x2E91, 0x0B6B, 0x0B52, 0x0B7D, 0x0A95, 0x0B54, 0x0EA7, 0x3593, 0x2492, 0x64D6, 0x0780,
};
constexpr int kScale = 2;
constexpr int kAdvance = 4 * kScale;  // a glyph and a column of space
constexpr int kTextHeight = 5 * kScale;

int textWidth(std::string_view text) { return static_cast<int>(text.size()) * kAdvance - kScale; }

class Canvas {
public:
    explicit Canvas(Montage& m) : m_(m) {}

    void pixel(int x, int y, const unsigned char (&rgb)[3]) {
        if (x < 0 || y < 0 || x >= m_.width || y >= m_.height) return;
        std::memcpy(&m_.rgb[(static_cast<std::size_t>(y) * static_cast<std::size_t>(m_.width) +
                             static_cast<std::size_t>(x)) * 3],
                    rgb, 3);
    }
    void box(int x, int y, int w, int h, const unsigned char (&rgb)[3]) {
        for (int j = 0; j < h; ++j)
            for (int i = 0; i < w; ++i) pixel(x + i, y + j, rgb);
    }
    // `text` in printable ASCII (anything else as '?') from (x, y), its top left.
    void text(int x, int y, std::string_view text) {
        for (const char c : text) {
            const auto u = static_cast<unsigned char>(c);
            const std::uint16_t glyph = kGlyphs[u >= 0x20 && u <= 0x7E ? u - 0x20 : '?' - 0x20];
            for (int row = 0; row < 5; ++row)
                for (int col = 0; col < 3; ++col)
                    if (glyph >> (14 - row * 3 - col) & 1) box(x + col * kScale, y + row * kScale, kScale, kScale, kMontageText);
            x += kAdvance;
        }
    }

private:
    Montage& m_;
};

// The last component of `path`, escaped, cut at the front with "..." to
// `most` pixels.
std::string titleOf(std::string_view path, int most) {
    if (const auto slash = path.find_last_of('/'); slash != std::string_view::npos && slash + 1 < path.size())
        path.remove_prefix(slash + 1);
    std::string title = printableName(path);
    const auto fits = static_cast<std::size_t>(std::max(0, (most + kScale) / kAdvance));
    if (title.size() > fits && fits > 3) title = "..." + title.substr(title.size() - (fits - 3));
    return title;
}

bool marked(const std::uint64_t* marks, int x, int y) { return marks && (marks[y] >> x & 1); }

}  // namespace

int montageWidth(int frames) { return std::max(kMontageLeft + frames * kCell + kMontageGap, kMinWidth); }
int montageHeight(int divisions) { return kMontageTop + divisions * kCell + kMontageGap + kScaleBand; }

Montage montageOf(std::string_view path, int divisions, int frames, const FrameAt& frameAt, const MarksAt& wrappedAt) {
    // One histogram of every stored value drawn in grey decides the scale.
    std::vector<long long> histogram(65536, 0);
    long long drawn = 0;
    bool any = false;
    bool anyWrapped = false;
    for (int d = 0; d < divisions; ++d)
        for (int i = 0; i < frames; ++i) {
            const std::int16_t* f = frameAt(d, i);
            if (!f) continue;
            any = true;
            const std::uint64_t* marks = wrappedAt ? wrappedAt(d, i) : nullptr;
            for (int k = 0; k < FrameStore::kFrameSamples; ++k) {
                if (marked(marks, k % kSide, k / kSide)) {
                    anyWrapped = true;
                    continue;
                }
                ++histogram[static_cast<std::size_t>(f[k] + 32768)];
                ++drawn;
            }
        }
    Montage m;
    if (!any) return m;

    // The 0.5th and 99.5th percentiles; when they meet, the whole range.
    auto valueAtRank = [&](long long rank) {
        for (std::size_t v = 0; v < histogram.size(); ++v)
            if ((rank -= histogram[v]) < 0) return static_cast<int>(v) - 32768;
        return 32767;
    };
    int low = 0;
    int high = 0;
    if (drawn > 0) {
        const long long tail = drawn / 200;
        low = valueAtRank(tail);
        high = valueAtRank(drawn - 1 - tail);
        if (high <= low) {
            low = valueAtRank(0);
            high = valueAtRank(drawn - 1);
        }
    }
    const int span = high - low;
    auto grey = [&](int v) -> unsigned char {
        if (span <= 0) return 128;
        const int c = std::clamp(v, low, high);
        return static_cast<unsigned char>(((c - low) * 255 + span / 2) / span);
    };

    m.width = montageWidth(frames);
    m.height = montageHeight(divisions);
    m.rgb.resize(static_cast<std::size_t>(m.width) * static_cast<std::size_t>(m.height) * 3);
    for (std::size_t p = 0; p < m.rgb.size(); p += 3) std::memcpy(&m.rgb[p], kMontageBackground, 3);
    Canvas canvas(m);
    canvas.text(kMontageGap + 2, 4, titleOf(path, m.width - 2 * kMontageGap - 4));
    for (int i = 0; i < frames; ++i) {
        const std::string number = toText(i + 1);
        canvas.text(kMontageLeft + kMontageGap + i * kCell + (kSide - textWidth(number)) / 2, kMontageTop - kTextHeight - 2,
                    number);
    }
    for (int d = 0; d < divisions; ++d) {
        const std::string number = toText(d + 1);
        canvas.text(kMontageLeft - 2 - textWidth(number), kMontageTop + kMontageGap + d * kCell + (kSide - kTextHeight) / 2,
                    number);
    }

    for (int d = 0; d < divisions; ++d)
        for (int i = 0; i < frames; ++i) {
            const std::int16_t* f = frameAt(d, i);
            if (!f) continue;
            const std::uint64_t* marks = wrappedAt ? wrappedAt(d, i) : nullptr;
            const int left = kMontageLeft + kMontageGap + i * kCell;
            const int top = kMontageTop + kMontageGap + d * kCell;
            for (int y = 0; y < kSide; ++y) {
                unsigned char* out = &m.rgb[(static_cast<std::size_t>(top + y) * static_cast<std::size_t>(m.width) +
                                             static_cast<std::size_t>(left)) * 3];
                for (int x = 0; x < kSide; ++x, out += 3) {
                    if (marked(marks, x, y)) {
                        std::memcpy(out, kMontageWrapped, 3);
                        continue;
                    }
                    out[0] = out[1] = out[2] = grey(f[y * kSide + x]);
                }
            }
        }

    // The scale bar: the stored values its ends stand for beneath it; the
    // red key beside it when samples wrapped.
    const int barTop = kMontageTop + divisions * kCell + kMontageGap + 4;
    const int barLeft = kMontageGap + 2;
    for (int x = 0; x < kBarWidth; ++x) {
        const auto g = static_cast<unsigned char>((x * 255 + (kBarWidth - 1) / 2) / (kBarWidth - 1));
        const unsigned char rgb[3] = {g, g, g};
        canvas.box(barLeft + x, barTop, 1, kBarHeight, rgb);
    }
    const std::string lowText = toText(low), highText = toText(high);
    canvas.text(barLeft, barTop + kBarHeight + 3, lowText);
    canvas.text(std::max(barLeft + kBarWidth - textWidth(highText), barLeft + textWidth(lowText) + kAdvance),
                barTop + kBarHeight + 3, highText);
    if (anyWrapped) {
        const int keyLeft = barLeft + kBarWidth + 8;
        canvas.box(keyLeft, barTop, kBarHeight, kBarHeight, kMontageWrapped);
        canvas.text(keyLeft + kBarHeight + 4, barTop, "wrapped");
    }
    return m;
}

}  // namespace trevik::inspect
