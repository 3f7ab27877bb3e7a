#include "tools/synth/phantom.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <vector>

namespace trevik::synth {

namespace {

constexpr double kPi = 3.14159265358979323846;

// Positions in pixels of the 64 x 64 frame: x towards the patient's left,
// y anterior, z superior; the axis of rotation is the z axis.
using Vec = std::array<double, 3>;

double dot(const Vec& a, const Vec& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// A solid ellipsoid, (p - c)' A (p - c) <= 1; an elliptic cylinder along z
// when A has no z terms.
struct Ellipsoid {
    Vec c{};
    double a[3][3] = {};

    Vec times(const Vec& v) const {
        return {dot({a[0][0], a[0][1], a[0][2]}, v), dot({a[1][0], a[1][1], a[1][2]}, v),
                dot({a[2][0], a[2][1], a[2][2]}, v)};
    }
    // The length of the ray p + s d (d a unit vector) inside it.
    double chord(const Vec& p, const Vec& d) const {
        const Vec q = {p[0] - c[0], p[1] - c[1], p[2] - c[2]};
        const Vec ad = times(d);
        const double qa = dot(d, ad);
        const double b = dot(q, ad);
        const double cc = dot(q, times(q)) - 1.0;
        const double disc = b * b - qa * cc;
        return qa > 0 && disc > 0 ? 2.0 * std::sqrt(disc) / qa : 0.0;
    }
};

Ellipsoid axisAligned(const Vec& c, double rx, double ry, double rz) {
    Ellipsoid e;
    e.c = c;
    e.a[0][0] = 1.0 / (rx * rx);
    e.a[1][1] = 1.0 / (ry * ry);
    e.a[2][2] = rz > 0 ? 1.0 / (rz * rz) : 0.0;
    return e;
}

// An ellipsoid of revolution about the unit axis `l`: semi-axis `along`
// on it, `across` around it.
Ellipsoid spheroid(const Vec& c, const Vec& l, double along, double across) {
    Ellipsoid e;
    e.c = c;
    const double k = 1.0 / (along * along) - 1.0 / (across * across);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) e.a[i][j] = (i == j ? 1.0 / (across * across) : 0.0) + k * l[i] * l[j];
    return e;
}

// The anatomy: sizes in pixels of 6.4 mm, activities in counts per pixel
// of path for one of 8 gate divisions at one view (each view takes the same
// time however many divisions share it).
constexpr double kMyocardium = 4.0;
constexpr double kLiver = 0.6;
constexpr double kBackground = 0.08;
const Vec kHeart = {5.0, 3.0, 2.0};
const Vec kHeartAxis = [] {
    const Vec l = {0.6, 0.5, -0.6};  // base to apex: to the left, anterior and down
    const double n = std::sqrt(dot(l, l));
    return Vec{l[0] / n, l[1] / n, l[2] / n};
}();
// The cavity and the outer wall at end diastole (gate 1): long and short semi-axes.
constexpr double kCavityLong = 6.0, kCavityShort = 3.6;
constexpr double kWallLong = 7.6, kWallShort = 5.2;
constexpr double kSystole = 0.25;  // the cavity's linear shrink at end systole (an ejection fraction of 58 %)

// The myocardium of gate g of n: the cavity shrinks, the wall keeps its
// volume (so its activity) and thickens.
std::pair<Ellipsoid, Ellipsoid> myocardium(int g, int n) {
    const double phase = n > 1 ? 2.0 * kPi * g / n : 0.0;
    const double k = 1.0 - kSystole * (1.0 - std::cos(phase)) / 2.0;
    const double cavity = kCavityLong * kCavityShort * kCavityShort;
    const double wall = kWallLong * kWallShort * kWallShort - cavity;
    const double outer = std::cbrt((wall + k * k * k * cavity) / (kWallLong * kWallShort * kWallShort));
    return {spheroid(kHeart, kHeartAxis, outer * kWallLong, outer * kWallShort),
            spheroid(kHeart, kHeartAxis, k * kCavityLong, k * kCavityShort)};
}

// A Poisson count of mean `mean` from uniform numbers alone (the standard
// library's distributions differ between implementations): Knuth's product
// method in steps of at most 30.
long poisson(double mean, std::mt19937_64& rng) {
    long count = 0;
    while (mean > 0) {
        const double step = std::min(mean, 30.0);
        mean -= step;
        const double limit = std::exp(-step);
        double product = 1.0;
        for (;;) {
            product *= static_cast<double>(rng() >> 11) * 0x1.0p-53;
            if (product <= limit) break;
            ++count;
        }
    }
    return count;
}

class Phantom {
public:
    explicit Phantom(const PhantomPlan& plan)
        : plan_(plan), torso_(axisAligned({0, 0, 0}, 22, 15, 0)), liver_(axisAligned({-7, 0, -11}, 9, 8, 6)),
          still_(static_cast<std::size_t>(std::max(plan.views, 0))) {
        const int gates = std::max(plan.divisions, 1);
        for (int g = 0; g < gates; ++g) hearts_.push_back(myocardium(g, gates));
    }

