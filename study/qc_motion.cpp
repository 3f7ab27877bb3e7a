// Patient motion from view to view. In a gated study the heart is followed
// (its hottest region, then the centroid of what stands above a level of
// it); where it behaves as a heart (found in every view, keeping its place),
// the axial position is that of the rows' profile across the heart's
// columns and the lateral one the heart's centroid; otherwise the whole
// body's: the shift best aligning each view's row profile with the last
// view's, and the centroid of its columns. The lateral positions lose the
// rotation's sine first. Each position series is then told apart into an
// abrupt shift, a bounce that returns within two views, and a creep.
#include <algorithm>
#include <cmath>
#include <cstddef>

#include "study/qc.h"

namespace trevik::qc::detail {

namespace {

constexpr std::size_t kPixels = static_cast<std::size_t>(kSide) * kSide;
constexpr int kBox = 2;  // the hottest region is a 5 x 5 box: its centre and 2 pixels each way
constexpr int kBand = 14;  // the heart's columns: this far each way from its lateral centroid
constexpr double kStandsOut = 2.0;  // a heart's region: at least this many times the view's mean
constexpr int kMostApart = 4;  // pixels: a heart strays no further from its middle
constexpr double kPi() { return 3.14159265358979323846; }

// The sum of the 5 x 5 box around (row, column), the frame's edge clipped.
double boxSum(const float* p, int row, int column) {
    double sum = 0;
    for (int y = std::max(row - kBox, 0); y <= std::min(row + kBox, kSide - 1); ++y)
        for (int x = std::max(column - kBox, 0); x <= std::min(column + kBox, kSide - 1); ++x)
            sum += p[y * kSide + x];
    return sum;
}

// The hottest box whose centre lies within `reach` of (row, column).
void hottest(const float* p, int& row, int& column, int reach, double& best) {
    const int r0 = row, c0 = column;
    best = -1e300;
    for (int y = std::max(r0 - reach, 0); y <= std::min(r0 + reach, kSide - 1); ++y)
        for (int x = std::max(c0 - reach, 0); x <= std::min(c0 + reach, kSide - 1); ++x)
            if (const double s = boxSum(p, y, x); s > best) {
                best = s;
                row = y;
                column = x;
            }
}

// `in` smoothed with a 3 x 3 box (the frame's edge clipped), so that the
// pixels a level leaves out change less with the noise from view to view.
void smoothed(const float* in, float* out) {
    for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x) {
            float sum = 0;
            int n = 0;
            for (int j = std::max(y - 1, 0); j <= std::min(y + 1, kSide - 1); ++j)
                for (int i = std::max(x - 1, 0); i <= std::min(x + 1, kSide - 1); ++i, ++n) sum += in[j * kSide + i];
            out[y * kSide + x] = sum / static_cast<float>(n);
        }
}

// The centroid of the pixels of `p` above `level` that join the pixel
// `seed` within the window of half side `window` around (row, column):
// a liver nearby, a separate blob, stays out. False when nothing is above.
struct Blob {
    std::vector<bool> seen = std::vector<bool>(kPixels);
    std::vector<int> todo;

