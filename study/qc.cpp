#include "study/qc.h"

#include "study/choices.h"
#include "study/names.h"
#include "study/tracer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace trevik::qc {

namespace {

constexpr std::size_t kPixels = static_cast<std::size_t>(kSide) * kSide;

// Adds every frame into its view's sum and keeps each frame's counts
// (division after division); false when a frame is missing.
bool sumFrames(const Frames& frames, Result& r, std::vector<double>& frameCounts) {
    r.summed.assign(static_cast<std::size_t>(frames.views) * kPixels, 0.0f);
    frameCounts.assign(static_cast<std::size_t>(frames.divisions) * static_cast<std::size_t>(frames.views), 0.0);
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
            frameCounts[static_cast<std::size_t>(d * frames.views + v)] = static_cast<double>(counts);
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

// The least-squares curve of second order through (v, y[v]) for v in
// [first, last), evaluated at each of them into `fit`.
void quadraticFit(const std::vector<double>& y, int first, int last, std::vector<double>& fit) {
    double s[5] = {}, t[3] = {};
    const double middle = (first + last - 1) / 2.0;
    for (int v = first; v < last; ++v) {
        const double x = v - middle;
        double p = 1;
        for (int k = 0; k < 5; ++k, p *= x) {
            s[k] += p;
            if (k < 3) t[k] += p * y[static_cast<std::size_t>(v)];
        }
    }
    // The normal equations, by Cramer's rule.
    const auto det = [](double a, double b, double c, double d, double e, double f, double g, double h, double i) {
        return a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g);
    };
    const double m = det(s[0], s[1], s[2], s[1], s[2], s[3], s[2], s[3], s[4]);
    std::array<double, 3> c{};
    if (std::fabs(m) > 1e-9) {
        c[0] = det(t[0], s[1], s[2], t[1], s[2], s[3], t[2], s[3], s[4]) / m;
        c[1] = det(s[0], t[0], s[2], s[1], t[1], s[3], s[2], t[2], s[4]) / m;
        c[2] = det(s[0], s[1], t[0], s[1], s[2], t[1], s[2], s[3], t[2]) / m;
    } else {
        c[0] = t[0] / std::max(s[0], 1.0);
    }
    for (int v = first; v < last; ++v) {
        const double x = v - middle;
        fit[static_cast<std::size_t>(v)] = c[0] + c[1] * x + c[2] * x * x;
    }
}

// Each view's counts against the arc's smooth change, per detector.
void viewCounts(const std::vector<double>& frameCounts, int detectors, Result& r) {
    std::vector<double> total(static_cast<std::size_t>(r.views), 0.0), fit(total.size(), 0.0);
    for (int d = 0; d < r.divisions; ++d)
        for (int v = 0; v < r.views; ++v) total[static_cast<std::size_t>(v)] += frameCounts[static_cast<std::size_t>(d * r.views + v)];
    const int share = r.views / detectors;
    if (share < 3) return;
    for (int k = 0; k < detectors; ++k) quadraticFit(total, k * share, (k + 1) * share, fit);
    for (int v = 0; v < r.views; ++v) {
        const double f = fit[static_cast<std::size_t>(v)];
        r.viewPercent.push_back(f > 0 ? 100.0 * total[static_cast<std::size_t>(v)] / f : kNone);
        const double p = r.viewPercent.back();
        if (!std::isnan(p) && (std::isnan(r.lowestViewPercent) || p < r.lowestViewPercent)) {
            r.lowestViewPercent = p;
            r.lowestView = v + 1;
        }
    }
    r.countsWarning = r.lowestViewPercent < limit(Limit::ViewCounts);
}

// Beats lost in part of the arc: a beat cut short leaves the late
// divisions short, never the first. In each view, each division's counts
// against the first division's, as a share of its usual ratio (the upper
// quartile over the views, so that a loss in half the arc does not set it).
void beatsLost(const std::vector<double>& frameCounts, Result& r) {
    if (r.divisions < 2 || r.views < 2) return;
    const auto D = static_cast<std::size_t>(r.divisions), V = static_cast<std::size_t>(r.views);
    std::vector<double> ratio(D * V, kNone), usual(D, kNone), column;
    for (std::size_t v = 0; v < V; ++v)
        if (const double first = frameCounts[v]; first > 0)
            for (std::size_t d = 1; d < D; ++d) ratio[d * V + v] = frameCounts[d * V + v] / first;
    for (std::size_t d = 1; d < D; ++d) {
        column.clear();
        for (std::size_t v = 0; v < V; ++v)
            if (!std::isnan(ratio[d * V + v])) column.push_back(ratio[d * V + v]);
        if (column.empty()) return;
        const auto quartile = column.begin() + static_cast<std::ptrdiff_t>(column.size() * 3 / 4);
        std::nth_element(column.begin(), quartile, column.end());
        usual[d] = *quartile;
    }
    for (std::size_t v = 0; v < V; ++v) {
        double lowest = kNone;
        int division = -1;
        for (std::size_t d = 1; d < D; ++d) {
            const double p = usual[d] > 0 ? 100.0 * ratio[d * V + v] / usual[d] : kNone;
            if (!std::isnan(p) && (std::isnan(lowest) || p < lowest)) {
                lowest = p;
                division = static_cast<int>(d) + 1;
            }
        }
        if (!(lowest < limit(Limit::BeatsLost))) continue;
        ++r.beatsLostViews;
        if (r.beatsFirstView < 0) r.beatsFirstView = static_cast<int>(v) + 1;
        r.beatsLastView = static_cast<int>(v) + 1;
        if (std::isnan(r.beatsLowestPercent) || lowest < r.beatsLowestPercent) {
            r.beatsLowestPercent = lowest;
            r.beatsDivision = division;
        }
    }
    r.beatsWarning = r.beatsLostViews >= 2;
}

}  // namespace

