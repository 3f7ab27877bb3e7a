// What the receiving node writes of one object: a .gsd for each photopeak
// energy window and each R-R interval of an object with several (unless
// its options take one), and the quality control of each.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/dicom/receive_options.h"
#include "app/inspect/inspection.h"
#include "study/acquisition.h"
#include "study/study.h"
#include "study/tracer.h"

namespace trevik::dicom {

// One .gsd of an object: the suffix of its files ("", "-ew2", "-rr3",
// "-ew2-rr3") and the window and interval it takes (named in its comment
// as import names them, when the facts are settled).
struct PlannedGsd {
    std::string suffix;
    SourceChoice choice;
};

// The files an object with `acquisition` gives, taking `chosen` (the options'
// window and interval for its caller; 0: every one). An object with one
// window or interval gives one file without a suffix for it, whatever the
// options say. Of several windows, only those that hold a photopeak of the
// object's nuclide, when its code names exactly one (`nuclide`); every
// window when none or several are named, a window without a readable
// range, and every window when none holds a photopeak (nothing is lost
// to a table).
std::vector<PlannedGsd> planReceived(const Acquisition& acquisition, const ChoiceFor& chosen,
                                     std::optional<Tracer> nuclide);

// The nuclide the object's Radionuclide Code Sequences name (SCT or SRT
// codes, in every item of the Radiopharmaceutical Information Sequence),
// when they name exactly one.
std::optional<Tracer> codedNuclide(const Acquisition& acquisition);

// The quality control of a converted study with what the object knows
// besides its frames (its acquisition, with energy window `window`: 0 for
// the object's one window), as trevik-dicom inspect checks it: `ins` gets
// the verdict's figures and the result (for the page), `words` the log's
// words: "ok" or "warn", the figures and every warning.
void checkReceived(const Study& study, int window, inspect::Inspection& ins, std::string& words);

}  // namespace trevik::dicom
