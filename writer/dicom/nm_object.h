// A study as one DICOM NM Image object (NM Image Storage, multi-frame):
// the camera's own matrix and counts, the gating and rotation described by
// the frame vectors, the patient and study facts as DICOM values, and UIDs
// derived from the content. Composed in memory with DCMTK; written through
// the same output-file rules as every other format.
#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <cstdint>
#include <string>
#include <vector>

#include "study/frame_sink.h"
#include "study/status.h"
#include "study/study.h"
#include "writer/output_file.h"

class DcmFileFormat;

namespace trevik::dicom {

inline constexpr const char* kNmImageStorage = "1.2.840.10008.5.1.4.1.1.20";

// The frames of a study as the camera recorded them, beside its facts
// (settled for the source's own matrix: `pixel` is the source's pixel
// size): every frame in the source's matrix and counts, in file order.
struct CameraFrames {
    FrameLayout layout{};               // side 64 or 128; passes; frames per pass
    bool floatSamples = false;          // the source stored floats (rounded and clamped here)
    CountChanges changes{};             // what the rounding and clamping changed
    std::vector<std::int16_t> samples;  // layout.passes x frames x side x side

    std::size_t frameSamples() const { return static_cast<std::size_t>(layout.side) * layout.side; }
    std::int16_t* frame(int division, int frame) {
        return samples.data() + (static_cast<std::size_t>(division) * layout.frames + frame) * frameSamples();
    }
    const std::int16_t* frame(int division, int frame) const {
        return samples.data() + (static_cast<std::size_t>(division) * layout.frames + frame) * frameSamples();
    }
};

enum class Rotation : std::uint8_t { Clockwise, CounterClockwise };

// What the source does not record, with the documented defaults.
struct NmOptions {
    double startAngle = 0.0;  // degrees
    double arc = 180.0;       // degrees
    Rotation direction = Rotation::Clockwise;
    // A digest of the source's bytes (its header and images, Hash128 of
    // dicom/uid.h); the series and instance UIDs derive from it and
    // the options. Empty: a digest of the study's content is used instead.
    std::string sourceDigest;
};

// Composes the object into `file` (replacing what it held). The texts of
// `warnings` (when given) say, one line each, what was changed on the way:
// bytes written as "?", samples rounded or clamped. A layout the object
// cannot describe is refused with kNotSupported.
Status composeNm(const StudyFacts& facts, const CameraFrames& frames, const NmOptions& options, DcmFileFormat& file,
                 std::vector<std::string>* warnings = nullptr);

// The object as a DICOM Part 10 file, in explicit VR little endian unless
// another transfer syntax is named (one the data set's pixel data is in).
Status encodeFile(DcmFileFormat& file, std::vector<unsigned char>& bytes,
                  E_TransferSyntax syntax = EXS_LittleEndianExplicit);

// Writes `bytes` to `path` through the output-file rules (writer/output_file.h);
// an existing file for which `keep` says so is kept (KeptSource). With
// Existing::Refuse any existing name is CannotWrite with EEXIST.
Status writeBytes(const char* path, const std::vector<unsigned char>& bytes, const detail::KeepTest& keep = {},
                  detail::OutputFile::Existing existing = detail::OutputFile::Existing::Replace);

}  // namespace trevik::dicom
