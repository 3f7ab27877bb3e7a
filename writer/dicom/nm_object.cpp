#include "writer/dicom/nm_object.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcitem.h>
#include <dcmtk/dcmdata/dcostrmb.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcvrat.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "study/rules.h"
#include "writer/dicom/text.h"
#include "writer/dicom/uid.h"
#include "writer/output_file.h"

namespace trevik::dicom {

namespace {

constexpr NuclideCode kNuclides[] = {
    {"99mTc", "72454006", "^99m^Technetium"}, {"201Tl", "60057003", "^201^Thallium"},
    {"123I", "21572004", "^123^Iodine"},      {"111In", "56609000", "^111^Indium"},
    {"67Ga", "2008008", "^67^Gallium"},       {"131I", "1368003", "^131^Iodine"},
    {"133Xe", "80751004", "^133^Xenon"},      {"81mKr", "61716009", "^81m^Krypton"},
};


Status refused(const char* detail) {
    Status status = statusOf(Reason::NotSupported);
    status.where.detail = detail;
    return status;
}

Status noMemory() { return statusOf(Reason::NoMemory); }

// A DICOM call that can fail only for lack of memory (or a fault of ours,
// which the tests catch): the first failure is kept.
struct Builder {
    bool ok = true;
    void check(const OFCondition& condition) { ok = ok && condition.good(); }

    void text(DcmItem& item, const DcmTagKey& tag, const std::string& value) {
        check(item.putAndInsertString(tag, value.c_str()));
    }
    void empty(DcmItem& item, const DcmTagKey& tag) { check(item.insertEmptyElement(tag)); }
    DcmItem* newItem(DcmItem& item, const DcmTagKey& sequence) {
        DcmItem* child = nullptr;
        check(item.findOrCreateSequenceItem(sequence, child, -2));
        if (!child) ok = false;
        return child;
    }
    void vector(DcmItem& item, const DcmTagKey& tag, const std::vector<Uint16>& values) {
        check(item.putAndInsertUint16Array(tag, values.data(), static_cast<unsigned long>(values.size())));
    }
    void code(DcmItem& item, const DcmTagKey& sequence, const char* value, const char* meaning) {
        if (DcmItem* c = newItem(item, sequence)) {
            text(*c, DCM_CodeValue, value);
            text(*c, DCM_CodingSchemeDesignator, "SCT");
            text(*c, DCM_CodeMeaning, meaning);
        }
    }
};

// A DS value: the shortest of the usual forms that fits 16 characters.
std::string decimal(double value) {
    if (!std::isfinite(value)) return {};
    char buffer[40];
    for (int precision = 12; precision > 0; --precision) {
        std::snprintf(buffer, sizeof buffer, "%.*g", precision, value);
        if (std::strlen(buffer) <= 16) return buffer;
    }
    return {};
}

std::string integer(long long value) { return std::to_string(value); }

std::string optionsText(const NmOptions& options) {
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "%.17g/%.17g/%s", options.startAngle, options.arc,
                  options.direction == Rotation::Clockwise ? "CW" : "CC");
    return buffer;
}

// What the series and instance UIDs derive from when no digest of the
// source's bytes is given: every fact the object is made of.
std::string contentDigest(const StudyFacts& facts, const CameraFrames& frames) {
    Sha256 hash;
    const StudyRecord& r = facts.record;
    for (const char* field : {r.name, r.id, r.sex, r.date, r.time, r.tracer, r.comment}) hash.field(field);
    char numbers[160];
    std::snprintf(numbers, sizeof numbers, "%.17g %.17g %.17g %d %d %d %d %d %d %d %d", r.pixel,
                  static_cast<double>(r.height), static_cast<double>(r.weight), r.hr, r.division,
                  facts.geometry.slicePixels, facts.flags.reverseFrames ? 1 : 0, frames.floatSamples ? 1 : 0,
                  frames.layout.side, frames.layout.passes, frames.layout.frames);
    hash.field(numbers);
    hash.add(frames.samples.data(), frames.samples.size() * sizeof(std::int16_t));
    return hexDigest(hash.finish());
}

// A text of the record as a DICOM value, with a warning when bytes changed.
std::string value(const char* field, std::size_t width, TextUse use, const char* what, bool& ascii,
                  std::vector<std::string>* warnings) {
    ConvertedText converted = toUtf8(std::string_view(field, strnlen(field, width)), use);
    ascii = ascii && converted.ascii;
    if (converted.replaced && warnings)
        warnings->push_back(std::string(what) +
                            ": bytes that are neither UTF-8 nor CP932, or not allowed in the value, written as ?");
    return converted.text;
}

}  // namespace

