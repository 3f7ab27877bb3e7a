#include "app/inspect/qc_pictures.h"

#include <new>
#include <string_view>

#include "app/inspect/report_text.h"

namespace trevik::inspect {

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
