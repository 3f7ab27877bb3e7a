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
std::pair<Ellipsoid, Ellipsoid> myocardium(int g, int n, const Vec& at, double size) {
    const double phase = n > 1 ? 2.0 * kPi * g / n : 0.0;
    const double k = 1.0 - kSystole * (1.0 - std::cos(phase)) / 2.0;
    const double cavity = kCavityLong * kCavityShort * kCavityShort;
    const double wall = kWallLong * kWallShort * kWallShort - cavity;
    const double outer = std::cbrt((wall + k * k * k * cavity) / (kWallLong * kWallShort * kWallShort));
    return {spheroid(at, kHeartAxis, size * outer * kWallLong, size * outer * kWallShort),
            spheroid(at, kHeartAxis, size * k * kCavityLong, size * k * kCavityShort)};
}

// A Poisson count of mean `mean` from uniform numbers alone (the standard
// library's distributions differ between implementations): Knuth's product
// method in steps of at most 30; above 200 the normal approximation (by
// Box and Muller), which is as good there and far quicker.
long poisson(double mean, std::mt19937_64& rng) {
    if (mean > 200) {
        const double u1 = (static_cast<double>(rng() >> 11) + 1.0) * 0x1.0p-53;
        const double u2 = static_cast<double>(rng() >> 11) * 0x1.0p-53;
        const double normal = std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * kPi * u2);
        return std::max(0L, std::lround(mean + std::sqrt(mean) * normal));
    }
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

// An organ of the still anatomy: its shape and its counts per pixel of path.
struct Organ {
    Ellipsoid shape;
    double activity;
};

class Phantom {
public:
    explicit Phantom(const PhantomPlan& plan) : plan_(plan), still_(static_cast<std::size_t>(std::max(plan.views, 0))) {
        const double liver = kLiver * plan.liverPercent / 100.0;
        organs_.push_back({axisAligned({0, 0, 0}, 22, 15, 0), kBackground});
        organs_.push_back({axisAligned({-7, 0, -11}, 9, 8, 6), liver});
        if (plan.bowelPercent > 0)
            organs_.push_back({axisAligned({1, 5, -21}, 8, 4, 3), kLiver * plan.bowelPercent / 100.0});
        if (!plan.heart) {
            // A body without a heart, as a therapy nuclide shows it: kidneys,
            // spleen, bowel, a hot lesion, and beside it a thin organ that
            // outshines it where the detector looks along it.
            organs_.push_back({axisAligned({-6, -8, -14}, 2.5, 2, 4), 1.5});
            organs_.push_back({axisAligned({6, -8, -13}, 2.5, 2, 4), 1.5});
            organs_.push_back({axisAligned({9, -3, -6}, 3, 3, 4), 0.9});
            // A long, thin organ front to back: bright seen end-on, faint from the side.
            organs_.push_back({axisAligned({-1, 0, 1}, 1.2, 7, 1.2), 12.0});
            organs_.push_back({axisAligned({0, 5, -20}, 9, 4, 3), 0.5});
            organs_.push_back({axisAligned({-3, 5, 6}, 1.8, 1.8, 1.8), 20.0});
        }
        const int gates = std::max(plan.divisions, 1);
        const Vec at = {kHeart[0] + plan.heartX, kHeart[1] + plan.heartY, kHeart[2] + plan.heartZ};
        for (int g = 0; g < gates && plan.heart; ++g) hearts_.push_back(myocardium(g, gates, at, plan.heartSize));
        if (plan.counts > 0) {
            // The counts asked for over what one view holds as planned.
            std::vector<double> one = plan.heart ? project(0, &hearts_[0], false) : project(0, nullptr, false);
            double sum = 0;
            for (const double c : one) sum += c;
            sum *= 8.0;  // each division holds 8 / gates of a view's counts
            if (sum > 0) scale_ = plan.counts / sum;
        }
    }

    double sample(int image, int y, int x) {
        if (image != current_) make(image);
        const int side = plan_.matrix;
        return y >= 0 && x >= 0 && y < side && x < side ? image_[static_cast<std::size_t>(y * side + x)] : 0.0;
    }

private:
    double angleOf(int view) const { return (135.0 - 180.0 * view / std::max(plan_.views, 1)) * kPi / 180.0; }

