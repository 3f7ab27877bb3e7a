#include "study/choices.h"

#include <algorithm>

#include "study/names.h"

namespace trevik {

const ChoiceEntry* ChoiceList::find(int number) const {
    for (const ChoiceEntry& e : *this)
        if (e.number == number) return &e;
    return nullptr;
}

bool Acquisition::addNuclide(Tracer tracer) {
    for (int i = 0; i < nuclideCount; ++i)
        if (nuclides[i] == tracer) return true;
    if (nuclideCount >= kMostNuclides) return false;
    nuclides[nuclideCount++] = tracer;
    return true;
}

namespace {

void clearList(ChoiceList& list) {
    if (list.count == 0) return;
    std::fill(list.entries, list.entries + list.count, ChoiceEntry{});
    list.count = 0;
}

template <std::size_t N>
void clearText(char (&text)[N]) {
    if (text[0] != '\0') std::fill(text, text + N, '\0');
}

}  // namespace

void Acquisition::clear() {
    detectors = 0;
    views = 0;
    beatsKnown = false;
    acceptedBeats = 0;
    rejectedBeats = 0;
    clearList(energyWindows);
    clearList(rrIntervals);
    if (nuclideCount != 0) {
        std::fill(nuclides, nuclides + nuclideCount, Tracer{});
        nuclideCount = 0;
    }
    clearText(seriesNumber);
    clearText(seriesDescription);
}

std::string entryText(const ChoiceEntry& entry, const char* unit) {
    std::string text = std::to_string(entry.number);
    if (entry.name[0] != '\0') text += std::string("  ") + entry.name;
    if (entry.lower[0] != '\0' || entry.upper[0] != '\0')
        text += std::string("  ") + entry.lower + "-" + entry.upper + " " + unit;
    return text;
}

std::string choiceLabel(const Acquisition& acquisition, const SourceChoice& choice) {
    std::string label;
    const auto part = [&label](const ChoiceList& entries, int chosen, const char* what, const char* unit) {
        if (entries.size() < 2 || chosen == 0) return;
        const ChoiceEntry* entry = entries.find(chosen);
        if (!entry) return;
        if (!label.empty()) label += ", ";
        label += std::string(what) + " " + romanisedAscii(entryText(*entry, unit));
    };
    part(acquisition.energyWindows, choice.energyWindow, "energy window", "keV");
    part(acquisition.rrIntervals, choice.rrInterval, "R-R interval", "ms");
    // Runs of spaces as one: the .gsd writes each space as "_".
    label.erase(std::unique(label.begin(), label.end(), [](char a, char b) { return a == ' ' && b == ' '; }),
                label.end());
    return label;
}

}  // namespace trevik