    bool centroid(const float* p, int seed, double level, int row, int column, double& y, double& x) {
        const int window = static_cast<int>(limit(Limit::Window));
        const int y0 = std::max(row - window, 0), y1 = std::min(row + window, kSide - 1);
        const int x0 = std::max(column - window, 0), x1 = std::min(column + window, kSide - 1);
        std::fill(seen.begin(), seen.end(), false);
        todo.assign(1, seed);
        seen[static_cast<std::size_t>(seed)] = true;
        double weight = 0, sumY = 0, sumX = 0;
        while (!todo.empty()) {
            const int at = todo.back();
            todo.pop_back();
            const int ay = at / kSide, ax = at % kSide;
            const double above = p[at] - level;
            if (above <= 0) continue;
            weight += above;
            sumY += above * ay;
            sumX += above * ax;
            const int next[4][2] = {{ay - 1, ax}, {ay + 1, ax}, {ay, ax - 1}, {ay, ax + 1}};
            for (const auto& [ny, nx] : next)
                if (ny >= y0 && ny <= y1 && nx >= x0 && nx <= x1 && !seen[static_cast<std::size_t>(ny * kSide + nx)]) {
                    seen[static_cast<std::size_t>(ny * kSide + nx)] = true;
                    todo.push_back(ny * kSide + nx);
                }
        }
        if (!(weight > 0)) return false;
        y = sumY / weight;
        x = sumX / weight;
        return true;
    }
};

// Follows the heart through views [first, last): in each view the hottest
// region near the last view's centroid (anywhere in the first view), then
// the centroid of what stands above `level` of that region's mean and joins
// it, within `window` of the centroid (found again twice with the window
// moved to it, so that a region at the heart's edge does not cut it).
void track(const Result& r, int first, int last, std::vector<double>& axial, std::vector<double>& lateral) {
    int row = kSide / 2, column = kSide / 2;
    int reach = kSide;  // the first view: the whole frame
    std::vector<float> smooth(kPixels);
    Blob blob;
    for (int v = first; v < last; ++v) {
        smoothed(&r.summed[static_cast<std::size_t>(v) * kPixels], smooth.data());
        double best = 0;
        int hotRow = row, hotColumn = column;
        hottest(smooth.data(), hotRow, hotColumn, reach, best);
        reach = static_cast<int>(limit(Limit::Search));
        // Nothing stands out (no counts, or a region no hotter than the
        // view's mean): no centroid, the window stays.
        double mean = 0;
        for (std::size_t k = 0; k < kPixels; ++k) mean += smooth[k];
        mean /= static_cast<double>(kPixels);
        if (!(best > 0) || best / ((2 * kBox + 1) * (2 * kBox + 1)) < kStandsOut * mean) continue;
        const double level = limit(Limit::Level) / 100.0 * best / ((2 * kBox + 1) * (2 * kBox + 1));
        double y = hotRow, x = hotColumn;
        bool found = false;
        for (int pass = 0; pass < 3; ++pass)
            found = blob.centroid(smooth.data(), hotRow * kSide + hotColumn, level, static_cast<int>(std::lround(y)),
                                  static_cast<int>(std::lround(x)), y, x) || found;
        if (!found) continue;
        axial[static_cast<std::size_t>(v)] = y;
        lateral[static_cast<std::size_t>(v)] = x;
        row = static_cast<int>(std::lround(y));
        column = static_cast<int>(std::lround(x));
    }
}

// The median of the values found among views [first, last).
double medianOf(const std::vector<double>& track, int first, int last) {
    std::vector<double> found;
    for (int v = first; v < last; ++v)
        if (!std::isnan(track[static_cast<std::size_t>(v)])) found.push_back(track[static_cast<std::size_t>(v)]);
    if (found.empty()) return kNone;
    std::nth_element(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(found.size() / 2), found.end());
    return found[found.size() / 2];
}

const float* viewOf(const Result& r, int v) { return &r.summed[static_cast<std::size_t>(v) * kPixels]; }

// The view's rows, each summed over columns [c0, c1].
std::vector<double> rowProfile(const float* view, int c0, int c1) {
    std::vector<double> p(kSide, 0.0);
    for (int y = 0; y < kSide; ++y)
        for (int x = std::max(c0, 0); x <= std::min(c1, kSide - 1); ++x) p[static_cast<std::size_t>(y)] += view[y * kSide + x];
    return p;
}

// `p` at y (linear between its samples, its ends held).
double at(const std::vector<double>& p, double y) {
    if (y <= 0) return p.front();
    if (y >= kSide - 1) return p.back();
    const int i = static_cast<int>(y);
    const double f = y - i;
    return p[static_cast<std::size_t>(i)] * (1 - f) + p[static_cast<std::size_t>(i) + 1] * f;
}

// The shift s (rows) for which b(y) is most like a(y - s), a scaled to b's
// counts: the best whole row, then refined by the profiles' slope.
double alignShift(const std::vector<double>& a, const std::vector<double>& b) {
    double sa = 0, sb = 0;
    for (int y = 0; y < kSide; ++y) {
        sa += a[static_cast<std::size_t>(y)];
        sb += b[static_cast<std::size_t>(y)];
    }
    if (!(sa > 0) || !(sb > 0)) return 0;
    const double scale = sb / sa;
    double energy = 0;
    for (const double v : b) energy += v * v;
    constexpr int kFrom = 4, kTo = kSide - 4, kReach = 8;
    // The nearest shift first, so that a profile without features (or
    // whose shifts all fit alike) gives none.
    double best = 1e300, s = 0;
    for (int i = 0; i <= 2 * kReach; ++i) {
        const int t = i % 2 ? (i + 1) / 2 : -i / 2;
        double e = 0;
        for (int y = kFrom; y < kTo; ++y) {
            const double d = b[static_cast<std::size_t>(y)] - scale * at(a, y - t);
            e += d * d;
        }
        if (e < best - 1e-9 * energy) {
            best = e;
            s = t;
        }
    }
    for (int pass = 0; pass < 4; ++pass) {
        double num = 0, den = 0;
        for (int y = kFrom; y < kTo; ++y) {
            const double g = scale * (at(a, y - s + 1) - at(a, y - s - 1)) / 2;
            num += g * (b[static_cast<std::size_t>(y)] - scale * at(a, y - s));
            den += g * g;
        }
        if (!(den > 1e-12 * sb * sb)) break;
        s -= num / den;
        s = std::clamp(s, -double(kReach), double(kReach));
    }
    return s;
}

// The centroid of the view's columns.
double columnCentroid(const float* view) {
    double w = 0, sx = 0;
    for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x) {
            w += view[y * kSide + x];
            sx += view[y * kSide + x] * x;
        }
    return w > 0 ? sx / w : kNone;
}

