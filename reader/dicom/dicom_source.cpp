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

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "reader/dicom/frame_plan.h"
#include "reader/dicom/nesting.h"
#include "reader/dicom/object_read.h"
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

// The facts the object gives, over those of `study` (its height, weight and
// comment, which an NM object does not hold, stay).
void takeFacts(const StudyFacts& read, StudyFacts& study) {
    const StudyRecord& from = read.record;
    StudyRecord& r = study.record;
    const float height = r.height, weight = r.weight;
    char comment[sizeof r.comment];
    std::memcpy(comment, r.comment, sizeof comment);
    r = from;
    r.height = height;
    r.weight = weight;
    std::memcpy(r.comment, comment, sizeof comment);
    study.geometry = read.geometry;
    study.flags = {};
    study.acquisition = read.acquisition;
}

// The pixel data of the object, read (and decoded) at the first load and
// kept for the others, or checked at the first load and each load's frames
// read alone (framewise: each frame is still read once); `ends` says where
// a load stands when the data does not hold a frame it takes.
Status readPixels(DcmDataset& data, ObjectRead& read, const std::vector<int>& taken, const Status& ends) {
    const int side = read.facts.geometry.rows;
    const long frames = read.vectors.frames;
    StoredFrames& stored = read.stored;
    if (!read.pixelsRead) {
        noteRead(ReadStep::Pixels);
        read.pixelsRead = true;
        read.pixelStatus = read.framewise ? storedFramesChecked(data, read.xfer, read.form, side, frames, stored)
                                          : storedFrames(data, read.xfer, read.form, side, frames, stored);
    }
    if (!read.pixelStatus.ok()) return read.pixelStatus;
    if (Status s = framesHeld(stored, side, read.form.bitsAllocated, taken, ends); !s.ok() || !stored.framewise)
        return s;
    if (Status s = readFramesTaken(data, taken, frames, stored); !s.ok()) return s;
    return framesHeld(stored, side, read.form.bitsAllocated, taken, ends);
}

}  // namespace

Status loadRead(DcmDataset& data, ObjectRead& read, StudyFacts& study, FrameSink& sink, const SourceChoice& choice,
                const LoadOptions& options) {
    registerDecoders();
    Status out;
    out.where = read.where;
    Where& w = out.where;
    // The object's facts first: a load refused for its choice still leaves
    // what the object says (for the inspection's quality control).
    takeFacts(read.facts, study);
    FramePlan plan;
    if (Status s = planFrames(read.vectors, read.gated, choice, plan); !s.ok()) return s;
    StudyRecord& r = study.record;
    // More time slots than a division count holds is more than the store's
    // 16 (framesRefusal).
    r.division = static_cast<std::int16_t>(read.gated ? std::min(plan.timeSlots, 32767) : 0);
    w.hr = r.hr;
    w.division = r.division;
    w.imageCount = static_cast<std::int32_t>(plan.taken.size());

    // Every (detector, time slot, view) exactly once.
    r.frames = static_cast<std::int32_t>(plan.detectors) * plan.views;
    w.frames = r.frames;
    if (Reason refused = framesRefusal(r); refused != Reason::Done) {
        out.code = codeOf(refused);
        out.reason = refused;
        return out;
    }
    w.passes = plan.timeSlots;
    std::vector<int> place;
    if (Status s = placeFrames(read.vectors, read.gated, plan, r.frames, place); !s.ok()) return s;
    if (Status s = readPixels(data, read, plan.taken, out); !s.ok()) return s;
    const FrameLayout layout = settleFacts(study, options.form, choice);
    if (Status s = sink.begin(study, layout); !s.ok()) return s;
    if (Status s = deliver(read.stored, read.form, read.facts.geometry.rows, place, layout, sink, options); !s.ok())
        return s;
    out.code = kOk;
    out.reason = Reason::Done;
    return out;
}

std::vector<const NmAttribute*> attributesUsed() {
    std::vector<const NmAttribute*> used;
    for (const NmAttribute& a : nmAttributes())
        if ((a.use & kRead) && a.listing != Listing::Nested) used.push_back(&a);
    return used;
}

Status loadDicomDataset(DcmDataset& dataset, StudyFacts& study, FrameSink& sink, const SourceChoice& choice,
                        const LoadOptions& options) {
    try {
        const std::unique_ptr<ObjectRead> read(new ObjectRead());
        if (Status s = readObject(dataset, *read); !s.ok()) return s;
        read->framewise = true;
        return loadRead(dataset, *read, study, sink, choice, options);
    } catch (const std::bad_alloc&) {
        return statusOf(Reason::NoMemory);
    }
}

Status parseDicomFile(const char* path, DcmFileFormat& file) {
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
        noteRead(ReadStep::Parse);
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
        return {};
    } catch (const std::bad_alloc&) {
        return statusOf(Reason::NoMemory);
    }
}

HeldObject::HeldObject() = default;
HeldObject::~HeldObject() = default;

Status HeldObject::read(const char* path, bool framewise) {
    try {
        file_ = std::make_unique<DcmFileFormat>();
        if (Status s = parseDicomFile(path, *file_); !s.ok()) {
            file_.reset();
            return s;
        }
        read_ = std::make_unique<ObjectRead>();
        readStatus_ = readObject(*file_->getDataset(), *read_);
        read_->framewise = framewise;
        return {};
    } catch (const std::bad_alloc&) {
        file_.reset();
        return statusOf(Reason::NoMemory);
    }
}

const ObjectRead* HeldObject::object() const { return file_ && read_ && readStatus_.ok() ? read_.get() : nullptr; }

Status HeldObject::load(const char* path, StudyFacts& study, FrameSink& sink, const SourceChoice& choice,
                        const LoadOptions& options) {
    if (!file_ || !read_) return loadDicomStudy(path, study, sink, choice, options);
    if (!readStatus_.ok()) return readStatus_;
    try {
        return loadRead(*file_->getDataset(), *read_, study, sink, choice, options);
    } catch (const std::bad_alloc&) {
        return statusOf(Reason::NoMemory);
    }
}

void HeldObject::release() {
    read_.reset();
    file_.reset();
}

Status loadDicomStudy(const char* path, StudyFacts& study, FrameSink& sink, const SourceChoice& choice,
                      const LoadOptions& options) {
    try {
        DcmFileFormat file;
        if (Status s = parseDicomFile(path, file); !s.ok()) return s;
        return loadDicomDataset(*file.getDataset(), study, sink, choice, options);
    } catch (const std::bad_alloc&) {
        return statusOf(Reason::NoMemory);
    }
}

}  // namespace trevik::dicom
