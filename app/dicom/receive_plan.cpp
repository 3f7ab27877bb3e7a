#include "app/dicom/receive_plan.h"

#include <sstream>

#include "app/dicom/choice_files.h"
#include "app/inspect/qc_report.h"
#include "study/qc.h"

namespace trevik::dicom {

namespace {

// The windows to write of several: those that hold a photopeak of
// `nuclide` (and those whose range cannot be read); all of them without a
// nuclide or when none holds one.
std::vector<int> photopeakWindows(const ChoiceList& windows, std::optional<Tracer> nuclide) {
    std::vector<int> taken;
    if (nuclide)
        for (const ChoiceEntry& w : windows)
            if (windowKind(w, nuclide) != WindowKind::Scatter) taken.push_back(w.number);
    return taken.empty() ? choiceNumbers(windows) : taken;
}

}  // namespace

std::vector<PlannedGsd> planReceived(const Acquisition& acquisition, const ChoiceFor& chosen,
                                     std::optional<Tracer> nuclide) {
    const bool severalWindows = acquisition.energyWindows.size() > 1;
    const bool severalIntervals = acquisition.rrIntervals.size() > 1;
    const bool eachWindow = severalWindows && chosen.energyWindow == 0;
    const bool eachInterval = severalIntervals && chosen.rrInterval == 0;
    std::vector<int> windows{severalWindows ? chosen.energyWindow : 0};
    if (eachWindow) windows = photopeakWindows(acquisition.energyWindows, nuclide);
    std::vector<int> intervals{severalIntervals ? chosen.rrInterval : 0};
    if (eachInterval) intervals = choiceNumbers(acquisition.rrIntervals);
    std::vector<PlannedGsd> planned;
    for (const int w : windows)
        for (const int r : intervals) {
            const SourceChoice choice{w, r};
            planned.push_back({choiceSuffix(choice, eachWindow, eachInterval), choice});
        }
    return planned;
}

std::optional<Tracer> codedNuclide(const Acquisition& acquisition) {
    if (acquisition.nuclideCount != 1) return std::nullopt;
    return acquisition.nuclides[0];
}

void checkReceived(const Study& study, int window, inspect::Inspection& ins, std::string& words) {
    const int divisions = study.record.division > 0 ? study.record.division : 1;
    inspect::Text t;
    qc::Facts facts = qc::factsOf(study.acquisition, window);
    qc::describe(facts, study.record);
    inspect::reportQc(t, {divisions, study.record.frames, [&study](int d, int v) { return study.store.frame(d, v); }},
                      ins, facts);
    ins.report += t.str();  // the page's words
    const inspect::Verdict& v = ins.verdict;
    words = v.qcState;
    if (!ins.qc.checked) {
        words += ": the frames cannot all be checked";
        return;
    }
    std::string figures;
    if (!v.qcLowest.empty()) figures += "lowest division " + v.qcLowest + " % of the mean";
    if (!v.qcMotion.empty()) figures += std::string(figures.empty() ? "" : ", ") + "largest motion " + v.qcMotion + " pixels";
    if (!figures.empty()) words += " (" + figures + ")";
    std::istringstream lines(t.str());
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("warning: qc ", 0) == 0) words += "; " + line.substr(12);
}

}  // namespace trevik::dicom
