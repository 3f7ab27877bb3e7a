// The frame sink that keeps a load's frames for the NM object: it asks for
// the camera's own matrix and counts and keeps every frame, in file order,
// in CameraFrames; the facts stay where the load settled them.
#pragma once

#include "study/frame_sink.h"
#include "writer/dicom/nm_object.h"

namespace trevik::dicom {

inline constexpr FrameForm kCameraForm{FrameForm::Matrix::Source, FrameForm::Samples::Counts};

class CameraSink : public FrameSink {
public:
    explicit CameraSink(CameraFrames& frames) : frames_(frames) {}
    Status begin(const StudyFacts& facts, const FrameLayout& layout) override;
    std::int16_t* slot(int division, int frame) override;
    Status stored(int division, int frame) override;

private:
    CameraFrames& frames_;
};

}  // namespace trevik::dicom
