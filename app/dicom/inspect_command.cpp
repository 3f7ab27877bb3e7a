// trevik-dicom inspect: what trevik makes of a DICOM file as its source
// (the verdict, with the reason), the attributes the reader used, and the
// quality control of the frames as the conversion loads them, in the words,
// TSV figures and pictures of trevik-inspect, which hands DICOM files to it.
#include <dcmtk/config/osconfig.h>
#include <dcmtk/oflog/oflog.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcsequen.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "app/conversion/conversion.h"
#include "app/dicom/choice_files.h"
#include "app/dicom/command.h"
#include "app/dicom/receive_plan.h"
#include "app/inspect/qc_pictures.h"
#include "app/inspect/qc_report.h"
#include "reader/dicom/charset.h"
#include "reader/dicom/dicom_source.h"
#include "reader/dicom/nesting.h"
#include "study/store_sink.h"

namespace trevik::dicom {

namespace {

// A value as one printable line: long vectors shortened to their first
// values and their count.
std::string shown(const std::string& value, unsigned long count) {
    // Bytes outside 0x20..0x7E as \xNN; the backslash that separates values
    // stays single.
    std::string out;
    for (const char c : value) out += c == '\\' ? std::string(1, c) : printableName(std::string_view(&c, 1));
    constexpr std::size_t kMost = 72;
    if (out.size() > kMost) out = out.substr(0, kMost) + "...";
    if (count > 1) out += " (" + std::to_string(count) + " values)";
    return out;
}

void listAttributes(DcmItem& data, DcmItem& meta, std::string& text) {
    for (const NmAttribute* used : attributesUsed()) {
        const DcmTagKey& tag = used->tag;
        DcmItem& where = tag.getGroup() == 0x0002 ? meta : data;
        DcmElement* element = nullptr;
        text += "attribute " + tagText(tag.getGroup(), tag.getElement()) + " " + used->name + ": ";
        if (where.findAndGetElement(tag, element).bad() || !element) {
            text += "absent\n";
        } else if (used->listing == Listing::Length) {
            text += std::to_string(element->getLength()) + " bytes\n";
        } else if (element->ident() == EVR_SQ) {
            const unsigned long items = static_cast<DcmSequenceOfItems*>(element)->card();
            text += "a sequence of " + std::to_string(items) + (items == 1 ? " item\n" : " items\n");
        } else {
            OFString value;
            element->getOFStringArray(value);
            text += shown(std::string(value.c_str(), value.length()), element->getVM()) + "\n";
        }
    }
}

// What the command is asked: the file, the TSV form, the pictures, the
// energy window and R-R interval to judge of an object with several.
struct InspectRequest {
    std::string path;
    bool tsv = false;
    std::string qcPage, cine;  // empty: not drawn
    SourceChoice choice;
};

// The frame store as the conversion fills it, with the layout the load
// announced and the number of frames stored.
class CountingStore final : public FrameSink {
public:
    explicit CountingStore(FrameStore& store) : store_(store) {}
    Status begin(const StudyFacts& facts, const FrameLayout& layout) override {
        layout_ = layout;
        return store_.begin(facts, layout);
    }
    std::int16_t* slot(int division, int frame) override { return store_.slot(division, frame); }
    Status stored(int division, int frame) override {
        ++count_;
        return store_.stored(division, frame);
    }
    const FrameLayout& layout() const { return layout_; }
    long long count() const { return count_; }

private:
    StoreSink store_;
    FrameLayout layout_{0, 0, 0};
    long long count_ = 0;
};


// Why no picture of `kind` may be written to `name`, or nullptr when it
// may: it must not be the file inspected, and a file there must be a
// picture of its kind.
const char* pictureRefusal(const std::string& name, const std::string& path, qc::PictureKind kind) {
    struct stat picture {}, inspected {};
    if (::stat(name.c_str(), &picture) == 0 && ::stat(path.c_str(), &inspected) == 0 &&
        picture.st_dev == inspected.st_dev && picture.st_ino == inspected.st_ino)
        return "it is the file inspected";
    if (qc::mayWritePicture(name.c_str(), kind)) return nullptr;
    return kind == qc::PictureKind::Gif ? "it exists and is not a GIF picture" : "it exists and is not a PNG picture";
}

// Whether a picture name is refused (said on standard error), checked
// before anything is read.
bool picturesRefused(const InspectRequest& request) {
    for (const auto& [name, kind] : {std::pair{request.qcPage, qc::PictureKind::Png}, {request.cine, qc::PictureKind::Gif}}) {
        if (name.empty()) continue;
        const char* refusal = pictureRefusal(name, request.path, kind);
        if (!refusal && kind == qc::PictureKind::Gif && name == request.qcPage)
            refusal = "another picture of the run has that name";
        if (refusal) {
            std::fprintf(stderr, "trevik-dicom inspect: no picture is written to %s: %s\n", printableName(name).c_str(),
                         refusal);
            return true;
        }
    }
    return false;
}

// The quality control of the loaded frames (every one of them stored) with
// the object's facts, into the report and the verdict's figures.
void reportQcOf(const Study& study, const CountingStore& store, const Status& status, qc::Facts facts,
                inspect::Inspection& ins) {
    qc::describe(facts, study.record);
    inspect::Text t;
    const FrameLayout& layout = store.layout();
    if (status.ok() && layout.side == qc::kSide && store.count() == static_cast<long long>(layout.passes) * layout.frames)
        inspect::reportQc(t, {layout.passes, layout.frames, [&study](int d, int v) { return study.store.frame(d, v); }},
                          ins, facts);
    else
        inspect::reportNoQc(t, store.count() > 0 ? "the frames cannot all be read" : "no frames were read");
    ins.report += t.str();
}

// Draws the pictures asked for; the report's lines name them (or say why
// there is none). False when one could not be written, said on standard
// error.
bool drawPictures(const InspectRequest& request, inspect::Inspection& ins, std::string& lines) {
    bool written = true;
    for (const auto& [name, kind] : {std::pair{request.qcPage, qc::PictureKind::Png}, {request.cine, qc::PictureKind::Gif}}) {
        if (name.empty()) continue;
        std::string line;
        if (const std::string problem = inspect::writeQcPicture(kind, name, ins, line); !problem.empty()) {
            std::fprintf(stderr, "trevik-dicom inspect: no %s %s for %s: %s\n",
                         kind == qc::PictureKind::Png ? "qc page" : "cine", printableName(name).c_str(),
                         printableName(request.path).c_str(), problem.c_str());
            written = false;
        }
        lines += line;
    }
    return written;
}

// The options and the file; 0 when taken, else the usage error's code.
int parseRequest(const std::vector<std::string>& args, InspectRequest& request) {
    std::size_t operands = 0;
    bool options = true;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (options && arg == "--") {
            options = false;
            continue;
        }
        if (!options || arg.size() < 2 || arg[0] != '-') {
            if (++operands == 1) request.path = arg;
            continue;
        }
        if (arg == "--tsv") {
            request.tsv = true;
            continue;
        }
        if (const int taken = takeChoiceOption("inspect", args, i, request.choice); taken >= 0) {
            if (taken > 0) return taken;
            continue;
        }
        std::string value;
        bool missing = false, taken = false;
        const std::pair<const char*, std::string*> pictures[] = {{"--qc", &request.qcPage}, {"--cine", &request.cine}};
        for (const auto& [name, field] : pictures) {
            if (taken || !optionValue(args, i, name, value, missing)) continue;
            if (missing || value.empty()) return usageError("inspect", std::string(name) + " needs a file name");
            if (!field->empty()) return usageError("inspect", std::string(name) + " is given twice");
            *field = value;
            taken = true;
        }
        if (!taken) return usageError("inspect", "unknown option " + arg);
    }
    if (operands != 1) return usageError("inspect", "needs one FILE");
    return 0;
}

// A file that is no DICOM object has one energy window and one R-R
// interval: a choice of another is refused (2).
Status oneWindowOnly(const std::string& path, const SourceChoice& choice) {
    if (isDicomFile(path.c_str()) || (choice.energyWindow <= 1 && choice.rrInterval <= 1)) return {};
    Status s = statusOf(Reason::NotSupported);
    s.where.detail = "the file is no DICOM object: it has one energy window and one R-R interval (1)";
    return s;
}

// Inspects the file: the load trevik-dicom import runs, into a fresh
// study, then the attributes as the file holds them, then the quality
// control; the report (or the TSV line) goes to standard output.
bool inspectObject(const InspectRequest& request, inspect::Inspection& ins) {
    const std::string& path = request.path;
    inspect::Verdict& v = ins.verdict;
    std::string& text = ins.report;
    text = "kind: DICOM file\n";
    Status status;
    bool written = true, drawn = false;
    try {
        std::unique_ptr<Study> study(new Study());
        PathBuffer input{}, output{};
        Conversion conversion(*study, input, output);
        conversion.readDicomWith(loadDicomStudy, request.choice);
        CountingStore store(study->store);
        status = oneWindowOnly(path, request.choice);
        if (status.ok()) status = conversion.load(path, store, {});
        if (status.ok()) {
            const StudyRecord& r = study->record;
            text += "record: name \"" + printableName(r.name) + "\", id \"" + printableName(r.id) + "\", sex \"" +
                    printableName(r.sex) + "\", date \"" + printableName(r.date) + "\", time \"" +
                    printableName(r.time) + "\", tracer \"" + printableName(r.tracer) + "\", hr " +
                    std::to_string(r.hr) + ", division " + std::to_string(r.division) + ", frames " +
                    std::to_string(r.frames) + ", pixel " + std::to_string(r.pixel) + " mm, slice pixels " +
                    std::to_string(study->geometry.slicePixels) + "\n";
            if (r.tracer[0] == '\0')
                text += "warning: the object names no radionuclide (no known code in the Radionuclide Code "
                        "Sequence, no Radiopharmaceutical): the output has no tracer line\n";
        }
        // The windows and intervals go after the record, once the nuclide is
        // known; then the attributes, as the file holds them, and what the
        // object knows besides its frames.
        const std::size_t listingAt = text.size();
        qc::Facts facts;
        if (status.reason != Reason::CannotOpen && status.reason != Reason::PathTooLong &&
            status.reason != Reason::PathHasZero) {
            DcmFileFormat file;
            if (!checkNestingOfFile(path.c_str()).ok()) {
                text += "attributes: the file is not parsed: " + statusWords(status) + "\n";
            } else if (file.loadFile(path.c_str(), EXS_Unknown, EGL_noChange, DCM_MaxReadLength, ERM_fileOnly).good()) {
                listAttributes(*file.getDataset(), *file.getMetaInfo(), text);
                for (const std::string& warning : textWarnings(*file.getDataset())) {
                    text += "warning: " + warning + "\n";
                    ++v.warnings;
                }
            } else {
                text += "attributes: the file cannot be parsed whole\n";
            }
        }
        facts = qc::factsOf(study->acquisition, request.choice.energyWindow);
        text.insert(listingAt, choiceListing(study->acquisition, codedNuclide(study->acquisition), request.choice));
        reportQcOf(*study, store, status, facts, ins);
        std::string lines;
        written = drawPictures(request, ins, lines);
        drawn = true;
        text += lines;
    } catch (const std::bad_alloc&) {
        status = statusOf(Reason::NoMemory);
        // Pictures asked for and not drawn yet count as not written.
        if (!drawn && (!request.qcPage.empty() || !request.cine.empty())) {
            written = false;
            std::fprintf(stderr, "trevik-dicom inspect: no pictures for %s: not enough memory\n",
                         printableName(path).c_str());
        }
    }
    v.code = status.code;
    v.reason = statusWords(status);
    text += "verdict: " + std::to_string(status.code) + ": " + v.reason + "\n";
    return written;
}

}  // namespace

int inspectCommand(const std::vector<std::string>& args) {
    // The reason is said once, in the converter's words: DCMTK's own log
    // lines would repeat it in another form.
    OFLog::configure(OFLogger::OFF_LOG_LEVEL);
    InspectRequest request;
    if (const int code = parseRequest(args, request); code != 0) return code;
    if (picturesRefused(request)) return 1;
    inspect::Inspection ins;
    ins.path = request.path;
    ins.verdict.kind = inspect::FileKind::Dicom;
    const bool written = inspectObject(request, ins);
    const std::string out = request.tsv ? inspect::tsvLine(request.path, ins.verdict) : ins.report;
    std::fputs(out.c_str(), stdout);
    if (std::fflush(stdout) != 0) return 1;
    return written ? 0 : 1;
}

}  // namespace trevik::dicom
