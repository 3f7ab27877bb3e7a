#include "reader/dicom/object_read.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcuid.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <set>

#include "dicom/nm_attributes.h"
#include "dicom/nuclide.h"
#include "dicom/values.h"
#include "reader/dicom/charset.h"
#include "study/rules.h"

namespace trevik::dicom {

namespace {

// Refused unless an NM image of a SPECT projection acquisition; `gated`:
// Image Type value 3 is GATED TOMO (else TOMO).
Status readKind(DcmItem& data, bool& gated) {
    if (textOf(data, Nm::SopClassUid) != UID_NuclearMedicineImageStorage) return statusOf(Reason::DicomNotNm);
    const std::string kind = textOf(data, Nm::ImageType, 2);
    gated = kind == "GATED TOMO";
    if (!gated && kind != "TOMO") return statusOf(Reason::DicomNotTomo);
    return {};
}

// A value of an attribute that is no row of the table (the items of the
// energy window, gating and series descriptions), without its padding.
std::string valueOf(DcmItem& item, const DcmTagKey& tag) {
    OFString value;
    return item.findAndGetOFStringArray(tag, value).good() ? trimmed(std::string_view(value.c_str(), value.length()))
                                                           : std::string();
}

// Item `number` - 1 of `sequence`, or null.
DcmItem* itemOf(DcmItem& data, const DcmTagKey& sequence, int number) {
    DcmItem* item = nullptr;
    if (number < 1 || data.findAndGetSequenceItem(sequence, item, number - 1).bad()) return nullptr;
    return item;
}

// The rows of the table whose facts the reader reads, in tag order, each
// through its fact; the texts of the character set decoded first, the
// patient's name and ID kept in UTF-8 too (a name decoded once).
void readRows(DcmItem& data, const TextDecoder& decode, ObjectRead& out) {
    for (const NmAttribute& row : nmAttributes()) {
        if (!(row.use & kRead) || !row.fact || !row.fact->read) continue;
        NmValue value = valueOf(data, row.id);
        if (decodedText(row)) value.text = decode.utf8(value.text, row.vr == EVR_PN);
        if (row.id == Nm::PatientName) {
            noteRead(ReadStep::Name);
            out.patientName = value.text.substr(0, value.text.find('\\'));
        }
        if (row.id == Nm::PatientId) out.patientId = value.text;
        row.fact->read(value, out.facts);
    }
}

// The nuclide of the first code first (SCT or SRT), then the
// radiopharmaceutical's text as written; empty when the object names
// neither (the output then has no tracer line: no nuclide is made up).
// Every code of every item goes into the acquisition's nuclides.
std::string readNuclides(DcmItem& data, const TextDecoder& decode, Acquisition& acquisition) {
    std::string tracer;
    DcmItem* drug = nullptr;
    for (int i = 0; data.findAndGetSequenceItem(tagOf(Nm::RadiopharmaceuticalInformationSequence), drug, i).good() && drug;
         ++i) {
        DcmItem* code = nullptr;
        for (int j = 0; drug->findAndGetSequenceItem(tagOf(Nm::RadionuclideCodeSequence), code, j).good() && code; ++j)
            if (const NuclideCode* nuclide = nuclideOfCode(textOf(*code, Nm::CodeValue))) {
                if (i == 0 && j == 0) tracer = tracerName(nuclide->tracer);
                acquisition.addNuclide(nuclide->tracer);
            }
        if (i == 0 && tracer.empty()) tracer = decode.ascii(textOf(*drug, Nm::Radiopharmaceutical));
        drug = nullptr;
    }
    return tracer;
}

// The distinct values of a frame vector the object lists; {1} when it does
// not list it. False when there are more than a list holds.
bool numbersOf(const FrameVector& vector, ChoiceList& list) {
    const std::set<Uint16> numbers(vector.values.begin(), vector.values.end());
    if (numbers.size() > static_cast<std::size_t>(ChoiceList::kMost)) return false;
    list.count = 0;
    for (const Uint16 number : numbers) list.entries[list.count++] = ChoiceEntry{number, {}, {}, {}};
    return true;
}

// The energy windows and R-R intervals the frames belong to, each with its
// name and range. The interval's bounds are in its item's Data Information
// Sequence; some writers put them in the item itself.
Status readChoices(DcmItem& data, const TextDecoder& decode, ObjectRead& out) {
    Acquisition& a = out.facts.acquisition;
    if (!numbersOf(out.vectors.windows, a.energyWindows)) return statusOf(Reason::DicomTooManyChoices);
    for (int i = 0; i < a.energyWindows.count; ++i) {
        ChoiceEntry& e = a.energyWindows.entries[i];
        if (DcmItem* window = itemOf(data, DCM_EnergyWindowInformationSequence, e.number)) {
            copyText(e.name, decode.utf8(valueOf(*window, DCM_EnergyWindowName)));
            if (DcmItem* range = itemOf(*window, DCM_EnergyWindowRangeSequence, 1)) {
                copyText(e.lower, valueOf(*range, DCM_EnergyWindowLowerLimit));
                copyText(e.upper, valueOf(*range, DCM_EnergyWindowUpperLimit));
            }
        }
    }
    if (!out.gated) return {};
    if (!numbersOf(out.vectors.intervals, a.rrIntervals)) return statusOf(Reason::DicomTooManyChoices);
    for (int i = 0; i < a.rrIntervals.count; ++i) {
        ChoiceEntry& e = a.rrIntervals.entries[i];
        DcmItem* interval = itemOf(data, DCM_GatedInformationSequence, e.number);
        DcmItem* info = interval ? itemOf(*interval, DCM_DataInformationSequence, 1) : nullptr;
        for (DcmItem* holder : {info, interval})
            if (holder && e.lower[0] == '\0' && e.upper[0] == '\0') {
                copyText(e.lower, valueOf(*holder, DCM_LowRRValue));
                copyText(e.upper, valueOf(*holder, DCM_HighRRValue));
            }
    }
    return {};
}

// The detectors and views, the beats the gating accepted and rejected (in
// the Gated Information Sequence's Data Information Sequence, or at the top
// level as some cameras write them), and the series.
void readAcquisition(DcmItem& data, const TextDecoder& decode, ObjectRead& out) {
    Acquisition& a = out.facts.acquisition;
    const auto largest = [](const FrameVector& v) {
        return static_cast<std::int16_t>(std::min<int>(*std::max_element(v.values.begin(), v.values.end()), 32767));
    };
    a.detectors = largest(out.vectors.detectors);
    a.views = largest(out.vectors.views);
    DcmItem* gate = itemOf(data, DCM_GatedInformationSequence, 1);
    DcmItem* info = gate ? itemOf(*gate, DCM_DataInformationSequence, 1) : nullptr;
    for (DcmItem* holder : {info, static_cast<DcmItem*>(&data)}) {
        long acquired = -1, rejected = -1;
        if (holder && integerOf(*holder, Nm::IntervalsAcquired, acquired) &&
            integerOf(*holder, Nm::IntervalsRejected, rejected) && acquired >= 0 && rejected >= 0) {
            a.beatsKnown = true;
            a.acceptedBeats = acquired;
            a.rejectedBeats = rejected;
            break;
        }
    }
    copyText(a.seriesDescription, decode.utf8(valueOf(data, DCM_SeriesDescription)));
}

}  // namespace

namespace {

std::atomic<int> readCounts[4];

}  // namespace

void noteRead(ReadStep step) {
    const auto at = static_cast<std::size_t>(step);
    ++readCounts[at];
#ifdef TREVIK_READ_LOG
    static const char* const kWords[] = {"parse\n", "facts\n", "name\n", "pixels\n"};
    if (const char* log = std::getenv("TREVIK_READ_LOG")) {
        const int fd = ::open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0) {
            (void)!::write(fd, kWords[at], std::strlen(kWords[at]));
            ::close(fd);
        }
    }
#endif
}

