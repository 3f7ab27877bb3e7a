#include "reader/dicom/dicom_source.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcrledrg.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcvrat.h>
#include <dcmtk/dcmdata/dcxfer.h>
#include <dcmtk/dcmjpeg/djdecode.h>
#include <dcmtk/dcmjpls/djdecode.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "reader/dicom/charset.h"
#include "reader/dicom/nesting.h"
#include "reader/dicom/part10.h"
#include "study/rules.h"
#include "study/sample.h"
#include "writer/dicom/nm_object.h"

// The reasons a DICOM object is refused are marked for the window's
// translation catalogue (context "dicom"); they stay plain text here.
#ifndef QT_TRANSLATE_NOOP
#define QT_TRANSLATE_NOOP(context, text) text
#endif

namespace trevik::dicom {

namespace {

constexpr UsedAttribute kUsed[] = {
    {0x0002, 0x0010, "Transfer Syntax UID"},
    {0x0008, 0x0005, "Specific Character Set"},
    {0x0008, 0x0008, "Image Type"},
    {0x0008, 0x0016, "SOP Class UID"},
    {0x0008, 0x0020, "Study Date"},
    {0x0008, 0x0030, "Study Time"},
    {0x0010, 0x0010, "Patient's Name"},
    {0x0010, 0x0020, "Patient ID"},
    {0x0010, 0x0040, "Patient's Sex"},
    {0x0018, 0x0050, "Slice Thickness"},
    {0x0018, 0x1088, "Heart Rate"},
    {0x0028, 0x0002, "Samples per Pixel"},
    {0x0028, 0x0008, "Number of Frames"},
    {0x0028, 0x0009, "Frame Increment Pointer"},
    {0x0028, 0x0010, "Rows"},
    {0x0028, 0x0011, "Columns"},
    {0x0028, 0x0030, "Pixel Spacing"},
    {0x0028, 0x0100, "Bits Allocated"},
    {0x0028, 0x0101, "Bits Stored"},
    {0x0028, 0x0102, "High Bit"},
    {0x0028, 0x0103, "Pixel Representation"},
    {0x0028, 0x1052, "Rescale Intercept"},
    {0x0028, 0x1053, "Rescale Slope"},
    {0x0054, 0x0010, "Energy Window Vector"},
    {0x0054, 0x0011, "Number of Energy Windows"},
    {0x0054, 0x0016, "Radiopharmaceutical Information Sequence"},
    {0x0054, 0x0020, "Detector Vector"},
    {0x0054, 0x0021, "Number of Detectors"},
    {0x0054, 0x0050, "Rotation Vector"},
    {0x0054, 0x0051, "Number of Rotations"},
    {0x0054, 0x0060, "R-R Interval Vector"},
    {0x0054, 0x0061, "Number of R-R Intervals"},
    {0x0054, 0x0070, "Time Slot Vector"},
    {0x0054, 0x0071, "Number of Time Slots"},
    {0x0054, 0x0090, "Angular View Vector"},
    {0x7FE0, 0x0010, "Pixel Data"},
};

Status refused(const char* detail) {
    Status s = statusOf(Reason::NotSupported);
    s.where.detail = detail;
    return s;
}

Status cut(const char* detail) {
    Status s = statusOf(Reason::CannotRead);
    s.where.detail = detail;
    return s;
}

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

std::string trimmed(const OFString& value) {
    std::string s(value.c_str(), value.length());
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
    std::size_t first = 0;
    while (first < s.size() && s[first] == ' ') ++first;
    return s.substr(first);
}

std::string stringOf(DcmItem& item, const DcmTagKey& tag, long position = -1) {
    OFString value;
    const OFCondition c =
        position < 0 ? item.findAndGetOFStringArray(tag, value) : item.findAndGetOFString(tag, value, static_cast<unsigned long>(position));
    return c.good() ? trimmed(value) : std::string();
}

// A DS value's first number; false when absent or not a finite number.
bool decimalOf(DcmItem& item, const DcmTagKey& tag, double& value) {
    Float64 v = 0;
    if (item.findAndGetFloat64(tag, v, 0).bad() || !std::isfinite(v)) return false;
    value = v;
    return true;
}

bool integerOf(DcmItem& item, const DcmTagKey& tag, long& value) {
    Sint32 s = 0;
    if (item.findAndGetSint32(tag, s).good()) {
        value = s;
        return true;
    }
    Uint16 u = 0;
    if (item.findAndGetUint16(tag, u).good()) {
        value = u;
        return true;
    }
    return false;
}

// "YYYYMMDD" (or the older "YYYY.MM.DD") as the record keeps a date.
std::string dateText(const std::string& da) {
    auto digits = [](const std::string& s, std::size_t at, std::size_t n) {
        for (std::size_t i = at; i < at + n; ++i)
            if (i >= s.size() || s[i] < '0' || s[i] > '9') return false;
        return true;
    };
    if (da.size() == 8 && digits(da, 0, 8)) return da.substr(0, 4) + "." + da.substr(4, 2) + "." + da.substr(6, 2);
    if (da.size() == 10 && digits(da, 0, 4) && da[4] == '.' && digits(da, 5, 2) && da[7] == '.' && digits(da, 8, 2))
        return da;
    return {};
}

// "HHMMSS.FFFFFF" (or "HH:MM:SS") as "HH:MM:SS"; missing minutes and
// seconds are 00, fractions are dropped.
std::string timeText(const std::string& tm) {
    std::string d;
    for (const char c : tm) {
        if (c == '.') break;
        if (c >= '0' && c <= '9') d += c;
        else if (c != ':') return {};
    }
    if (d.size() != 2 && d.size() != 4 && d.size() != 6) return {};
    d.resize(6, '0');
    return d.substr(0, 2) + ":" + d.substr(2, 2) + ":" + d.substr(4, 2);
}

// One frame vector: a value for every frame, or every frame 1 when the
// object does not list it.
struct Vector {
    bool listed = false;
    std::vector<Uint16> values;
};

Status readVector(DcmItem& data, const std::vector<DcmTagKey>& pointer, const DcmTagKey& tag, long frames,
                  Vector& out) {
    out.values.assign(static_cast<std::size_t>(frames), 1);
    for (const DcmTagKey& listed : pointer) {
        if (listed != tag) continue;
        out.listed = true;
        const Uint16* values = nullptr;
        unsigned long count = 0;
        if (data.findAndGetUint16Array(tag, values, &count).bad() || !values ||
            count != static_cast<unsigned long>(frames))
            return refused(QT_TRANSLATE_NOOP("dicom", "a frame vector does not hold one value for every frame"));
        out.values.assign(values, values + count);
    }
    return {};
}

// The values a vector takes, whether more than one, and whether `chosen` is one.
bool several(const Vector& v) {
    for (const Uint16 value : v.values)
        if (value != v.values.front()) return true;
    return false;
}

bool holds(const Vector& v, int chosen) {
    for (const Uint16 value : v.values)
        if (value == chosen) return true;
    return false;
}

// The sample rule of one stored value: masked to Bits Stored and, for
// signed samples, sign-extended from its high bit.
struct SampleForm {
    int bitsAllocated;
    int bitsStored;
    bool signedSamples;
    bool rescaled;
    double slope;
    double intercept;

