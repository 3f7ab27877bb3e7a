#include "tools/make_study/phantom_options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <system_error>
#include <type_traits>
#include <variant>

namespace trevik::make_study {

const char* const kPhantomUsage =
    "  --phantom           a realistic study instead: a beating left-ventricular\n"
    "                      myocardium, liver and torso projected over a 180 degree\n"
    "                      arc (one view per frame of a division), Poisson noise\n"
    "                      from a fixed seed; the options below need it\n"
    "  --body              the phantom without a heart: liver, kidneys, spleen,\n"
    "                      bowel, a hot lesion and a thin organ beside it (ungated)\n"
    "  --counts N          the heart's counts per view over all divisions (the whole\n"
    "                      view's with --body), 1 to 10000000 (default: about 17000)\n"
    "                      (--pixel sets the phantom's pixel size in mm too)\n"
    "  --seed N            the noise's seed (default 20011005)\n"
    "  --motion-shift ROWS the patient moves ROWS rows of the 64 x 64 frame towards\n"
    "                      the higher rows (fractions and a minus sign allowed, at\n"
    "                      most 16) ...\n"
    "  --lateral-shift COLS ... and COLS columns across the detector ...\n"
    "  --motion-view K     ... from view K on (counted from 1; default 0: still)\n"
    "  --bounce-shift ROWS views --bounce-view K on (--bounce-views 1 or 2 of them)\n"
    "                      moved ROWS rows, then back\n"
    "  --creep ROWS        the patient creeps ROWS rows from the first view to the last\n"
    "  --gate-drop PCT     the divisions from --gate-from on hold PCT % of their\n"
    "                      counts (0 to 1000, fractions allowed; default 100)\n"
    "  --gate-from D       the first division that holds fewer counts (from 1)\n"
    "  --gate-first-view K, --gate-last-view K  the drop only in these views (from 1)\n"
    "  --detectors N       1 or 2: two heads, each taking half the views ...\n"
    "  --head-offset ROWS  ... the second seeing the patient ROWS rows lower\n"
    "  --heart-x, --heart-y, --heart-z PIXELS  the heart moved (left, anterior,\n"
    "                      superior; pixels of 6.4 mm, -6 to 6)\n"
    "  --heart-size FACTOR the heart's size, 0.5 to 2 times the usual\n"
    "  --liver PCT, --bowel PCT  the liver's activity and a bowel loop's, in % of\n"
    "                      the liver's usual (0 to 1000; defaults 100 and 0)\n";

namespace {

struct PhantomOption {
    std::string_view name;
    double low, high;
    bool whole;  // a whole number
    std::variant<double synth::PhantomPlan::*, int synth::PhantomPlan::*> field;
};

using P = synth::PhantomPlan;
const PhantomOption kOptions[] = {
    {"--counts", 1, 1e7, false, &P::counts},          {"--motion-shift", -16, 16, false, &P::motionShift},
    {"--lateral-shift", -16, 16, false, &P::lateralShift}, {"--motion-view", 0, 1024, true, &P::motionView},
    {"--bounce-shift", -16, 16, false, &P::bounceShift}, {"--bounce-view", 0, 1024, true, &P::bounceView},
    {"--bounce-views", 1, 2, true, &P::bounceViews},    {"--creep", -16, 16, false, &P::creep},
    {"--gate-drop", 0, 1000, false, &P::gateDropPercent}, {"--gate-from", 0, 1024, true, &P::gateFrom},
    {"--gate-first-view", 0, 1024, true, &P::gateFirstView}, {"--gate-last-view", 0, 1024, true, &P::gateLastView},
    {"--detectors", 1, 2, true, &P::detectors},         {"--head-offset", -16, 16, false, &P::headOffset},
    {"--heart-x", -6, 6, false, &P::heartX},            {"--heart-y", -6, 6, false, &P::heartY},
    {"--heart-z", -6, 6, false, &P::heartZ},            {"--heart-size", 0.5, 2, false, &P::heartSize},
    {"--liver", 0, 1000, false, &P::liverPercent},      {"--bowel", 0, 1000, false, &P::bowelPercent},
    {"--seed", 0, 4294967295.0, true, static_cast<double P::*>(nullptr)},
};

const PhantomOption* find(std::string_view name) {
    const auto o = std::find_if(std::begin(kOptions), std::end(kOptions), [&](const PhantomOption& x) { return x.name == name; });
    return o == std::end(kOptions) ? nullptr : o;
}

std::string numberText(double v) {
    char b[32];
    const auto r = std::to_chars(b, b + sizeof b, v);
    return std::string(b, r.ptr);
}

}  // namespace

bool isPhantomOption(std::string_view name) { return find(name) != nullptr; }

std::string setPhantomOption(std::string_view name, std::string_view text, synth::PhantomPlan& plan) {
    const PhantomOption* o = find(name);
    if (!o) return "unknown argument '" + std::string(name) + "'";
    double value = 0;
    const char* first = text.data();
    const char* last = first + text.size();
    const auto [end, error] = std::from_chars(first, last, value, std::chars_format::fixed);
    if (text.empty() || error != std::errc{} || end != last || !(value >= o->low && value <= o->high) ||
        (o->whole && value != std::floor(value)))
        return "option " + std::string(name) + " needs a " + (o->whole ? "whole" : "decimal") + " number from " +
               numberText(o->low) + " to " + numberText(o->high) + ", not '" + std::string(text) + "'";
    if (name == "--seed") {
        plan.seed = static_cast<std::uint64_t>(value);
        return {};
    }
    std::visit(
        [&](auto member) {
            if (member) plan.*member = static_cast<std::remove_reference_t<decltype(plan.*member)>>(value);
        },
        o->field);
    return {};
}

bool anyPhantomFault(const synth::PhantomPlan& p) {
    const synth::PhantomPlan none;
    return p.motionView != 0 || p.motionShift != 0 || p.gateFrom != 0 || p.gateDropPercent != 100 || p.lateralShift != 0 ||
           p.bounceShift != 0 || p.bounceView != 0 || p.creep != 0 || p.gateFirstView != 0 || p.gateLastView != 0 ||
           p.detectors != 1 || p.headOffset != 0 || !p.heart || p.counts != 0 || p.heartX != 0 || p.heartY != 0 ||
           p.heartZ != 0 || p.heartSize != 1 || p.liverPercent != 100 || p.bowelPercent != 0 || p.seed != none.seed ||
           p.bounceViews != 1;
}

std::string checkPhantomPlan(const synth::PhantomPlan& p) {
    const std::string views = " is beyond the study's " + std::to_string(p.views) + " views";
    for (const auto& [name, view] : {std::pair{"--motion-view", p.motionView}, {"--bounce-view", p.bounceView},
                                     {"--gate-first-view", p.gateFirstView}, {"--gate-last-view", p.gateLastView}})
        if (view > p.views) return std::string(name) + " " + std::to_string(view) + views;
    if (p.motionView == 0 && (p.motionShift != 0 || p.lateralShift != 0))
        return "--motion-shift and --lateral-shift need --motion-view";
    if (p.bounceView == 0 && p.bounceShift != 0) return "--bounce-shift and --bounce-view go together";
    if (p.gateFrom > p.divisions || (p.gateFrom > 0 && p.divisions < 2))
        return "--gate-from " + std::to_string(p.gateFrom) + " names no division of the study";
    if (p.gateFrom == 0 && (p.gateDropPercent != 100 || p.gateFirstView != 0 || p.gateLastView != 0))
        return "--gate-drop and the gate views need --gate-from";
    if (p.detectors == 1 && p.headOffset != 0) return "--head-offset needs --detectors 2";
    if (p.detectors == 2 && p.views % 2 != 0) return "two detectors need an even number of views";
    if (!p.heart && p.divisions > 1) return "--body makes an ungated study: --divisions 0 or 1";
    return {};
}

}  // namespace trevik::make_study