const NuclideCode* nuclideCode(std::string_view tracer) {
    for (const NuclideCode& nuclide : kNuclides)
        if (tracer == nuclide.spelling) return &nuclide;
    return nullptr;
}

const NuclideCode* nuclideOfCode(std::string_view code) {
    for (const NuclideCode& nuclide : kNuclides)
        if (code == nuclide.code) return &nuclide;
    return nullptr;
}

Status composeNm(const StudyFacts& facts, const CameraFrames& frames, const NmOptions& options, DcmFileFormat& file,
                 std::vector<std::string>* warnings) {
    const FrameLayout& layout = frames.layout;
    const bool gated = facts.record.division >= 1;
    if (layout.side != 64 && layout.side != 128) return refused("frames other than 64 x 64 and 128 x 128");
    if (layout.passes < 1 || layout.frames < 1 || layout.passes * layout.frames > FrameStore::kSlots)
        return refused("a study without frames, or with more than 1024");
    if (!gated && layout.passes != 1) return refused("an ungated study of several divisions");
    const std::size_t frameCount = static_cast<std::size_t>(layout.passes) * layout.frames;
    if (frames.samples.size() != frameCount * frames.frameSamples()) return refused("frames missing from the study");

    try {
        file.clear();
        DcmDataset& data = *file.getDataset();
        Builder b;
        const StudyRecord& r = facts.record;

        // Texts first: whether any is beyond ASCII decides the character set.
        bool ascii = true;
        const std::string name = value(r.name, sizeof r.name, TextUse::Value, "patient's name", ascii, warnings);
        const std::string id = value(r.id, sizeof r.id, TextUse::Value, "patient ID", ascii, warnings);
        const std::string tracer = value(r.tracer, sizeof r.tracer, TextUse::Value, "tracer", ascii, warnings);
        std::string comments =
            value(r.comment, sizeof r.comment, TextUse::FreeText, "comment", ascii, warnings);
        const auto date = dateValue(std::string_view(r.date, strnlen(r.date, sizeof r.date)));
        const auto time = timeValue(std::string_view(r.time, strnlen(r.time, sizeof r.time)));
        auto keep = [&](const char* label, const char* field, std::size_t width, const char* what) {
            const std::string text = value(field, width, TextUse::FreeText, what, ascii, warnings);
            if (!comments.empty()) comments += "; ";
            comments += std::string(label) + " as recorded: " + text;
        };
        if (!date && r.date[0]) keep("Study Date", r.date, sizeof r.date, "study date");
        if (!time && r.time[0]) keep("Study Time", r.time, sizeof r.time, "study time");

        // SOP Common; Patient; General Study.
        if (!ascii) b.text(data, DCM_SpecificCharacterSet, "ISO_IR 192");
        b.text(data, DCM_SOPClassUID, kNmImageStorage);
        const std::string digest = options.sourceDigest.empty() ? contentDigest(facts, frames) : options.sourceDigest;
        const std::string opts = optionsText(options);
        // A source without patient ID, date and time would put every such
        // examination into one study: its study is then its own.
        Sha256 studyHash;
        studyHash.field("study").field(r.id).field(r.date).field(r.time);
        if (!r.id[0] && !r.date[0] && !r.time[0]) studyHash.field(digest);
        const std::string studyUid = uidFromDigest(studyHash.finish());
        const std::string seriesUid = uidFromDigest(Sha256().field("series").field(digest).field(opts).finish());
        const std::string instanceUid =
            uidFromDigest(Sha256().field("instance").field(digest).field(opts).finish());
        b.text(data, DCM_SOPInstanceUID, instanceUid);
        b.text(data, DCM_StudyDate, date.value_or(""));
        b.text(data, DCM_StudyTime, time.value_or(""));
        b.empty(data, DCM_AccessionNumber);
        b.text(data, DCM_Modality, "NM");
        b.empty(data, DCM_Manufacturer);
        b.empty(data, DCM_ReferringPhysicianName);
        // The third value follows the record's division, not its heart rate.
        b.text(data, DCM_ImageType,
               gated ? "ORIGINAL\\PRIMARY\\GATED TOMO\\EMISSION" : "ORIGINAL\\PRIMARY\\TOMO\\EMISSION");
        if (frames.floatSamples)
            b.text(data, DCM_DerivationDescription,
                   "Float samples of the camera rounded to the nearest integer (halves away from zero) "
                   "and clamped to -32768..32767");
        b.text(data, DCM_PatientName, name);
        b.text(data, DCM_PatientID, id);
        b.empty(data, DCM_PatientBirthDate);
        const char sex = r.sex[0];
        b.text(data, DCM_PatientSex, (sex == 'M' || sex == 'F' || sex == 'O') && r.sex[1] == '\0'
                                         ? std::string(1, sex) : std::string());
        if (r.height > 30) b.text(data, DCM_PatientSize, decimal(r.height / 100.0));
        if (r.weight > 3) b.text(data, DCM_PatientWeight, decimal(r.weight));
        b.text(data, DCM_BodyPartExamined, "HEART");

        // Acquisition: slice thickness as the .gsd holds it, heart rate.
        const double pixel = r.pixel;
        const double thickness = writtenThickness(facts);
        if (std::isfinite(thickness) && thickness > 0) b.text(data, DCM_SliceThickness, decimal(thickness));
        // The heart rate of an ungated study too: the .gsd keeps it.
        if (r.hr > 0) b.text(data, DCM_HeartRate, integer(r.hr));
        b.text(data, DCM_StudyInstanceUID, studyUid);
        b.text(data, DCM_SeriesInstanceUID, seriesUid);
        b.empty(data, DCM_StudyID);
        b.text(data, DCM_SeriesNumber, "1");
        b.text(data, DCM_InstanceNumber, "1");
        b.empty(data, DCM_PatientOrientation);
        if (!comments.empty()) b.text(data, DCM_ImageComments, comments);

        // Image Pixel: the camera's own matrix and counts, signed 16 bits.
        b.check(data.putAndInsertUint16(DCM_SamplesPerPixel, 1));
        b.text(data, DCM_PhotometricInterpretation, "MONOCHROME2");
        b.text(data, DCM_NumberOfFrames, integer(static_cast<long long>(frameCount)));
        const DcmTagKey vectors[] = {DCM_EnergyWindowVector, DCM_DetectorVector, DCM_RotationVector,
                                     DCM_RRIntervalVector,   DCM_TimeSlotVector, DCM_AngularViewVector};
        auto* pointer = new DcmAttributeTag(DCM_FrameIncrementPointer);
        unsigned long position = 0;
        for (const DcmTagKey& tag : vectors) {
            if (!gated && (tag == DCM_RRIntervalVector || tag == DCM_TimeSlotVector)) continue;
            b.check(pointer->putTagVal(tag, position++));
        }
        b.check(data.insert(pointer, true));
        b.check(data.putAndInsertUint16(DCM_Rows, static_cast<Uint16>(layout.side)));
        b.check(data.putAndInsertUint16(DCM_Columns, static_cast<Uint16>(layout.side)));
        const std::string spacing = pixel > 0 ? decimal(pixel) : std::string();
        b.text(data, DCM_PixelSpacing, spacing.empty() ? "" : spacing + "\\" + spacing);
        b.check(data.putAndInsertUint16(DCM_BitsAllocated, 16));
        b.check(data.putAndInsertUint16(DCM_BitsStored, 16));
        b.check(data.putAndInsertUint16(DCM_HighBit, 15));
        b.check(data.putAndInsertUint16(DCM_PixelRepresentation, 1));

        // Energy window, radiopharmaceutical: one item each.
        if (DcmItem* window = b.newItem(data, DCM_EnergyWindowInformationSequence))
            b.newItem(*window, DCM_EnergyWindowRangeSequence);
        b.check(data.putAndInsertUint16(DCM_NumberOfEnergyWindows, 1));
        if (DcmItem* drug = b.newItem(data, DCM_RadiopharmaceuticalInformationSequence)) {
            if (const NuclideCode* nuclide = nuclideCode(std::string_view(r.tracer, strnlen(r.tracer, sizeof r.tracer)))) {
                b.code(*drug, DCM_RadionuclideCodeSequence, nuclide->code, nuclide->meaning);
            } else {
                b.empty(*drug, DCM_RadionuclideCodeSequence);
                if (!tracer.empty()) b.text(*drug, DCM_Radiopharmaceutical, tracer);
            }
        }

        // The frame vectors: one value per frame, in the order the frames
        // are written (each division's frames reversed where asked).
        std::vector<Uint16> ones(frameCount, 1), slots, views;
        for (int d = 0; d < layout.passes; ++d)
            for (int j = 0; j < layout.frames; ++j) {
                slots.push_back(static_cast<Uint16>(d + 1));
                views.push_back(static_cast<Uint16>(j + 1));
            }
        b.vector(data, DCM_EnergyWindowVector, ones);
        b.vector(data, DCM_DetectorVector, ones);
        b.check(data.putAndInsertUint16(DCM_NumberOfDetectors, 1));
        if (DcmItem* detector = b.newItem(data, DCM_DetectorInformationSequence)) {
            // The camera records neither its collimator nor the detector's
            // position and orientation: present and empty.
            b.empty(*detector, DCM_CollimatorType);
            b.empty(*detector, DCM_ImagePositionPatient);
            b.empty(*detector, DCM_ImageOrientationPatient);
        }
        b.vector(data, DCM_RotationVector, ones);
        b.check(data.putAndInsertUint16(DCM_NumberOfRotations, 1));
        if (DcmItem* rotation = b.newItem(data, DCM_RotationInformationSequence)) {
            b.text(*rotation, DCM_StartAngle, decimal(options.startAngle));
            b.text(*rotation, DCM_AngularStep, decimal(options.arc / layout.frames));
            b.text(*rotation, DCM_RotationDirection, options.direction == Rotation::Clockwise ? "CW" : "CC");
            b.text(*rotation, DCM_ScanArc, decimal(options.arc));
            b.text(*rotation, DCM_ActualFrameDuration, "0");  // not recorded by the camera
            b.text(*rotation, DCM_NumberOfFramesInRotation, integer(layout.frames));
        }
        if (gated) {
            b.vector(data, DCM_RRIntervalVector, ones);
            b.check(data.putAndInsertUint16(DCM_NumberOfRRIntervals, 1));
            b.vector(data, DCM_TimeSlotVector, slots);
            b.check(data.putAndInsertUint16(DCM_NumberOfTimeSlots, static_cast<Uint16>(layout.passes)));
            // The cardiac cycle (60000 / hr ms) in equal time slots.
            const double cycle = r.hr > 0 ? 60000.0 / r.hr : 0.0;
            const double slotTime = cycle / layout.passes;
            if (DcmItem* gate = b.newItem(data, DCM_GatedInformationSequence))
                if (DcmItem* info = b.newItem(*gate, DCM_DataInformationSequence)) {
                    b.text(*info, DCM_FrameTime, decimal(slotTime));
                    if (r.hr > 0) b.text(*info, DCM_NominalInterval, integer(std::lround(cycle)));
                    for (int d = 0; d < layout.passes; ++d)
                        if (DcmItem* slot = b.newItem(*info, DCM_TimeSlotInformationSequence))
                            b.text(*slot, DCM_TimeSlotTime, decimal(slotTime * d));
                }
        }
        b.vector(data, DCM_AngularViewVector, views);
        b.empty(data, DCM_CountsAccumulated);
        b.empty(data, DCM_PatientOrientationCodeSequence);
        b.empty(data, DCM_PatientGantryRelationshipCodeSequence);
        b.empty(data, DCM_AcquisitionContextSequence);

        // Pixel Data, frame after frame in the written order.
        auto* pixels = new DcmPixelData(DCM_PixelData);
        b.check(data.insert(pixels, true));
        Uint16* words = nullptr;
        b.check(pixels->createUint16Array(static_cast<Uint32>(frameCount * frames.frameSamples()), words));
        if (!b.ok || !words) return noMemory();
        const std::size_t frameBytes = frames.frameSamples() * sizeof(std::int16_t);
        for (int d = 0; d < layout.passes; ++d)
            for (int j = 0; j < layout.frames; ++j) {
                const int f = facts.flags.reverseFrames ? layout.frames - 1 - j : j;
                std::memcpy(words, frames.frame(d, f), frameBytes);
                words += frames.frameSamples();
            }
        if (!b.ok) return noMemory();
        data.updateOriginalXfer();  // explicit VR little endian, as written

        if (warnings && (frames.changes.rounded > 0 || frames.changes.clamped > 0))
            warnings->push_back(std::to_string(frames.changes.rounded) + " float samples were not integers and were rounded, " +
                                std::to_string(frames.changes.clamped) + " were clamped to the 16-bit range");
    } catch (const std::bad_alloc&) {
        return noMemory();
    }
    return {};
}