// `s` less its least-squares sine over the views [first, last), which turn
// `step` radians each: what the rotation alone moves across the detector.
// With `jump` (a view, from 0), a step there is fitted beside the sine and
// kept in what is returned, so that the sine does not take up part of it.
std::vector<double> withoutSine(const std::vector<double>& s, int first, int last, double step, int jump = -1) {
    constexpr int kTerms = 4;
    const int n = jump > first && jump < last ? kTerms : kTerms - 1;
    double m[kTerms][kTerms + 1] = {};
    for (int v = first; v < last; ++v) {
        const double y = s[static_cast<std::size_t>(v)];
        if (std::isnan(y)) continue;
        const double f[kTerms] = {1, std::cos(step * v), std::sin(step * v), v >= jump ? 1.0 : 0.0};
        for (int i = 0; i < n; ++i) {
            for (int j = 0; j < n; ++j) m[i][j] += f[i] * f[j];
            m[i][kTerms] += f[i] * y;
        }
    }
    // Gauss-Jordan elimination with partial pivoting.
    for (int c = 0; c < n; ++c) {
        int p = c;
        for (int i = c + 1; i < n; ++i)
            if (std::fabs(m[i][c]) > std::fabs(m[p][c])) p = i;
        for (int j = 0; j <= kTerms; ++j) std::swap(m[c][j], m[p][j]);
        if (std::fabs(m[c][c]) < 1e-9) continue;
        for (int i = 0; i < n; ++i)
            if (i != c) {
                const double k = m[i][c] / m[c][c];
                for (int j = 0; j <= kTerms; ++j) m[i][j] -= k * m[c][j];
            }
    }
    double c[kTerms] = {};
    for (int i = 0; i < n; ++i) c[i] = std::fabs(m[i][i]) < 1e-9 ? 0 : m[i][kTerms] / m[i][i];
    std::vector<double> out = s;
    for (int v = first; v < last; ++v)
        out[static_cast<std::size_t>(v)] -= c[0] + c[1] * std::cos(step * v) + c[2] * std::sin(step * v);
    return out;
}

// The running median of seven views of `s` over [first, last) (fewer at the
// ends); false when a view has none.
bool runningMedian(const std::vector<double>& s, int first, int last, std::vector<double>& b) {
    std::vector<double> window;
    b.assign(s.size(), kNone);
    for (int v = first; v < last; ++v) {
        window.clear();
        for (int k = std::max(first, v - 3); k <= std::min(last - 1, v + 3); ++k)
            if (!std::isnan(s[static_cast<std::size_t>(k)])) window.push_back(s[static_cast<std::size_t>(k)]);
        if (window.empty()) return false;
        std::sort(window.begin(), window.end());
        const std::size_t h = window.size() / 2;
        b[static_cast<std::size_t>(v)] = window.size() % 2 ? window[h] : (window[h - 1] + window[h]) / 2;
    }
    return true;
}