    // How far the patient has moved at `view`, in pixels of the frame: along
    // the axis (towards the higher rows) and across, as a vector.
    Vec moved(int view) const {
        const PhantomPlan& p = plan_;
        double axial = 0;
        Vec across = {0, 0, 0};
        if (p.motionView > 0 && view + 1 >= p.motionView) {
            axial += p.motionShift;
            const double a = angleOf(p.motionView - 1);
            across = {-std::sin(a) * p.lateralShift, std::cos(a) * p.lateralShift, 0};
        }
        if (p.bounceView > 0 && view + 1 >= p.bounceView && view + 1 < p.bounceView + std::max(p.bounceViews, 1))
            axial += p.bounceShift;
        if (p.views > 1) axial += p.creep * view / (p.views - 1);
        if (p.detectors == 2 && view >= p.views / 2) axial += p.headOffset;
        return {across[0], across[1], axial};
    }

    // The expected counts of one view: `heart` for the gate's myocardium, or
    // the still organs.
    std::vector<double> project(int view, const std::pair<Ellipsoid, Ellipsoid>* heart, bool move = true) const {
        const int side = plan_.matrix;
        const double scale = side / 64.0;
        // Frame pixels to the anatomy's pixels of 6.4 mm.
        const double mm = plan_.pixelMm > 0 ? plan_.pixelMm * scale / 6.4 : 1.0;
        const double angle = angleOf(view);
        const Vec n = {std::cos(angle), std::sin(angle), 0};  // towards the detector
        const Vec t = {-std::sin(angle), std::cos(angle), 0};  // along its rows
        const Vec m = move ? moved(view) : Vec{0, 0, 0};
        std::vector<double> out(static_cast<std::size_t>(side * side));
        // Two by two rays a pixel; each pixel's area in 64-frame pixels.
        const double weight = 1.0 / (4.0 * scale * scale) * mm * mm;
        for (int r = 0; r < side; ++r)
            for (int c = 0; c < side; ++c) {
                double sum = 0;
                for (int sr = 0; sr < 2; ++sr)
                    for (int sc = 0; sc < 2; ++sc) {
                        const double u = (c + 0.25 + 0.5 * sc - side / 2.0) / scale;
                        const double z = (side / 2.0 - r - 0.25 - 0.5 * sr) / scale + m[2];
                        const Vec p = {(u * t[0] - m[0]) * mm, (u * t[1] - m[1]) * mm, z * mm};
                        if (heart) {
                            sum += kMyocardium * (heart->first.chord(p, n) - heart->second.chord(p, n));
                            continue;
                        }
                        for (const Organ& o : organs_) sum += o.activity * o.shape.chord(p, n);
                    }
                out[static_cast<std::size_t>(r * side + c)] = sum * weight;
            }
        return out;
    }

    bool dropped(int division, int view) const {
        const PhantomPlan& p = plan_;
        return p.gateFrom > 0 && division + 1 >= p.gateFrom && (p.gateFirstView == 0 || view + 1 >= p.gateFirstView) &&
               (p.gateLastView == 0 || view + 1 <= p.gateLastView);
    }

    void make(int image) {
        const int views = std::max(plan_.views, 1);
        const int division = image / views;
        const int stored = image % views;
        const int view = plan_.reverse ? views - 1 - stored : stored;
        const int gates = std::max(plan_.divisions, 1);
        std::vector<double>& still = still_.at(static_cast<std::size_t>(view));
        if (still.empty()) still = project(view, nullptr);
        std::vector<double> heart(still.size(), 0.0);
        if (!hearts_.empty()) heart = project(view, &hearts_[static_cast<std::size_t>(division % gates)]);
        const double factor =
            (dropped(division, view) ? plan_.gateDropPercent / 100.0 : 1.0) * 8.0 / gates * scale_;
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
    std::vector<Organ> organs_;
    std::vector<std::pair<Ellipsoid, Ellipsoid>> hearts_;
    std::vector<std::vector<double>> still_;  // each view's still organs, made once
    std::vector<double> image_;
    double scale_ = 1.0;
    int current_ = -1;
};

}  // namespace

std::function<double(int, int, int)> phantomSamples(const PhantomPlan& plan) {
    auto phantom = std::make_shared<Phantom>(plan);
    return [phantom](int image, int y, int x) { return phantom->sample(image, y, x); };
}

}  // namespace trevik::synth