int readsOf(ReadStep step) { return readCounts[static_cast<std::size_t>(step)]; }

Status readObject(DcmDataset& data, ObjectRead& out) {
    noteRead(ReadStep::Facts);
    out.facts = {};
    out.pixelsRead = false;
    Status refused;
    Where& w = refused.where;
    if (Status s = readKind(data, out.gated); !s.ok()) return s;
    if (Status s = readSampleForm(data, out.form); !s.ok()) return s;
    long rows = 0, columns = 0;
    integerOf(data, Nm::Rows, rows);
    integerOf(data, Nm::Columns, columns);
    w.rows = static_cast<int>(rows);
    w.columns = static_cast<int>(columns);
    w.sampleBits = out.form.bitsAllocated;
    out.facts.geometry.rows = static_cast<std::int16_t>(rows);
    out.facts.geometry.columns = static_cast<std::int16_t>(columns);
    if (Reason r = matrixRefusal(static_cast<int>(rows), static_cast<int>(columns)); r != Reason::Done) {
        refused.code = codeOf(r);
        refused.reason = r;
        return refused;
    }
    out.where = w;
    if (Status s = readVectors(data, out.gated, out.vectors); !s.ok()) return s;
    const TextDecoder decode(data);
    readRows(data, decode, out);
    copyText(out.facts.record.tracer, readNuclides(data, decode, out.facts.acquisition));
    if (Status s = readChoices(data, decode, out); !s.ok()) return s;
    readAcquisition(data, decode, out);
    out.xfer = data.getOriginalXfer();
    return {};
}

}  // namespace trevik::dicom
