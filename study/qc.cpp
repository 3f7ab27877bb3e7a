#include "study/qc.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace trevik::qc {

namespace {

constexpr std::size_t kPixels = static_cast<std::size_t>(kSide) * kSide;
constexpr int kBox = 2;  // the hottest region is a 5 x 5 box: its centre and 2 pixels each way

// Adds every frame into its view's sum and each division's counts; false
// when a frame is missing.
bool sumFrames(const Frames& frames, Result& r, std::vector<double>& divisionCounts) {
    r.summed.assign(static_cast<std::size_t>(frames.views) * kPixels, 0.0f);
    divisionCounts.assign(static_cast<std::size_t>(frames.divisions), 0.0);
    for (int d = 0; d < frames.divisions; ++d)
        for (int v = 0; v < frames.views; ++v) {
            const std::int16_t* frame = frames.at(d, v);
            if (!frame) return false;
            float* sum = &r.summed[static_cast<std::size_t>(v) * kPixels];
            long long counts = 0;
            for (std::size_t k = 0; k < kPixels; ++k) {
                sum[k] += static_cast<float>(frame[k]);
                counts += frame[k];
            }
            divisionCounts[static_cast<std::size_t>(d)] += static_cast<double>(counts);
        }
    return true;
}

void gateCurve(const std::vector<double>& counts, const Facts& facts, Result& r) {
    if (facts.acceptedBeats >= 0 && facts.rejectedBeats >= 0 && facts.acceptedBeats + facts.rejectedBeats > 0) {
        r.rejectedPercent = 100.0 * static_cast<double>(facts.rejectedBeats) /
                            static_cast<double>(facts.acceptedBeats + facts.rejectedBeats);
        r.rejectedWarning = r.rejectedPercent > limit(Limit::RejectedBeats);
    }
    if (counts.size() < 2) return;
    double mean = 0;
    for (const double c : counts) mean += c;
    mean /= static_cast<double>(counts.size());
    if (!(mean > 0)) return;  // no counts: no curve
    for (const double c : counts) r.gatePercent.push_back(100.0 * c / mean);
    const auto lowest = std::min_element(r.gatePercent.begin(), r.gatePercent.end());
    r.lowestDivision = static_cast<int>(lowest - r.gatePercent.begin()) + 1;
    r.lowestPercent = *lowest;
    if (counts.front() > 0) r.lastToFirstPercent = 100.0 * counts.back() / counts.front();
    r.gateWarning = r.lowestPercent < limit(Limit::GateLow) ||
                    (!std::isnan(r.lastToFirstPercent) && r.lastToFirstPercent < limit(Limit::LastToFirst));
}

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
        if (!(best > 0)) continue;  // nothing stands out: no centroid, the window stays
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

// Jumps and drift within one detector's views [first, last).
void judge(int first, int last, Result& r) {
    const std::vector<double>& a = r.axial;
    for (int v = first + 1; v < last; ++v) {
        const double step = std::fabs(a[static_cast<std::size_t>(v)] - a[static_cast<std::size_t>(v - 1)]);
        if (step > r.largestJump) {  // false where either view has no centroid
            r.largestJump = step;
            r.jumpView = v + 1;
        }
    }
    // The ends as the median of three views each, so that one noisy view
    // does not make a drift.
    const double start = medianOf(a, first, first + 3);
    const double drift = medianOf(a, last - 3, last) - start;
    if (!(std::fabs(drift) > std::fabs(r.drift))) return;
    r.drift = drift;
    r.driftView = -1;
    for (int v = first; v < last && r.driftView < 0; ++v)
        if (std::fabs(a[static_cast<std::size_t>(v)] - start) >= limit(Limit::Motion)) r.driftView = v + 1;
}

void motion(const Facts& facts, Result& r) {
    if (r.views < limit(Limit::MotionViews)) return;
    r.tracked = true;
    r.axial.assign(static_cast<std::size_t>(r.views), kNone);
    r.lateral.assign(static_cast<std::size_t>(r.views), kNone);
    // Each detector's views (an even share, in order) are followed apart:
    // the step from one detector to the next is no motion. Views that do
    // not split evenly, or shares too short to judge, are one track.
    const int n = facts.detectors;
    r.detectors = n > 1 && r.views % n == 0 && r.views / n >= 3 ? n : 1;
    const int share = r.views / r.detectors;
    for (int d = 0; d < r.detectors; ++d) {
        track(r, d * share, (d + 1) * share, r.axial, r.lateral);
        judge(d * share, (d + 1) * share, r);
    }
    if (r.detectors > 1) r.detectorOffset = medianOf(r.axial, share, 2 * share) - medianOf(r.axial, 0, share);
    const double middle = medianOf(r.axial, 0, r.views);
    if (std::isnan(middle)) {  // no view holds anything to follow
        r.tracked = false;
        return;
    }
    r.heartRow = std::clamp(static_cast<int>(std::lround(middle)), 0, kSide - 1);
    const double most = limit(Limit::Motion);
    if (r.largestJump >= most) {
        r.motionWarning = true;
        r.warnView = r.jumpView;
    } else if (std::fabs(r.drift) >= most) {
        r.motionWarning = true;
        r.warnView = r.driftView;
    }
}

}  // namespace

double Result::largestMotion() const { return std::max(largestJump, std::fabs(drift)); }

Facts factsOf(const Acquisition& a) {
    Facts facts;
    if (a.detectors > 0) facts.detectors = a.detectors;
    if (a.beatsKnown) {
        facts.acceptedBeats = a.acceptedBeats;
        facts.rejectedBeats = a.rejectedBeats;
    }
    return facts;
}

Result check(const Frames& frames, const Facts& facts) {
    Result r;
    if (frames.divisions < 1 || frames.views < 1 || !frames.at) return r;
    r.divisions = frames.divisions;
    r.views = frames.views;
    std::vector<double> counts;
    if (!sumFrames(frames, r, counts)) {
        r.summed.clear();
        return r;
    }
    r.checked = true;
    gateCurve(counts, facts, r);
    motion(facts, r);
    return r;
}

}  // namespace trevik::qc