Status encodeFile(DcmFileFormat& file, std::vector<unsigned char>& bytes, E_TransferSyntax syntax) {
    try {
        bytes.clear();
        bytes.reserve(file.getDataset()->calcElementLength(syntax, EET_UndefinedLength) + 4096);
        if (file.validateMetaInfo(syntax).bad()) return noMemory();
        std::vector<unsigned char> buffer(1 << 20);
        DcmOutputBufferStream out(buffer.data(), buffer.size());
        // Sequences and items of undefined length: older readers (XMedCon)
        // misread empty sequences of explicit length 0.
        file.transferInit();
        OFCondition condition = EC_StreamNotifyClient;
        while (condition == EC_StreamNotifyClient) {
            condition = file.write(out, syntax, EET_UndefinedLength, nullptr);
            void* chunk = nullptr;
            offile_off_t length = 0;
            out.flushBuffer(chunk, length);
            const auto* first = static_cast<const unsigned char*>(chunk);
            bytes.insert(bytes.end(), first, first + length);
        }
        file.transferEnd();
        if (condition.bad()) return noMemory();
    } catch (const std::bad_alloc&) {
        return noMemory();
    }
    return {};
}

Status writeBytes(const char* path, const std::vector<unsigned char>& bytes, const detail::KeepTest& keep,
                  detail::OutputFile::Existing existing) {
    detail::OutputFile output;
    const bool written =
        output.open(path, keep, existing) &&
        output.commit([&](int fd) { return detail::writeAll(fd, bytes.data(), bytes.size()); }, bytes.size());
    Status status;
    if (!written)
        status = output.keptSource() ? statusOf(Reason::KeptSource) : statusOf(Reason::CannotWrite, output.error());
    status.where.output = !written;
    return status;
}

}  // namespace trevik::dicom