    double sample(int image, int y, int x) {
        if (image != current_) make(image);
        const int side = plan_.matrix;
        return y >= 0 && x >= 0 && y < side && x < side ? image_[static_cast<std::size_t>(y * side + x)] : 0.0;
    }

private:
    // The expected counts of one view: `heart` for the gate's myocardium, or
    // the torso and liver.
    std::vector<double> project(int view, const std::pair<Ellipsoid, Ellipsoid>* heart) const {
        const int side = plan_.matrix;
        const double scale = side / 64.0;
        const double angle = (135.0 - 180.0 * view / std::max(plan_.views, 1)) * kPi / 180.0;
        const Vec n = {std::cos(angle), std::sin(angle), 0};  // towards the detector
        const Vec t = {-std::sin(angle), std::cos(angle), 0};  // along its rows
        const double shift = plan_.motionView > 0 && view + 1 >= plan_.motionView ? plan_.motionShift : 0.0;
        std::vector<double> out(static_cast<std::size_t>(side * side));
        // Two by two rays a pixel; each pixel's area in 64-frame pixels.
        const double weight = 1.0 / (4.0 * scale * scale);
        for (int r = 0; r < side; ++r)
            for (int c = 0; c < side; ++c) {
                double sum = 0;
                for (int sr = 0; sr < 2; ++sr)
                    for (int sc = 0; sc < 2; ++sc) {
                        const double u = (c + 0.25 + 0.5 * sc - side / 2.0) / scale;
                        const double z = (side / 2.0 - r - 0.25 - 0.5 * sr) / scale + shift;
                        const Vec p = {u * t[0], u * t[1], z};
                        sum += heart ? kMyocardium * (heart->first.chord(p, n) - heart->second.chord(p, n))
                                     : kBackground * torso_.chord(p, n) + kLiver * liver_.chord(p, n);
                    }
                out[static_cast<std::size_t>(r * side + c)] = sum * weight;
            }
        return out;
    }

    void make(int image) {
        const int views = std::max(plan_.views, 1);
        const int division = image / views;
        const int stored = image % views;
        const int view = plan_.reverse ? views - 1 - stored : stored;
        const int gates = std::max(plan_.divisions, 1);
        std::vector<double>& still = still_.at(static_cast<std::size_t>(view));
        if (still.empty()) still = project(view, nullptr);
        const std::vector<double> heart = project(view, &hearts_[static_cast<std::size_t>(division % gates)]);
        const double factor = (plan_.gateFrom > 0 && division + 1 >= plan_.gateFrom ? plan_.gateDropPercent / 100.0 : 1.0) *
                              8.0 / gates;
        std::seed_seq seed{plan_.seed, static_cast<std::uint64_t>(image)};
        std::mt19937_64 rng(seed);
        image_.resize(still.size());
        for (std::size_t k = 0; k < still.size(); ++k)
            image_[k] = static_cast<double>(poisson(factor * (still[k] + heart[k]), rng));
        // An ungated run visits each view once: nothing to keep.
        if (gates == 1) std::vector<double>().swap(still);
        current_ = image;
    }

    PhantomPlan plan_;
    Ellipsoid torso_, liver_;
    std::vector<std::pair<Ellipsoid, Ellipsoid>> hearts_;
    std::vector<std::vector<double>> still_;  // each view's torso and liver, made once
    std::vector<double> image_;
    int current_ = -1;
};

}  // namespace

std::function<double(int, int, int)> phantomSamples(const PhantomPlan& plan) {
    auto phantom = std::make_shared<Phantom>(plan);
    return [phantom](int image, int y, int x) { return phantom->sample(image, y, x); };
}

}  // namespace trevik::synth
