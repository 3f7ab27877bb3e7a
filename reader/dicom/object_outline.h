// What a DICOM NM object offers before it is converted: the energy windows
// and R-R intervals its frames belong to, each with its name and range, and
// its patient texts decoded to Unicode, so that a program can let the user
// choose among several and show the texts a clinic typed.
#pragma once

#include <string>
#include <vector>

#include "reader/dicom/dicom_source.h"
#include "study/status.h"

class DcmItem;

namespace trevik::dicom {

// One energy window or R-R interval that frames of the object belong to.
struct ChoiceEntry {
    int number = 0;     // its value in the frame vector, from 1
    std::string name;   // UTF-8; the Energy Window Name (none for an R-R interval)
    std::string lower;  // the range as the object writes it: keV for an energy
    std::string upper;  // window, ms for an R-R interval; empty when absent
};

struct ObjectOutline {
    // In the order of their numbers; an object whose Frame Increment Pointer
    // lists no Energy Window Vector has one window, 1. R-R intervals are
    // listed for GATED TOMO objects only (the reader ignores them otherwise).
    std::vector<ChoiceEntry> energyWindows;
    std::vector<ChoiceEntry> rrIntervals;
    std::string patientName;  // UTF-8: the first name, every component group
    std::string patientId;    // UTF-8
};

// The outline of a data set in memory, and of the DICOM file at `path`
// (refused as loadDicomStudy refuses it when it is no DICOM file, nests too
// deep or cannot be parsed; its pixel data is not read).
Status outlineDataset(DcmItem& dataset, ObjectOutline& out);
Status outlineFile(const char* path, ObjectOutline& out);

// What `choice` takes of `outline`, in ASCII, for a .gsd comment: "energy
// window 2 SCATTER 100-120 keV", "R-R interval 3 600-1000 ms", or both
// joined by ", "; only the parts of which the object holds more than one.
// Empty when there is nothing to say.
std::string choiceLabel(const ObjectOutline& outline, const SourceChoice& choice);

// One entry as a list of choices shows it, in UTF-8: "2  SCATTER  100-120
// keV" (unit "keV" for an energy window, "ms" for an R-R interval).
std::string entryText(const ChoiceEntry& entry, const char* unit);

}  // namespace trevik::dicom
