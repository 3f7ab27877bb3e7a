// What a source says of its acquisition besides the record the .gsd holds:
// the detectors and views, the beats the gating accepted and rejected, the
// energy windows and R-R intervals its frames belong to, every nuclide its
// codes name, and its series. Fixed, bounded storage: all zero is "not
// said", and filling it never allocates.
#pragma once

#include <cstdint>

#include "study/tracer.h"

namespace trevik {

// Which energy window and R-R interval to take from a source that holds
// more than one; 0: none chosen (a source with several is refused).
struct SourceChoice {
    int energyWindow = 0;
    int rrInterval = 0;
};

// One energy window or R-R interval that frames of a source belong to.
// Texts are zero-terminated, cut to their field.
struct ChoiceEntry {
    std::uint16_t number;  // its value in the frame vector, from 1
    char name[65];         // UTF-8: the Energy Window Name (empty for an R-R interval)
    char lower[33];        // the range as the source writes it: keV for an energy
    char upper[33];        // window, ms for an R-R interval; empty when absent
};

// The entries of one kind, in the order of their numbers.
struct ChoiceList {
    // More than this many distinct windows (or intervals) in one source is
    // refused: no camera writes them, and the list stays bounded.
    static constexpr int kMost = 64;
    std::uint8_t count;
    ChoiceEntry entries[kMost];

    const ChoiceEntry* begin() const { return entries; }
    const ChoiceEntry* end() const { return entries + count; }
    int size() const { return count; }
    // The entry numbered `number`, or null.
    const ChoiceEntry* find(int number) const;
};

struct Acquisition {
    static constexpr int kMostNuclides = 8;

    std::int16_t detectors;  // the largest detector number; 0: not said
    std::int16_t views;      // angular views per detector; 0: not said
    bool beatsKnown;         // the two counts below are the source's own
    std::int64_t acceptedBeats;
    std::int64_t rejectedBeats;
    // An object whose frames name no energy window has one, 1; the R-R
    // intervals of a gated object only (an ungated one lists none).
    ChoiceList energyWindows;
    ChoiceList rrIntervals;
    // Every nuclide the source's codes name, each once, in the order met
    // (the tracer line is the record's: the first code's, or the text).
    std::uint8_t nuclideCount;
    Tracer nuclides[kMostNuclides];
    char seriesNumber[13];        // as written (an IS value); empty when absent
    char seriesDescription[65];   // UTF-8

    // Notes `tracer` among the coded nuclides unless it is there; false
    // when the list is full.
    bool addNuclide(Tracer tracer);

    // Back to "nothing said", writing only what is set: a list's entries
    // from its count on are never read, and the texts end at their first
    // zero. The structure is some 17 KiB, nearly all of it the two lists,
    // so a study in fresh zero pages is cleared without touching them.
    void clear();
};

}  // namespace trevik
