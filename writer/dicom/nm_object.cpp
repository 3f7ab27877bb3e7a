#include "writer/dicom/nm_object.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "dicom/text.h"
#include "dicom/uid.h"
#include "dicom/values.h"
#include "study/rules.h"
#include "writer/dicom/nm_builder.h"

namespace trevik::dicom {

namespace {

Status refused(const char* detail) {
    Status status = statusOf(Reason::NotSupported);
    status.where.detail = detail;
    return status;
}

Status noMemory() { return statusOf(Reason::NoMemory); }

std::string optionsText(const NmOptions& options) {
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "%.17g/%.17g/%s", options.startAngle, options.arc,
                  options.direction == Rotation::Clockwise ? "CW" : "CC");
    return buffer;
}

// What the series and instance UIDs derive from when no digest of the
// source's bytes is given: every fact the object is made of.
std::string contentDigest(const NmStudy& study) {
    Sha256 hash;
    const StudyRecord& r = study.facts.record;
    for (const char* field : {r.name, r.id, r.sex, r.date, r.time, r.tracer, r.comment}) hash.field(field);
    char numbers[160];
    std::snprintf(numbers, sizeof numbers, "%.17g %.17g %.17g %d %d %d %d %d %d %d %d", r.pixel,
                  static_cast<double>(r.height), static_cast<double>(r.weight), r.hr, r.division,
                  study.facts.geometry.slicePixels, study.facts.flags.reverseFrames ? 1 : 0, study.frames.floatSamples ? 1 : 0,
                  study.frames.layout.side, study.frames.layout.passes, study.frames.layout.frames);
    hash.field(numbers);
    hash.add(study.frames.samples.data(), study.frames.samples.size() * sizeof(std::int16_t));
    return hexDigest(hash.finish());
}

// The record's texts as DICOM values; `ascii` whether every one is plain
// ASCII (which decides the character set).
struct Texts {
    bool ascii = true;
    std::string name, id, tracer, comments;
    std::optional<std::string> date, time;
};

// A text of the record as a DICOM value, with a warning when bytes changed.
std::string value(const char* field, std::size_t width, TextUse use, const char* what, Texts& texts,
                  std::vector<std::string>* warnings) {
    ConvertedText converted = toUtf8(std::string_view(field, strnlen(field, width)), use);
    texts.ascii = texts.ascii && converted.ascii;
    if (converted.replaced && warnings)
        warnings->push_back(std::string(what) +
                            ": bytes that are neither UTF-8 nor CP932, or not allowed in the value, written as ?");
    return converted.text;
}

Texts recordTexts(const StudyRecord& r, std::vector<std::string>* warnings) {
    Texts t;
    t.name = value(r.name, sizeof r.name, TextUse::PersonName, "patient's name", t, warnings);
    t.id = value(r.id, sizeof r.id, TextUse::Value, "patient ID", t, warnings);
    t.tracer = value(r.tracer, sizeof r.tracer, TextUse::Value, "tracer", t, warnings);
    t.comments = value(r.comment, sizeof r.comment, TextUse::FreeText, "comment", t, warnings);
    t.date = dateValue(std::string_view(r.date, strnlen(r.date, sizeof r.date)));
    t.time = timeValue(std::string_view(r.time, strnlen(r.time, sizeof r.time)));
    // A date or time that is no DA or TM value is kept in the comments.
    auto keep = [&](const char* label, const char* field, std::size_t width, const char* what) {
        const std::string text = value(field, width, TextUse::FreeText, what, t, warnings);
        if (!t.comments.empty()) t.comments += "; ";
        t.comments += std::string(label) + " as recorded: " + text;
    };
    if (!t.date && r.date[0]) keep("Study Date", r.date, sizeof r.date, "study date");
    if (!t.time && r.time[0]) keep("Study Time", r.time, sizeof r.time, "study time");
    return t;
}

// SOP Common, General Study and Series: the UIDs derived from the content.
void putIdentity(const NmStudy& study, const NmOptions& options, DcmDataset& data, Builder& b) {
    const StudyRecord& r = study.facts.record;
    b.text(data, Nm::SopClassUid, kNmImageStorage);
    const std::string digest = options.sourceDigest.empty() ? contentDigest(study) : options.sourceDigest;
    const std::string opts = optionsText(options);
    // A source without patient ID, date and time would put every such
    // examination into one study: its study is then its own.
    Sha256 studyHash;
    studyHash.field("study").field(r.id).field(r.date).field(r.time);
    if (!r.id[0] && !r.date[0] && !r.time[0]) studyHash.field(digest);
    b.text(data, Nm::SopInstanceUid, uidFromDigest(Sha256().field("instance").field(digest).field(opts).finish()));
    b.text(data, Nm::StudyInstanceUid, uidFromDigest(studyHash.finish()));
    b.text(data, Nm::SeriesInstanceUid, uidFromDigest(Sha256().field("series").field(digest).field(opts).finish()));
    b.empty(data, Nm::AccessionNumber);
    b.text(data, Nm::Modality, "NM");
    b.empty(data, Nm::Manufacturer);
    b.empty(data, Nm::ReferringPhysicianName);
    b.empty(data, Nm::StudyId);
    b.text(data, Nm::SeriesNumber, "1");
    b.text(data, Nm::InstanceNumber, "1");
    b.empty(data, Nm::PatientOrientation);
}

// Patient, study and acquisition facts of the record: every row whose fact
// the table binds for writing, then the texts the writer converts itself
// (with their warnings and the character set they decide).
void putFacts(const NmStudy& study, const Texts& t, DcmDataset& data, Builder& b) {
    for (const NmAttribute& row : nmAttributes())
        if ((row.use & kWritten) && row.fact && row.fact->write)
            if (const std::optional<std::string> value = row.fact->write(study.facts)) b.text(data, row.id, *value);
    if (!t.ascii) b.text(data, Nm::SpecificCharacterSet, "ISO_IR 192");
    if (study.frames.floatSamples)
        b.text(data, Nm::DerivationDescription,
               "Float samples of the camera rounded to the nearest integer (halves away from zero) "
               "and clamped to -32768..32767");
    b.text(data, Nm::PatientName, t.name);
    b.text(data, Nm::PatientId, t.id);
    b.empty(data, Nm::PatientBirthDate);
    b.text(data, Nm::BodyPartExamined, "HEART");
    if (!t.comments.empty()) b.text(data, Nm::ImageComments, t.comments);
}

Status checkLayout(const NmStudy& study) {
    const FrameLayout& layout = study.frames.layout;
    if (!convertibleMatrix(layout.side, layout.side)) return refused("frames other than 64 x 64 and 128 x 128");
    if (layout.passes < 1 || layout.frames < 1 || layout.passes * layout.frames > FrameStore::kSlots)
        return refused("a study without frames, or with more than 1024");
    if (study.facts.record.division < 1 && layout.passes != 1) return refused("an ungated study of several divisions");
    const std::size_t frameCount = static_cast<std::size_t>(layout.passes) * layout.frames;
    if (study.frames.samples.size() != frameCount * study.frames.frameSamples()) return refused("frames missing from the study");
    return {};
}

}  // namespace

Status composeNm(const StudyFacts& facts, const CameraFrames& frames, const NmOptions& options, DcmFileFormat& file,
                 std::vector<std::string>* warnings) {
    const NmStudy study{facts, frames};
    if (Status s = checkLayout(study); !s.ok()) return s;
    try {
        file.clear();
        DcmDataset& data = *file.getDataset();
        Builder b;
        // Texts first: whether any is beyond ASCII decides the character set.
        const Texts texts = recordTexts(study.facts.record, warnings);
        putFacts(study, texts, data, b);
        putIdentity(study, options, data, b);
        if (!composeFrames(study, options, texts.tracer, data, b)) return noMemory();
        data.updateOriginalXfer();  // explicit VR little endian, as written

        if (warnings && (study.frames.changes.rounded > 0 || study.frames.changes.clamped > 0))
            warnings->push_back(std::to_string(study.frames.changes.rounded) +
                                " float samples were not integers and were rounded, " +
                                std::to_string(study.frames.changes.clamped) + " were clamped to the 16-bit range");
    } catch (const std::bad_alloc&) {
        return noMemory();
    }
    return {};
}

}  // namespace trevik::dicom
