// The frame sink that keeps a load's frames for the NM object: it asks for
// the camera's own matrix and counts and keeps every frame, in file order,
// in a CameraStudy, with the header's facts as they stood when the load
// began (the source's own pixel size).
#pragma once

#include "study/frame_sink.h"
#include "writer/dicom/nm_object.h"

namespace trevik::dicom {

inline constexpr FrameForm kCameraForm{FrameForm::Matrix::Source, FrameForm::Samples::Counts};

class CameraSink : public FrameSink {
public:
    explicit CameraSink(CameraStudy& study) : study_(study) {}
    Status begin(const Study& study, const FrameLayout& layout) override;
    std::int16_t* slot(int division, int frame) override;
    Status stored(int division, int frame) override;

private:
    CameraStudy& study_;
};

}  // namespace trevik::dicom