    long value(std::uint32_t stored) const {
        const std::uint32_t mask = bitsStored >= 32 ? 0xFFFFFFFFu : (1u << bitsStored) - 1u;
        std::uint32_t v = stored & mask;
        if (signedSamples && (v >> (bitsStored - 1)) & 1u) v |= ~mask;
        return signedSamples ? static_cast<long>(static_cast<std::int32_t>(v)) : static_cast<long>(v);
    }
};

// One frame of `side` x `side` stored values at `raw` into `out` in the form asked.
void convertFrame(const SampleForm& form, const void* raw, int side, const FrameForm& wanted, std::int16_t* out,
                  CountChanges& changes) {
    const int samples = side * side;
    std::vector<std::int16_t> whole;
    const bool reduce = side == 128 && wanted.matrix == FrameForm::Matrix::Reduced;
    std::int16_t* target = out;
    if (reduce) {
        whole.resize(static_cast<std::size_t>(samples));
        target = whole.data();
    }
    const bool tenfold = wanted.samples == FrameForm::Samples::Tenfold;
    for (int i = 0; i < samples; ++i) {
        const std::uint32_t stored = form.bitsAllocated == 8 ? static_cast<const Uint8*>(raw)[i]
                                                             : static_cast<const Uint16*>(raw)[i];
        const long v = form.value(stored);
        if (form.rescaled) {
            const auto sample = static_cast<float>(static_cast<double>(v) * form.slope + form.intercept);
            target[i] = tenfold ? scaleSample(sample) : countOf(sample, changes);
        } else {
            const auto sample = static_cast<std::int16_t>(static_cast<std::uint16_t>(v));
            target[i] = tenfold ? scaleSample(sample) : sample;
        }
    }
    if (reduce) reduceTo64(whole.data(), out);
}

Status loadObject(DcmDataset& data, E_TransferSyntax xfer, Study& study, FrameSink& sink, const SourceChoice& choice,
                  const LoadOptions& options) {
    registerDecoders();
    Status out;
    Where& w = out.where;
    StudyRecord& r = study.record;
    study.flags.reverseFrames = false;
    study.flags.reducedMatrix = false;

    // What the object is.
    if (stringOf(data, DCM_SOPClassUID) != UID_NuclearMedicineImageStorage)
        return refused(QT_TRANSLATE_NOOP("dicom", "not a DICOM NM image (its SOP class is not NM Image Storage)"));
    const std::string kind = stringOf(data, DCM_ImageType, 2);
    const bool gated = kind == "GATED TOMO";
    if (!gated && kind != "TOMO")
        return refused(QT_TRANSLATE_NOOP(
            "dicom", "not a SPECT projection acquisition (Image Type value 3 is neither GATED TOMO nor TOMO)"));

    // The sample form.
    long samplesPerPixel = 1, bitsAllocated = 0, bitsStored = 0, highBit = -1, representation = 0;
    integerOf(data, DCM_SamplesPerPixel, samplesPerPixel);
    integerOf(data, DCM_BitsAllocated, bitsAllocated);
    if (!integerOf(data, DCM_BitsStored, bitsStored)) bitsStored = bitsAllocated;
    if (!integerOf(data, DCM_HighBit, highBit)) highBit = bitsStored - 1;
    integerOf(data, DCM_PixelRepresentation, representation);
    if (samplesPerPixel != 1 || (bitsAllocated != 8 && bitsAllocated != 16) || bitsStored < 1 ||
        bitsStored > bitsAllocated || highBit != bitsStored - 1 || (representation != 0 && representation != 1))
        return refused(QT_TRANSLATE_NOOP(
            "dicom", "a sample form other than one 8- or 16-bit integer per pixel (Samples per Pixel, Bits "
                     "Allocated, Bits Stored, High Bit, Pixel Representation)"));
    SampleForm form{static_cast<int>(bitsAllocated), static_cast<int>(bitsStored), representation == 1, false, 1.0,
                    0.0};
    const bool hasSlope = decimalOf(data, DCM_RescaleSlope, form.slope);
    const bool hasIntercept = decimalOf(data, DCM_RescaleIntercept, form.intercept);
    if (!hasSlope) form.slope = 1.0;
    if (!hasIntercept) form.intercept = 0.0;
    form.rescaled = form.slope != 1.0 || form.intercept != 0.0;

    // The matrix.
    long rows = 0, columns = 0;
    integerOf(data, DCM_Rows, rows);
    integerOf(data, DCM_Columns, columns);
    w.rows = static_cast<int>(rows);
    w.columns = static_cast<int>(columns);
    w.sampleBits = static_cast<int>(bitsAllocated);
    study.geometry.rows = static_cast<std::int16_t>(rows);
    study.geometry.columns = static_cast<std::int16_t>(columns);
    if (!((rows == 64 && columns == 64) || (rows == 128 && columns == 128))) {
        out.code = kNotSupported;
        out.reason = Reason::Geometry;
        return out;
    }
    const int side = static_cast<int>(rows);

    // The frames and their vectors.
    long frames = 0;
    // More frames than eight frame stores' worth (several energy windows
    // and R-R intervals of a full study) is no study this converter reads;
    // the bound also keeps the decoding of compressed data within 256 MiB.
    constexpr long kMostFrames = 8 * FrameStore::kSlots;
    if (!integerOf(data, DCM_NumberOfFrames, frames) || frames < 1 || frames > kMostFrames)
        return refused(QT_TRANSLATE_NOOP("dicom", "no Number of Frames, or more than 8192"));
    std::vector<DcmTagKey> pointer;
    DcmElement* pointerElement = nullptr;
    if (data.findAndGetElement(DCM_FrameIncrementPointer, pointerElement).good() && pointerElement)
        for (unsigned long i = 0; i < pointerElement->getVM(); ++i) {
            DcmTagKey tag;
            if (pointerElement->getTagVal(tag, i).good()) pointer.push_back(tag);
        }
    Vector windows, detectors, rotations, intervals, slots, views;
    for (auto [tag, vector] : {std::pair{DCM_EnergyWindowVector, &windows}, {DCM_DetectorVector, &detectors},
                               {DCM_RotationVector, &rotations}, {DCM_RRIntervalVector, &intervals},
                               {DCM_TimeSlotVector, &slots}, {DCM_AngularViewVector, &views}})
        if (Status s = readVector(data, pointer, tag, frames, *vector); !s.ok()) return s;
    if (!views.listed)
        return refused(QT_TRANSLATE_NOOP("dicom", "the Frame Increment Pointer lists no Angular View Vector"));
    if (gated && !slots.listed)
        return refused(QT_TRANSLATE_NOOP(
            "dicom", "a gated object whose Frame Increment Pointer lists no Time Slot Vector"));
    if (several(rotations)) return refused(QT_TRANSLATE_NOOP("dicom", "more than one rotation"));
    if (choice.energyWindow == 0 && several(windows))
        return refused(QT_TRANSLATE_NOOP("dicom", "more than one energy window: choose one with --energy-window N"));
    if (choice.energyWindow != 0 && !holds(windows, choice.energyWindow))
        return refused(QT_TRANSLATE_NOOP(
            "dicom", "the object holds no frame of the chosen energy window (--energy-window)"));
    if (gated && choice.rrInterval == 0 && several(intervals))
        return refused(QT_TRANSLATE_NOOP("dicom", "more than one R-R interval: choose one with --rr-interval N"));
    if (gated && choice.rrInterval != 0 && !holds(intervals, choice.rrInterval))
        return refused(QT_TRANSLATE_NOOP(
            "dicom", "the object holds no frame of the chosen R-R interval (--rr-interval)"));

    // The frames taken, and the extent of (detector, time slot, view).
    std::vector<int> taken;
    int detectorCount = 0, slotCount = 1, viewCount = 0;
    for (long i = 0; i < frames; ++i) {
        const auto k = static_cast<std::size_t>(i);
        if (choice.energyWindow != 0 && windows.values[k] != choice.energyWindow) continue;
        if (gated && choice.rrInterval != 0 && intervals.values[k] != choice.rrInterval) continue;
        const int d = detectors.values[k], t = gated ? slots.values[k] : 1, v = views.values[k];
        if (d < 1 || t < 1 || v < 1)
            return refused(QT_TRANSLATE_NOOP("dicom", "a detector, time slot or angular view numbered 0"));
        detectorCount = std::max(detectorCount, d);
        slotCount = std::max(slotCount, t);
        viewCount = std::max(viewCount, v);
        taken.push_back(static_cast<int>(i));
    }

    // The facts, as the projection header's elements set them.
    r.thick = 0.0;
    resetGating(r);
    TextDecoder decode(data);
    copyText(r.name, decode.name(stringOf(data, DCM_PatientName)));
    copyText(r.id, decode.identifier(stringOf(data, DCM_PatientID)));
    // Patient's Sex is a code string, ASCII by definition: any other byte
    // stands as "_", as the projection reader writes a byte it cannot show.
    std::string sex = stringOf(data, DCM_PatientSex).substr(0, 1);
    if (!sex.empty() && static_cast<unsigned char>(sex[0]) >= 0x80) sex = "_";
    copyText(r.sex, sex);
    copyText(r.date, dateText(stringOf(data, DCM_StudyDate)));
    copyText(r.time, timeText(stringOf(data, DCM_StudyTime)));
    long hr = 0;
    if (integerOf(data, DCM_HeartRate, hr) && (hr < 0 || hr > 32767)) hr = 0;
    r.hr = static_cast<std::int16_t>(hr);
    r.division = static_cast<std::int16_t>(gated ? slotCount : 0);
    double spacing = 0.0;
    decimalOf(data, DCM_PixelSpacing, spacing);
    r.pixel = spacing;
    double thickness = 0.0;
    study.geometry.slicePixels = 1;
    if (decimalOf(data, DCM_SliceThickness, thickness)) {
        r.thick = thickness;
        const double ratio = spacing > 0 ? std::round(thickness / spacing) : 0.0;
        if (ratio >= 1 && ratio <= 32767) study.geometry.slicePixels = static_cast<std::int16_t>(ratio);
    }
    {
        std::string tracer;
        DcmItem* drug = nullptr;
        if (data.findAndGetSequenceItem(DCM_RadiopharmaceuticalInformationSequence, drug, 0).good() && drug) {
            DcmItem* code = nullptr;
            if (drug->findAndGetSequenceItem(DCM_RadionuclideCodeSequence, code, 0).good() && code)
                if (const NuclideCode* nuclide = nuclideOfCode(stringOf(*code, DCM_CodeValue)))
                    tracer = nuclide->spelling;
            if (tracer.empty()) tracer = decode.ascii(stringOf(*drug, DCM_Radiopharmaceutical));
        }
        copyText(r.tracer, tracer.empty() ? std::string("99mTc") : tracer);
    }
    w.hr = r.hr;
    w.division = r.division;
    w.imageCount = static_cast<std::int32_t>(taken.size());

    // Every (detector, time slot, view) exactly once; each division holds
    // the views of detector 1, then those of detector 2, ...
    r.frames = static_cast<std::int32_t>(detectorCount) * viewCount;
    w.frames = r.frames;
    if (r.frames > FrameStore::kSlots || slotCount > 0xFFFF || !framesFitStore(r)) {
        out.code = kNotSupported;
        out.reason = Reason::StoreFull;
        return out;
    }
    const int passes = slotCount;
    w.passes = passes;
    std::vector<int> place(static_cast<std::size_t>(passes) * static_cast<std::size_t>(r.frames), -1);
    for (const int i : taken) {
        const auto k = static_cast<std::size_t>(i);
        const std::size_t at = (static_cast<std::size_t>(gated ? slots.values[k] : 1) - 1) * r.frames +
                               (static_cast<std::size_t>(detectors.values[k]) - 1) * viewCount + views.values[k] - 1;
        if (place[at] >= 0)
            return refused(QT_TRANSLATE_NOOP(
                "dicom", "a (detector, time slot, angular view) occurs in more than one frame"));
        place[at] = i;
    }
    for (const int i : place)
        if (i < 0) return refused(QT_TRANSLATE_NOOP("dicom", "a (detector, time slot, angular view) has no frame"));

    // The pixel data: decoded where it is compressed, then frame by frame.
    const DcmXfer transfer(xfer);
    if (transfer.isEncapsulated()) {
        if (xfer == EXS_JPEG2000 || xfer == EXS_JPEG2000LosslessOnly || xfer == EXS_JPEG2000Multicomponent ||
            xfer == EXS_JPEG2000MulticomponentLosslessOnly)
            return refused(QT_TRANSLATE_NOOP("dicom", "JPEG 2000 pixel data, which the converter does not decode"));
        if (transfer.isLossy())
            return refused(QT_TRANSLATE_NOOP(
                "dicom", "lossy compressed pixel data: the counts are no longer the camera's"));
        if (xfer != EXS_JPEGProcess14 && xfer != EXS_JPEGProcess14SV1 && xfer != EXS_JPEGLSLossless &&
            xfer != EXS_RLELossless)
            return refused(QT_TRANSLATE_NOOP("dicom", "compressed pixel data in a form the converter does not decode"));
        const OFCondition decoded = data.chooseRepresentation(EXS_LittleEndianExplicit, nullptr);
        if (decoded == EC_MemoryExhausted) return statusOf(Reason::NoMemory);
        if (decoded.bad())
            return cut(QT_TRANSLATE_NOOP(
                "dicom", "the compressed pixel data cannot be decoded: it is damaged or cut short"));
    }
    DcmElement* pixels = nullptr;
    if (data.findAndGetElement(DCM_PixelData, pixels).bad() || !pixels)
        return refused(QT_TRANSLATE_NOOP("dicom", "no Pixel Data"));
    Uint8* bytes8 = nullptr;
    Uint16* words16 = nullptr;
    const OFCondition got = bitsAllocated == 8 ? pixels->getUint8Array(bytes8) : pixels->getUint16Array(words16);
    const void* raw = bitsAllocated == 8 ? static_cast<const void*>(bytes8) : static_cast<const void*>(words16);
    if (got == EC_MemoryExhausted) return statusOf(Reason::NoMemory);
    const std::size_t available = got.good() && raw ? pixels->getLength() : 0;
    const std::size_t sampleBytes = bitsAllocated / 8;
    const std::size_t frameBytes = static_cast<std::size_t>(side) * side * sampleBytes;
    const std::size_t rowBytes = static_cast<std::size_t>(side) * sampleBytes;
    for (const int i : taken) {
        const std::size_t end = (static_cast<std::size_t>(i) + 1) * frameBytes;
        if (end > available) {
            // The first frame, in file order, that the data does not hold whole.
            const std::size_t first = available / frameBytes;
            out.code = kEndsEarly;
            out.reason = Reason::PixelDataEnds;
            w.image = static_cast<int>(first) + 1;
            w.row = static_cast<int>((available - first * frameBytes) / rowBytes) + 1;
            return out;
        }
    }

    const FrameLayout layout{options.form.matrix == FrameForm::Matrix::Source ? side : 64, passes, r.frames};
    if (Status s = sink.begin(study, layout); !s.ok()) return s;
    CountChanges ignored;
    CountChanges& changes = options.changes ? *options.changes : ignored;
    for (int d = 0; d < passes; ++d)
        for (int f = 0; f < r.frames; ++f) {
            const int i = place[static_cast<std::size_t>(d) * r.frames + f];
            const auto* bytes = static_cast<const unsigned char*>(raw) + static_cast<std::size_t>(i) * frameBytes;
            convertFrame(form, bytes, side, options.form, sink.slot(d, f), changes);
            if (Status s = sink.stored(d, f); !s.ok()) return s;
        }

    if (side == 128 && options.form.matrix == FrameForm::Matrix::Reduced) {
        study.geometry.columns = 64;
        study.geometry.rows = 64;
        r.pixel *= 2;
        study.flags.reducedMatrix = true;
    }
    out.code = kOk;
    out.reason = Reason::Done;
    return out;
}

}  // namespace

std::span<const UsedAttribute> attributesUsed() { return kUsed; }

Status loadDicomDataset(DcmDataset& dataset, Study& study, FrameSink& sink, const SourceChoice& choice,
                        const LoadOptions& options) {
    try {
        return loadObject(dataset, dataset.getOriginalXfer(), study, sink, choice, options);
    } catch (const std::bad_alloc&) {
        return statusOf(Reason::NoMemory);
    }
}

Status loadDicomStudy(const char* path, Study& study, FrameSink& sink, const SourceChoice& choice,
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
        if (!dicom) return refused(QT_TRANSLATE_NOOP("dicom", "not a DICOM file: no \"DICM\" at offset 128"));
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
                return cut(QT_TRANSLATE_NOOP("dicom", "the file ends early, inside an element"));
            return refused(QT_TRANSLATE_NOOP("dicom", "not a DICOM object the converter can parse"));
        }
        return loadObject(*file.getDataset(), file.getDataset()->getOriginalXfer(), study, sink, choice, options);
    } catch (const std::bad_alloc&) {
        return statusOf(Reason::NoMemory);
    }
}

}  // namespace trevik::dicom