// The view (from 0) after the largest step of `b` over [first, last), -1 none.
int largestStep(const std::vector<double>& b, int first, int last) {
    int at = -1;
    double step = 0;
    for (int v = first + 1; v < last; ++v)
        if (const double d = b[static_cast<std::size_t>(v)] - b[static_cast<std::size_t>(v) - 1]; std::fabs(d) > std::fabs(step)) {
            step = d;
            at = v;
        }
    return at;
}

// Keeps `m` in the result when it is larger than the one of its kind and axis.
void keep(Result& r, const Motion& m) {
    for (Motion& old : r.motions)
        if (old.kind == m.kind && old.lateral == m.lateral) {
            if (std::fabs(m.pixels) > std::fabs(old.pixels)) old = m;
            return;
        }
    r.motions.push_back(m);
}

// Tells the motion in the positions `s` of views [first, last) apart: the
// running median of seven views keeps steps and creep but not a bounce; its
// largest step is the shift, what stands off it the bounce, and what it
// changes besides the shift from the first views to the last the creep.
void judgeRun(const std::vector<double>& s, int first, int last, bool lateral, Result& r) {
    std::vector<double> b;
    if (last - first < 4 || !runningMedian(s, first, last, b)) return;
    // The shift: the largest step of the running median, measured on the
    // positions: four views after it less four before (medians).
    const int at = largestStep(b, first, last);
    Motion shift{MotionKind::Shift, lateral};
    if (at > 0) {
        const double after = medianOf(s, at, std::min(last, at + 4)), before = medianOf(s, std::max(first, at - 4), at);
        shift.pixels = after - before;
        shift.view = at + 1;
        shift.warns = std::fabs(shift.pixels) >= limit(Limit::Shift);
        if (std::fabs(shift.pixels) >= limit(Limit::Shift) / 2) keep(r, shift);
    }
    // The bounce: the view standing furthest off the running median, with
    // its neighbour when that stands off as far as half of it.
    int peak = -1;
    double off = 0;
    for (int v = first; v < last; ++v)
        if (const double e = s[static_cast<std::size_t>(v)] - b[static_cast<std::size_t>(v)]; std::fabs(e) > std::fabs(off)) {
            off = e;
            peak = v;
        }
    if (peak >= 0 && std::fabs(off) >= limit(Limit::Creep)) {
        Motion bounce{MotionKind::Bounce, lateral, off, peak + 1, 1};
        for (const int v : {peak - 1, peak + 1})
            if (v >= first && v < last && std::fabs(s[static_cast<std::size_t>(v)] - b[static_cast<std::size_t>(v)]) >= std::fabs(off) / 2) {
                bounce.views = 2;
                bounce.view = std::min(bounce.view, v + 1);
            }
        bounce.warns = std::fabs(off) >= limit(Limit::Bounce);
        keep(r, bounce);
    }
    if (lateral) return;  // a creep is looked for along the axis
    const double drift = medianOf(b, last - 3, last) - medianOf(b, first, first + 3);
    const double creep = drift - (std::fabs(shift.pixels) >= limit(Limit::Shift) / 2 ? shift.pixels : 0.0);
    if (std::fabs(creep) < limit(Limit::Creep) / 2) return;
    Motion m{MotionKind::Creep, false, creep, first + 1};
    // From the view it has reached half of itself.
    for (int v = first; v < last; ++v)
        if (std::fabs(b[static_cast<std::size_t>(v)] - b[static_cast<std::size_t>(first)]) >= std::fabs(creep) / 2) {
            m.view = v + 1;
            break;
        }
    m.warns = std::fabs(creep) >= limit(Limit::Creep);
    keep(r, m);
}

