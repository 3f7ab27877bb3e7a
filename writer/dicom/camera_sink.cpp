#include "writer/dicom/camera_sink.h"

#include <new>

#include "study/rules.h"

namespace trevik::dicom {

Status CameraSink::begin(const StudyFacts&, const FrameLayout& layout) {
    Status status;
    if (!convertibleMatrix(layout.side, layout.side) || layout.passes < 1 || layout.frames < 1 ||
        layout.passes > FrameStore::kSlots || layout.frames > FrameStore::kSlots ||
        layout.passes * layout.frames > FrameStore::kSlots) {
        status = statusOf(Reason::NotSupported);
        status.where.detail = "a frame layout the NM object cannot hold";
        return status;
    }
    frames_.layout = layout;
    try {
        frames_.samples.assign(static_cast<std::size_t>(layout.passes) * layout.frames * layout.side * layout.side, 0);
    } catch (const std::bad_alloc&) {
        status = statusOf(Reason::NoMemory);
    }
    return status;
}

std::int16_t* CameraSink::slot(int division, int frame) {
    const FrameLayout& l = frames_.layout;
    if (division < 0 || division >= l.passes || frame < 0 || frame >= l.frames) return nullptr;
    return frames_.frame(division, frame);
}

Status CameraSink::stored(int, int) { return {}; }

}  // namespace trevik::dicom
