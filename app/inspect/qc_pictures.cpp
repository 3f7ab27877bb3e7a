#include "app/inspect/qc_pictures.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <string_view>

#include "app/inspect/qc_report.h"
#include "app/inspect/report_text.h"
#include "writer/gsd/gsd_format.h"

namespace trevik::inspect {

namespace {

// A text as the .gsd writes it: every byte outside 0x21..0x7E, and ";",
// as "_"; "-" when there is none.
std::string asGsd(const std::string& text) {
    if (text.empty()) return "-";
    std::string out(text.size() + 1, '\0');
    sanitizeText(text.c_str(), out.data());
    out.resize(text.size());
    return out;
}

// The study's facts under the page's title.
std::vector<std::string> factLines(const Inspection& ins) {
    const qc::Facts& f = ins.qcFacts;
    const qc::Result& r = ins.qc;
    std::vector<std::string> lines;
    lines.push_back("patient ID " + asGsd(f.patientId) + "   name " + asGsd(f.patientName) + "   study " +
                    (f.date.empty() && f.time.empty() ? std::string("-") : f.date + " " + f.time) + "   series " +
                    (f.series.empty() ? std::string("-") : f.series));
    std::string acquisition = plural(r.views, "view", "views") + ", " + plural(r.divisions, "division", "divisions") + ", " +
                              plural(r.detectors, "detector", "detectors") + ", energy window " +
                              (f.window.empty() ? std::string("-") : f.window) + (f.scatter ? " (scatter)" : "");
    if (!f.comment.empty()) acquisition += "   comment " + f.comment;
    lines.push_back(acquisition);
    return lines;
}

}  // namespace

qc::QcPicture qcPictureOf(const Inspection& ins) {
    const qc::Result& r = ins.qc;
    qc::QcPicture p;
    std::string_view name = ins.path;
    if (const auto slash = name.find_last_of('/'); slash != std::string_view::npos && slash + 1 < name.size())
        name.remove_prefix(slash + 1);
    p.title = printableName(name);
    const int side = qc::kSide;
    p.views = r.checked ? r.views : 0;
    p.side = side;
    p.heartRow = r.heartRow;
    p.sinogram.assign(static_cast<std::size_t>(p.views * side), 0.0f);
    p.linogram.assign(static_cast<std::size_t>(p.views * side), 0.0f);
    for (int v = 0; v < p.views; ++v) {
        const float* view = &r.summed[static_cast<std::size_t>(v) * side * side];
        for (int i = 0; i < side; ++i) {
            p.sinogram[static_cast<std::size_t>(v * side + i)] = view[r.heartRow * side + i];
            float row = 0;
            for (int x = 0; x < side; ++x) row += view[i * side + x];
            p.linogram[static_cast<std::size_t>(v * side + i)] = row;
        }
    }
    p.gatePercent = r.gatePercent;
    p.gateLowPercent = qc::limit(qc::Limit::GateLow);
    p.lastToFirstPercent = qc::limit(qc::Limit::LastToFirst);
    // Rows and columns counted from 1, as the page's frames are labelled.
    for (const double a : r.axial) p.axial.push_back(a + 1);
    for (const double l : r.lateral) p.lateral.push_back(l + 1);
    p.detectors = r.detectors;
    p.motionPixels = qc::limit(qc::Limit::Shift);
    p.warnView = r.motionWarning ? r.warnView : -1;
    p.warn = r.warning();
    p.facts = factLines(ins);
    // The words are the report's: its "qc" lines, the verdict first.
    p.verdict.push_back("qc: " + ins.verdict.qcState);
    std::string_view report = ins.report;
    while (!report.empty()) {
        const std::size_t end = report.find('\n');
        const std::string_view line = report.substr(0, end);
        if (line.starts_with("qc ") || line.starts_with("warning: qc ")) p.verdict.emplace_back(line);
        if (end == std::string_view::npos) break;
        report.remove_prefix(end + 1);
    }
    return p;
}

qc::CineFrames cineOf(const Inspection& ins) {
    qc::CineFrames c;
    c.views = ins.qc.checked ? ins.qc.views : 0;
    c.side = qc::kSide;
    c.samples = ins.qc.summed;
    // Each view's number and angle, the first view at 0 degrees unless the
    // source says where it starts; the line at the row the subject started.
    const qc::Facts& f = ins.qcFacts;
    const double step = c.views > 0 ? f.arcDegrees / c.views : 0;
    for (int v = 0; v < c.views; ++v)
        c.labels.push_back("view " + std::to_string(v + 1) + "  " + oneDecimal(f.startAngle + v * step) + " deg");
    if (ins.qc.tracked && !std::isnan(ins.qc.startRow))
        c.referenceRow = std::clamp(static_cast<int>(std::lround(ins.qc.startRow)), 0, c.side - 1);
    return c;
}

std::string writeQcPicture(qc::PictureKind kind, const std::string& name, const Inspection& ins, std::string& line) {
    const bool page = kind == qc::PictureKind::Png;
    std::string problem;
    if (!ins.qc.checked) {
        problem = "the frames cannot all be read";
    } else {
        Status s;
        try {
            s = page ? qc::writeQcPage(name.c_str(), qcPictureOf(ins)) : qc::writeCineGif(name.c_str(), cineOf(ins));
        } catch (const std::bad_alloc&) {
            s = statusOf(Reason::NoMemory);
        }
        if (!s.ok()) problem = "cannot be written: " + statusWords(s);
    }
    line = (page ? "qc page: " : "cine: ") + (problem.empty() ? printableName(name) : "none: " + problem) + "\n";
    return problem;
}

}  // namespace trevik::inspect