// Whether the heart tracked over views [first, last) behaves as one: found
// in every view, never further than kMostApart from its middle.
bool behavesAsHeart(const Result& r, int first, int last, double step) {
    const double row = medianOf(r.axial, first, last), column = medianOf(r.lateral, first, last);
    if (std::isnan(row)) return false;
    const std::vector<double> across = withoutSine(r.lateral, first, last, step);
    for (int v = first; v < last; ++v) {
        const double a = r.axial[static_cast<std::size_t>(v)];
        if (std::isnan(a) || std::fabs(a - row) > kMostApart || std::fabs(across[static_cast<std::size_t>(v)]) > kMostApart)
            return false;
    }
    return !std::isnan(column);
}

}  // namespace

void judgeMotion(const Facts& facts, Result& r) {
    if (r.views < limit(Limit::MotionViews)) return;
    if (facts.scatter) {
        r.subject = Subject::Scatter;
        return;
    }
    const int share = r.views / r.detectors;
    const double step = std::clamp(facts.arcDegrees, 1.0, 720.0) * kPi() / 180.0 / r.views;
    r.axial.assign(static_cast<std::size_t>(r.views), kNone);
    r.lateral.assign(static_cast<std::size_t>(r.views), kNone);
    bool heart = r.divisions > 1;
    for (int d = 0; heart && d < r.detectors; ++d) {
        track(r, d * share, (d + 1) * share, r.axial, r.lateral);
        heart = behavesAsHeart(r, d * share, (d + 1) * share, step);
    }
    r.subject = heart ? Subject::Heart : Subject::Body;
    std::vector<double> position(static_cast<std::size_t>(r.views), 0.0), last;
    for (int d = 0; d < r.detectors; ++d) {
        const int first = d * share, end = (d + 1) * share;
        const int middle = heart ? static_cast<int>(std::lround(medianOf(r.lateral, first, end))) : kSide / 2;
        const int reach = heart ? kBand : kSide;
        for (int v = first; v < end; ++v) {
            std::vector<double> profile = rowProfile(viewOf(r, v), middle - reach, middle + reach);
            if (v == 0) {
                double w = 0, sy = 0;
                for (int y = 0; y < kSide; ++y) {
                    w += profile[static_cast<std::size_t>(y)];
                    sy += profile[static_cast<std::size_t>(y)] * y;
                }
                if (!(w > 0)) {  // no counts to follow
                    r.axial.clear();
                    r.lateral.clear();
                    r.subject = Subject::None;
                    return;
                }
                position[0] = heart ? medianOf(r.axial, 0, share) : sy / w;
            } else if (v == first) {  // the next detector: its offset is no motion
                position[static_cast<std::size_t>(v)] = position[static_cast<std::size_t>(v) - 1];
                r.detectorOffset = alignShift(last, profile);
            } else {
                position[static_cast<std::size_t>(v)] = position[static_cast<std::size_t>(v) - 1] + alignShift(last, profile);
            }
            last = std::move(profile);
            if (!heart) r.lateral[static_cast<std::size_t>(v)] = columnCentroid(viewOf(r, v));
        }
    }
    r.axial = position;
    r.tracked = true;
    r.startRow = r.axial[0];
    r.heartRow = std::clamp(static_cast<int>(std::lround(medianOf(r.axial, 0, r.views))), 0, kSide - 1);
    for (int d = 0; d < r.detectors; ++d) {
        const int first = d * share, end = (d + 1) * share;
        judgeRun(r.axial, first, end, false, r);
        // Across: the sine taken out, then again with the largest step
        // fitted beside it.
        std::vector<double> across = withoutSine(r.lateral, first, end, step), b;
        const int jump = runningMedian(across, first, end, b) ? largestStep(b, first, end) : -1;
        judgeRun(withoutSine(r.lateral, first, end, step, jump), first, end, true, r);
    }
    // The warnings first, the largest first.
    std::stable_sort(r.motions.begin(), r.motions.end(), [](const Motion& a, const Motion& b) {
        return a.warns != b.warns ? a.warns : std::fabs(a.pixels) > std::fabs(b.pixels);
    });
    for (const Motion& m : r.motions)
        if (m.warns && !r.motionWarning) {
            r.motionWarning = true;
            r.warnView = m.view;
        }
}

}  // namespace trevik::qc::detail