void describe(Facts& facts, const StudyRecord& record) {
    const auto fill = [](std::string& to, const char* field, std::size_t width) {
        if (to.empty()) to.assign(field, strnlen(field, width));
    };
    fill(facts.patientId, record.id, sizeof record.id);
    fill(facts.patientName, record.name, sizeof record.name);
    fill(facts.date, record.date, sizeof record.date);
    fill(facts.time, record.time, sizeof record.time);
    fill(facts.comment, record.comment, sizeof record.comment);
}

double Result::largestMotion() const {
    double most = 0;
    for (const Motion& m : motions) most = std::max(most, std::fabs(m.pixels));
    return most;
}

Facts factsOf(const Acquisition& a, int window) {
    Facts facts;
    if (a.detectors > 0) facts.detectors = a.detectors;
    if (a.beatsKnown) {
        facts.acceptedBeats = a.acceptedBeats;
        facts.rejectedBeats = a.rejectedBeats;
    }
    const std::string number = a.seriesNumber, description = a.seriesDescription;
    facts.series = romanisedAscii(number + (description.empty() ? "" : " ") + description);
    const ChoiceEntry* chosen = window != 0 ? a.energyWindows.find(window)
                                            : (a.energyWindows.size() == 1 ? &a.energyWindows.entries[0] : nullptr);
    if (!chosen) return facts;
    facts.window = romanisedAscii(entryText(*chosen, "keV"));
    facts.window.erase(std::unique(facts.window.begin(), facts.window.end(), [](char x, char y) { return x == ' ' && y == ' '; }),
                       facts.window.end());
    // A scatter window: no photopeak of the one nuclide coded in its range.
    const auto limit = [](const char* text, double& value) {
        char* end = nullptr;
        value = std::strtod(text, &end);
        return text[0] != '\0' && end != text;
    };
    double lower = 0, upper = 0;
    if (a.nuclideCount == 1 && limit(chosen->lower, lower) && limit(chosen->upper, upper))
        facts.scatter = !holdsPhotopeak(a.nuclides[0], lower, upper);
    return facts;
}

Result check(const Frames& frames, const Facts& facts) {
    Result r;
    if (frames.divisions < 1 || frames.views < 1 || !frames.at) return r;
    r.divisions = frames.divisions;
    r.views = frames.views;
    std::vector<double> frameCounts;
    if (!sumFrames(frames, r, frameCounts)) {
        r.summed.clear();
        return r;
    }
    r.checked = true;
    std::vector<double> divisionCounts(static_cast<std::size_t>(r.divisions), 0.0);
    for (int d = 0; d < r.divisions; ++d)
        for (int v = 0; v < r.views; ++v)
            divisionCounts[static_cast<std::size_t>(d)] += frameCounts[static_cast<std::size_t>(d * r.views + v)];
    gateCurve(divisionCounts, facts, r);
    // Each detector's views (an even share, in order) are judged apart: the
    // step from one detector to the next is no motion. Views that do not
    // split evenly, or shares too short to judge, are one run.
    const int n = facts.detectors;
    r.detectors = n > 1 && r.views % n == 0 && r.views / n >= 3 ? n : 1;
    double total = 0;
    for (const double c : divisionCounts) total += c;
    // Too few views say nothing of the arc.
    if (total > 0 && r.views >= limit(Limit::MotionViews)) {
        viewCounts(frameCounts, r.detectors, r);
        beatsLost(frameCounts, r);
    }
    detail::judgeMotion(facts, r);
    return r;
}

}  // namespace trevik::qc
