#include "app/inspect/qc_report.h"

#include <charconv>
#include <cmath>

namespace trevik::inspect {

namespace {

std::string limitText(qc::Limit l) { return oneDecimal(qc::limit(l)); }

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
        t << "\n";
        ++v.warnings;
    }
    if (!std::isnan(r.rejectedPercent)) {
        t << "qc rejected beats: " << oneDecimal(r.rejectedPercent) << " % of the beats\n";
        if (r.rejectedWarning) {
            t << "warning: qc rejected beats: " << oneDecimal(r.rejectedPercent) << " % of the beats were rejected (above "
              << limitText(qc::Limit::RejectedBeats) << " %)\n";
            ++v.warnings;
        }
    }
}

void reportMotion(Text& t, const qc::Result& r, Verdict& v) {
    if (r.views < qc::limit(qc::Limit::MotionViews)) {
        t << "qc motion: " << plural(r.views, "view", "views") << ", fewer than " << limitText(qc::Limit::MotionViews)
          << ": not tracked\n";
        return;
    }
    if (!r.tracked) {
        t << "qc motion: no view holds counts to follow: not tracked\n";
        return;
    }
    t << "qc motion: the heart's axial centroid near row " << r.heartRow + 1 << "; largest jump "
      << oneDecimal(r.largestJump) << " pixels";
    if (r.jumpView > 0) t << " (at view " << r.jumpView << ")";
    t << ", drift " << oneDecimal(r.drift) << " pixels over the acquisition";
    if (r.detectors == 2) t << "; two detectors tracked apart, the second " << oneDecimal(r.detectorOffset) << " pixels from the first";
    t << "\n";
    v.qcMotion = oneDecimal(r.largestMotion());
    if (!r.motionWarning) return;
    const bool jump = r.largestJump >= qc::limit(qc::Limit::Motion);
    t << "warning: qc motion: the heart " << (jump ? "moves " : "drifts ")
      << oneDecimal(jump ? r.largestJump : std::fabs(r.drift)) << " pixels axially"
      << (jump ? " at view " : " over the acquisition, by view ") << r.warnView << " (" << limitText(qc::Limit::Motion)
      << " pixels or more)\n";
    ++v.warnings;
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
    const qc::Result& r = ins.qc;
    Verdict& v = ins.verdict;
    if (!r.checked) {
        reportNoQc(t, "the frames cannot all be read");
        return;
    }
    reportGates(t, r, v);
    reportMotion(t, r, v);
    v.qcState = r.warning() ? "warn" : "ok";
    t << "qc: " << v.qcState << "\n";
}

void reportNoQc(Text& t, std::string_view why) { t << "qc: -: " << why << "\n"; }

}  // namespace trevik::inspect
