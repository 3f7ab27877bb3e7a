#include "app/inspect/qc_report.h"

#include <charconv>
#include <cmath>
#include <string>

namespace trevik::inspect {

namespace {

// A threshold as the manual page gives it: one decimal, two where it has them.
std::string limitText(qc::Limit l) {
    const double value = qc::limit(l);
    if (std::fabs(value * 10 - std::round(value * 10)) < 1e-9) return oneDecimal(value);
    char b[64];
    const auto r = std::to_chars(b, b + sizeof b, value, std::chars_format::fixed, 2);
    return std::string(b, r.ptr);
}

// What to do about a warning, one line each (the manual page's advice).
constexpr const char* kAdviseGating =
    "check the heart rate and the beat acceptance window; repeat the acquisition if the rhythm was irregular";
constexpr const char* kAdviseMotion =
    "look at the cine and the sinogram; repeat the acquisition, or correct the motion before processing";
constexpr const char* kAdviseCounts = "look at the cine for that view; check the acquisition's frame times and repeat it if counts were lost";


void reportGates(Text& t, const qc::Result& r, Verdict& v) {
    if (r.divisions < 2) {
        t << "qc gate counts: an ungated study, no curve\n";
    } else if (r.gatePercent.empty()) {
        t << "qc gate counts: the frames hold no counts\n";
    } else {
        t << "qc gate counts: % of the mean per division:";
        for (const double p : r.gatePercent) t << " " << oneDecimal(p);
        t << "; lowest " << oneDecimal(r.lowestPercent) << " (division " << r.lowestDivision << ")";
        if (!std::isnan(r.lastToFirstPercent)) t << "; the last " << oneDecimal(r.lastToFirstPercent) << " % of the first";
        t << "\n";
        v.qcLowest = oneDecimal(r.lowestPercent);
    }
    if (r.gateWarning) {
        t << "warning: qc gating:";
        const char* separator = " ";
        if (r.lowestPercent < qc::limit(qc::Limit::GateLow)) {
            t << separator << "division " << r.lowestDivision << " holds " << oneDecimal(r.lowestPercent)
              << " % of the mean counts (below " << limitText(qc::Limit::GateLow) << " %)";
            separator = "; ";
        }
        if (r.lastToFirstPercent < qc::limit(qc::Limit::LastToFirst))
            t << separator << "the last division holds " << oneDecimal(r.lastToFirstPercent)
              << " % of the first's counts (below " << limitText(qc::Limit::LastToFirst) << " %)";
        t << "\n" << "qc advice: " << kAdviseGating << "\n";
        ++v.warnings;
    }
    if (!std::isnan(r.rejectedPercent)) {
        t << "qc rejected beats: " << oneDecimal(r.rejectedPercent) << " % of the beats\n";
        if (r.rejectedWarning) {
            t << "warning: qc rejected beats: " << oneDecimal(r.rejectedPercent) << " % of the beats were rejected (above "
              << limitText(qc::Limit::RejectedBeats) << " %)\n" << "qc advice: " << kAdviseGating << "\n";
            ++v.warnings;
        }
    }
}

void warn(Text& t, Verdict& v, const std::string& what, const char* advice) {
    t << "warning: qc " << what << "\n" << "qc advice: " << advice << "\n";
    ++v.warnings;
}

void reportCounts(Text& t, const qc::Result& r, Verdict& v) {
    if (!std::isnan(r.lowestViewPercent)) {
        t << "qc view counts: lowest " << oneDecimal(r.lowestViewPercent) << " % of the arc's smooth change (view "
          << r.lowestView << ")\n";
        if (r.countsWarning)
            warn(t, v, "view counts: view " + std::to_string(r.lowestView) + " holds " + oneDecimal(r.lowestViewPercent) +
                           " % of the counts the arc's smooth change gives (below " + limitText(qc::Limit::ViewCounts) + " %)",
                 kAdviseCounts);
    }
    if (r.divisions < 2 || r.gatePercent.empty()) return;
    if (r.beatsLostViews == 0) {
        t << "qc beats per view: every division holds its usual share in every view\n";
        return;
    }
    const std::string views = r.beatsFirstView == r.beatsLastView
                                  ? "view " + std::to_string(r.beatsFirstView)
                                  : "views " + std::to_string(r.beatsFirstView) + " to " + std::to_string(r.beatsLastView);
    const std::string what = "division " + std::to_string(r.beatsDivision) + " holds as little as " +
                             oneDecimal(r.beatsLowestPercent) + " % of its usual share in " +
                             plural(r.beatsLostViews, "view", "views") + " (" + views + ")";
    t << "qc beats per view: " << what << "\n";
    if (r.beatsWarning)
        warn(t, v, "beats lost in part of the arc: " + what + " (below " + limitText(qc::Limit::BeatsLost) + " %)",
             kAdviseGating);
}

std::string motionWords(const qc::Motion& m, const char* subject) {
    const std::string axis = m.lateral ? " laterally" : " axially";
    const std::string px = oneDecimal(std::fabs(m.pixels)) + " pixels";
    switch (m.kind) {
    case qc::MotionKind::Shift: return std::string(subject) + " shifts abruptly " + px + axis + " at view " + std::to_string(m.view);
    case qc::MotionKind::Bounce:
        return std::string(subject) + " bounces " + px + axis + (m.views > 1 ? " at views " + std::to_string(m.view) + " to " + std::to_string(m.view + 1) : " at view " + std::to_string(m.view)) + " and returns";
    case qc::MotionKind::Creep:
        return std::string(subject) + " creeps " + px + axis + " over the acquisition, from view " + std::to_string(m.view);
    case qc::MotionKind::None: break;
    }
    return {};
}

qc::Limit limitOf(qc::MotionKind kind) {
    return kind == qc::MotionKind::Shift ? qc::Limit::Shift : kind == qc::MotionKind::Bounce ? qc::Limit::Bounce : qc::Limit::Creep;
}

void reportMotion(Text& t, const qc::Result& r, Verdict& v) {
    if (r.views < qc::limit(qc::Limit::MotionViews)) {
        t << "qc motion: " << plural(r.views, "view", "views") << ", fewer than " << limitText(qc::Limit::MotionViews)
          << ": not judged\n";
        return;
    }
    if (r.subject == qc::Subject::Scatter) {
        t << "qc motion: a scatter window of the nuclide: not judged for motion\n";
        return;
    }
    if (!r.tracked) {
        t << "qc motion: no view holds counts to follow: not judged\n";
        return;
    }
    const bool heart = r.subject == qc::Subject::Heart;
    const char* subject = heart ? "the heart" : "the body";
    if (heart)
        t << "qc motion: judged on the heart, its axial centroid near row " << r.heartRow + 1;
    else
        t << "qc motion: judged on the whole body's counts (" << (r.divisions > 1 ? "no region behaves as a heart" : "an ungated study")
          << "), its middle near row " << r.heartRow + 1;
    if (r.detectors == 2) t << "; two detectors tracked apart, the second " << oneDecimal(r.detectorOffset) << " pixels from the first";
    t << "\n";
    if (r.motions.empty()) t << "qc motion: no shift, bounce or creep found\n";
    for (const qc::Motion& m : r.motions)
        if (!m.warns) t << "qc motion: " << motionWords(m, subject) << "\n";
    v.qcMotion = oneDecimal(r.largestMotion());
    for (const qc::Motion& m : r.motions)
        if (m.warns)
            warn(t, v, "motion: " + motionWords(m, subject) + " (" + limitText(limitOf(m.kind)) + " pixels or more)",
                 kAdviseMotion);
}

}  // namespace

std::string oneDecimal(double value) {
    if (std::isnan(value)) return "-";
    char b[64];
    const auto r = std::to_chars(b, b + sizeof b, std::fabs(value) < 0.05 ? 0.0 : value, std::chars_format::fixed, 1);
    return std::string(b, r.ptr);
}

void reportQc(Text& t, const qc::Frames& frames, Inspection& ins, const qc::Facts& facts) {
    ins.qc = qc::check(frames, facts);
    ins.qcFacts = facts;
    const qc::Result& r = ins.qc;
    Verdict& v = ins.verdict;
    if (!r.checked) {
        reportNoQc(t, "the frames cannot all be read");
        return;
    }
    reportGates(t, r, v);
    reportCounts(t, r, v);
    reportMotion(t, r, v);
    v.qcState = r.warning() ? "warn" : "ok";
    t << "qc: " << v.qcState << "\n";
}

void reportNoQc(Text& t, std::string_view why) { t << "qc: -: " << why << "\n"; }

}  // namespace trevik::inspect
