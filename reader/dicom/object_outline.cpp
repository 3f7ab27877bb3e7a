#include "reader/dicom/object_outline.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <set>

#include "dicom/nm_attributes.h"
#include "reader/dicom/charset.h"
#include "reader/dicom/nesting.h"
#include "reader/dicom/part10.h"
#include "study/names.h"

namespace trevik::dicom {

namespace {

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
    const std::size_t first = s.find_first_not_of(' ');
    return first == std::string::npos ? std::string() : s.substr(first);
}

std::string stringOf(DcmItem& item, const DcmTagKey& tag, long position = -1) {
    OFString value;
    const OFCondition c = position < 0 ? item.findAndGetOFStringArray(tag, value)
                                       : item.findAndGetOFString(tag, value, static_cast<unsigned long>(position));
    return c.good() ? trimmed(std::string(value.c_str(), value.length())) : std::string();
}

// The distinct values of the frame vector `tag` when the Frame Increment
// Pointer lists it; {1} (every frame in the first) when it does not.
std::set<int> numbersOf(DcmItem& data, const DcmTagKey& tag) {
    DcmElement* pointer = nullptr;
    bool listed = false;
    if (data.findAndGetElement(DCM_FrameIncrementPointer, pointer).good() && pointer)
        for (unsigned long i = 0; i < pointer->getVM(); ++i) {
            DcmTagKey listedTag;
            listed = listed || (pointer->getTagVal(listedTag, i).good() && listedTag == tag);
        }
    if (!listed) return {1};
    const Uint16* values = nullptr;
    unsigned long count = 0;
    std::set<int> numbers;
    if (data.findAndGetUint16Array(tag, values, &count).good() && values) numbers.insert(values, values + count);
    if (numbers.empty()) numbers.insert(1);
    return numbers;
}

// Item `number` - 1 of `sequence`, or null.
DcmItem* itemOf(DcmItem& data, const DcmTagKey& sequence, int number) {
    DcmItem* item = nullptr;
    if (number < 1 || data.findAndGetSequenceItem(sequence, item, number - 1).bad()) return nullptr;
    return item;
}

}  // namespace

Status outlineDataset(DcmItem& data, ObjectOutline& out) {
    try {
        out = {};
        const TextDecoder decode(data);
        for (const int number : numbersOf(data, DCM_EnergyWindowVector)) {
            ChoiceEntry entry{number, {}, {}, {}};
            if (DcmItem* window = itemOf(data, DCM_EnergyWindowInformationSequence, number)) {
                entry.name = decode.utf8(stringOf(*window, DCM_EnergyWindowName));
                if (DcmItem* range = itemOf(*window, DCM_EnergyWindowRangeSequence, 1)) {
                    entry.lower = stringOf(*range, DCM_EnergyWindowLowerLimit);
                    entry.upper = stringOf(*range, DCM_EnergyWindowUpperLimit);
                }
            }
            out.energyWindows.push_back(std::move(entry));
        }
        if (stringOf(data, tagOf(Nm::ImageType), 2) == "GATED TOMO")
            for (const int number : numbersOf(data, DCM_RRIntervalVector)) {
                ChoiceEntry entry{number, {}, {}, {}};
                // The interval's bounds are in its item's Data Information
                // Sequence; some writers put them in the item itself.
                if (DcmItem* interval = itemOf(data, DCM_GatedInformationSequence, number)) {
                    DcmItem* info = itemOf(*interval, DCM_DataInformationSequence, 1);
                    for (DcmItem* holder : {info, interval})
                        if (holder && entry.lower.empty() && entry.upper.empty()) {
                            entry.lower = stringOf(*holder, DCM_LowRRValue);
                            entry.upper = stringOf(*holder, DCM_HighRRValue);
                        }
                }
                out.rrIntervals.push_back(std::move(entry));
            }
        const std::string name = decode.utf8(stringOf(data, tagOf(Nm::PatientName)), true);
        out.patientName = name.substr(0, name.find('\\'));
        out.patientId = decode.utf8(stringOf(data, tagOf(Nm::PatientId)));
        return {};
    } catch (const std::bad_alloc&) {
        return statusOf(Reason::NoMemory);
    }
}

Status outlineFile(const char* path, ObjectOutline& out) {
    try {
        struct stat st {};
        if (::stat(path, &st) != 0) return statusOf(errno == ENOMEM ? Reason::NoMemory : Reason::CannotOpen, errno);
        if (!S_ISREG(st.st_mode)) return statusOf(Reason::CannotOpen, S_ISDIR(st.st_mode) ? 0 : ESPIPE);
        if (!isDicomFile(path)) return statusOf(Reason::DicomNotPart10);
        // DCMTK's parser recurses into sequences: the nesting is checked first.
        if (Status s = checkNestingOfFile(path); !s.ok()) return s;
        // Values longer than 64 KiB (the pixel data) stay in the file.
        DcmFileFormat file;
        const OFCondition loaded = file.loadFile(path, EXS_Unknown, EGL_noChange, 65536, ERM_fileOnly);
        if (loaded == EC_MemoryExhausted) return statusOf(Reason::NoMemory);
        if (loaded.bad()) return statusOf(Reason::DicomUnparsable);
        return outlineDataset(*file.getDataset(), out);
    } catch (const std::bad_alloc&) {
        return statusOf(Reason::NoMemory);
    }
}

std::string entryText(const ChoiceEntry& entry, const char* unit) {
    std::string text = std::to_string(entry.number);
    if (!entry.name.empty()) text += "  " + entry.name;
    if (!entry.lower.empty() || !entry.upper.empty())
        text += "  " + entry.lower + "-" + entry.upper + " " + unit;
    return text;
}

std::string choiceLabel(const ObjectOutline& outline, const SourceChoice& choice) {
    std::string label;
    const auto part = [&label](const std::vector<ChoiceEntry>& entries, int chosen, const char* what,
                               const char* unit) {
        if (entries.size() < 2 || chosen == 0) return;
        const auto entry = std::find_if(entries.begin(), entries.end(),
                                        [chosen](const ChoiceEntry& e) { return e.number == chosen; });
        if (entry == entries.end()) return;
        if (!label.empty()) label += ", ";
        label += std::string(what) + " " + romanisedAscii(entryText(*entry, unit));
    };
    part(outline.energyWindows, choice.energyWindow, "energy window", "keV");
    part(outline.rrIntervals, choice.rrInterval, "R-R interval", "ms");
    // Runs of spaces as one: the .gsd writes each space as "_".
    label.erase(std::unique(label.begin(), label.end(), [](char a, char b) { return a == ' ' && b == ' '; }),
                label.end());
    return label;
}

}  // namespace trevik::dicom
