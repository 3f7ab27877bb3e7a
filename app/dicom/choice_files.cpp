#include "app/dicom/choice_files.h"

#include <charconv>

#include "study/status.h"

namespace trevik::dicom {

namespace {

// A range limit as the object writes it (DS: spaces around a decimal).
bool limitOf(const std::string& text, double& value) {
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return false;
    const std::size_t last = text.find_last_not_of(' ');
    const char* begin = text.data() + first;
    const char* end = text.data() + last + 1;
    if (*begin == '+') ++begin;
    const auto [at, error] = std::from_chars(begin, end, value);
    return error == std::errc{} && at == end;
}

}  // namespace

std::string choiceSuffix(const SourceChoice& choice, bool windows, bool intervals) {
    std::string suffix;
    if (windows) suffix += "-ew" + std::to_string(choice.energyWindow);
    if (intervals) suffix += "-rr" + std::to_string(choice.rrInterval);
    return suffix;
}

std::vector<int> choiceNumbers(const ChoiceList& entries) {
    std::vector<int> numbers;
    for (const ChoiceEntry& e : entries) numbers.push_back(e.number);
    if (numbers.empty()) numbers.push_back(1);
    return numbers;
}

WindowKind windowKind(const ChoiceEntry& window, std::optional<Tracer> nuclide) {
    double lower = 0, upper = 0;
    if (!nuclide || !limitOf(window.lower, lower) || !limitOf(window.upper, upper)) return WindowKind::Unknown;
    return holdsPhotopeak(*nuclide, lower, upper) ? WindowKind::Photopeak : WindowKind::Scatter;
}

std::string choiceListing(const Acquisition& acquisition, std::optional<Tracer> nuclide, const SourceChoice& choice) {
    std::string text;
    const auto list = [&](const ChoiceList& entries, int chosen, const char* what, const char* unit,
                          const char* option, bool windows) {
        if (entries.size() < 2) return;
        text.append(what).append("s: ").append(std::to_string(entries.size()));
        if (chosen == 0) text.append(" (choose one with ").append(option).append(" N)");
        text.append("\n");
        for (const ChoiceEntry& e : entries) {
            text.append("  ").append(what).append(" ").append(std::to_string(e.number)).append(":");
            // The object's texts as every report shows names: no byte of
            // them can reach a terminal as a control.
            if (e.name[0] != '\0') text.append(" ").append(printableName(e.name));
            if (e.lower[0] != '\0' || e.upper[0] != '\0')
                text.append(" ").append(printableName(e.lower)).append("-").append(printableName(e.upper)).append(" ").append(unit);
            const WindowKind kind = windows ? windowKind(e, nuclide) : WindowKind::Unknown;
            if (kind == WindowKind::Photopeak) text.append(", photopeak of ").append(tracerName(*nuclide));
            if (kind == WindowKind::Scatter) text.append(", scatter (no photopeak of ").append(tracerName(*nuclide)).append(")");
            if (e.number == chosen) text.append(" (inspected)");
            text.append("\n");
        }
    };
    list(acquisition.energyWindows, choice.energyWindow, "energy window", "keV", "--energy-window", true);
    list(acquisition.rrIntervals, choice.rrInterval, "R-R interval", "ms", "--rr-interval", false);
    return text;
}

}  // namespace trevik::dicom
