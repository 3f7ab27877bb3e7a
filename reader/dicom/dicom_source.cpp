#include "reader/dicom/dicom_source.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcrledrg.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/dcmjpeg/djdecode.h>
#include <dcmtk/dcmjpls/djdecode.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <new>
#include <vector>

#include "reader/dicom/frame_plan.h"
#include "reader/dicom/nesting.h"
#include "reader/dicom/object_facts.h"
#include "reader/dicom/part10.h"
#include "reader/dicom/pixels.h"
#include "study/rules.h"

namespace trevik::dicom {

namespace {

// The decoders of the lossless compressed forms, registered once for the
// process (DCMTK keeps them in a global list).
void registerDecoders() {
    static std::once_flag once;
    std::call_once(once, [] {
        DJDecoderRegistration::registerCodecs();
        DJLSDecoderRegistration::registerCodecs();
        DcmRLEDecoderRegistration::registerCodecs();
    });
}

// Every frame taken, in the sink's form, division after division.
Status deliver(const StoredFrames& stored, const SampleForm& form, int side, const std::vector<int>& place,
               const FrameLayout& layout, FrameSink& sink, const LoadOptions& options) {
    CountChanges ignored;
    CountChanges& changes = options.changes ? *options.changes : ignored;
    for (int d = 0; d < layout.passes; ++d)
        for (int f = 0; f < layout.frames; ++f) {
            const int i = place[static_cast<std::size_t>(d) * layout.frames + f];
            convertFrame(form, stored.frame(i), side, options.form, sink.slot(d, f), changes);
            if (Status s = sink.stored(d, f); !s.ok()) return s;
        }
    return {};
}

Status loadObject(DcmDataset& data, E_TransferSyntax xfer, StudyFacts& study, FrameSink& sink, const SourceChoice& choice,
                  const LoadOptions& options) {
    registerDecoders();
    Status out;
    Where& w = out.where;
    StudyRecord& r = study.record;
    study.flags.reverseFrames = false;
    study.flags.reducedMatrix = false;

    bool gated = false;
    if (Status s = readKind(data, gated); !s.ok()) return s;
    SampleForm form{};
    if (Status s = readSampleForm(data, form); !s.ok()) return s;

    // The matrix.
    long rows = 0, columns = 0;
    integerOf(data, Nm::Rows, rows);
    integerOf(data, Nm::Columns, columns);
    w.rows = static_cast<int>(rows);
    w.columns = static_cast<int>(columns);
    w.sampleBits = form.bitsAllocated;
    study.geometry.rows = static_cast<std::int16_t>(rows);
    study.geometry.columns = static_cast<std::int16_t>(columns);
    if (!convertibleMatrix(static_cast<int>(rows), static_cast<int>(columns))) {
        out.code = kNotSupported;
        out.reason = Reason::Geometry;
        return out;
    }
    const int side = static_cast<int>(rows);

    FramePlan plan;
    if (Status s = planFrames(data, gated, choice, plan); !s.ok()) return s;
    readFacts(data, gated ? plan.slots : 0, r, study.geometry);
    w.hr = r.hr;
    w.division = r.division;
    w.imageCount = static_cast<std::int32_t>(plan.taken.size());

    // Every (detector, time slot, view) exactly once.
    r.frames = static_cast<std::int32_t>(plan.detectors) * plan.views;
    w.frames = r.frames;
    if (r.frames > FrameStore::kSlots || plan.slots > 0xFFFF || !framesFitStore(r)) {
        out.code = kNotSupported;
        out.reason = Reason::StoreFull;
        return out;
    }
    const int passes = plan.slots;
    w.passes = passes;
    std::vector<int> place;
    if (Status s = placeFrames(plan, r.frames, place); !s.ok()) return s;

    StoredFrames stored;
    if (Status s = storedFrames(data, xfer, form, side, plan.frames, plan.taken, out, stored); !s.ok()) return s;
    const FrameLayout layout = settleFacts(study, options.form);
    if (Status s = sink.begin(study, layout); !s.ok()) return s;
    if (Status s = deliver(stored, form, side, place, layout, sink, options); !s.ok()) return s;

    out.code = kOk;
    out.reason = Reason::Done;
    return out;
}

}  // namespace

std::vector<const NmAttribute*> attributesUsed() {
    std::vector<const NmAttribute*> used;
    for (const NmAttribute& a : nmAttributes())
        if ((a.use & kRead) && a.listing != Listing::Nested) used.push_back(&a);
    return used;
}

Status loadDicomDataset(DcmDataset& dataset, StudyFacts& study, FrameSink& sink, const SourceChoice& choice,
                        const LoadOptions& options) {
    try {
        return loadObject(dataset, dataset.getOriginalXfer(), study, sink, choice, options);
    } catch (const std::bad_alloc&) {
        return statusOf(Reason::NoMemory);
    }
}

Status loadDicomStudy(const char* path, StudyFacts& study, FrameSink& sink, const SourceChoice& choice,
                      const LoadOptions& options) {
    try {
        errno = 0;
        const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) return statusOf(errno == ENOMEM ? Reason::NoMemory : Reason::CannotOpen, errno);
        struct stat st {};
        const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
        const bool dicom = regular && isDicomFile(fd);
        ::close(fd);
        if (!regular) return statusOf(Reason::CannotOpen, S_ISDIR(st.st_mode) ? 0 : ESPIPE);
        if (!dicom) return statusOf(Reason::DicomNotPart10);
        // DCMTK's parser recurses into sequences: too deep a nesting is
        // refused before it reads anything.
        if (Status s = checkNestingOfFile(path); !s.ok()) return s;
        DcmFileFormat file;
        const OFCondition loaded = file.loadFile(path, EXS_Unknown, EGL_noChange, DCM_MaxReadLength, ERM_fileOnly);
        if (loaded == EC_MemoryExhausted) return statusOf(Reason::NoMemory);
        if (loaded.bad()) {
            // DCMTK reports a value longer than the rest of the file as an
            // invalid stream, or as a stream that wants more data.
            if (loaded == EC_StreamNotifyClient || loaded == EC_InvalidStream || loaded == EC_PrematureSequDelimitationItem ||
                loaded == EC_SequEnd || loaded == EC_ItemEnd)
                return statusOf(Reason::DicomFileEnds);
            return statusOf(Reason::DicomUnparsable);
        }
        return loadObject(*file.getDataset(), file.getDataset()->getOriginalXfer(), study, sink, choice, options);
    } catch (const std::bad_alloc&) {
        return statusOf(Reason::NoMemory);
    }
}

}  // namespace trevik::dicom
