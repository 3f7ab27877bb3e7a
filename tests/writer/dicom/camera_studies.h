// Studies as the camera recorded them, built in memory for the tests of the
// NM object and of trevik-dicom.
#pragma once

#include <cstring>

#include "writer/dicom/nm_object.h"

namespace trevik::dicom::test {

struct Kind {
    int side = 64;
    int divisions = 8;  // 0: ungated
    int frames = 32;
    bool floats = false;
    bool reverse = false;
};

// Frame (d, f) of the file holds d * 100 + f in its first sample (the
// marker) and a varied picture elsewhere; the synthesiser's patient facts.
inline CameraStudy cameraStudy(const Kind& kind) {
    CameraStudy study;
    StudyRecord& r = study.record;
    std::strcpy(r.name, "SAMPLE PATIENT");
    std::strcpy(r.id, "A123-45");
    std::strcpy(r.sex, "M");
    std::strcpy(r.date, "2001.05.14");
    std::strcpy(r.time, "10:23:45");
    std::strcpy(r.tracer, "99mTc");
    r.pixel = kind.side == 128 ? 3.2 : 6.4;
    r.hr = kind.divisions > 0 ? 60 : 0;
    r.division = static_cast<std::int16_t>(kind.divisions);
    study.geometry = {static_cast<std::int16_t>(kind.side), static_cast<std::int16_t>(kind.side), 2};
    study.flags.reverseFrames = kind.reverse;
    study.floatSamples = kind.floats;
    study.layout = {kind.side, kind.divisions > 1 ? kind.divisions : 1, kind.frames};
    study.samples.resize(static_cast<std::size_t>(study.layout.passes) * kind.frames * kind.side * kind.side);
    for (int d = 0; d < study.layout.passes; ++d)
        for (int f = 0; f < kind.frames; ++f) {
            std::int16_t* frame = study.frame(d, f);
            for (int i = 0; i < kind.side * kind.side; ++i)
                frame[i] = static_cast<std::int16_t>((i * 7 + f) % 900 - 100);
            frame[0] = static_cast<std::int16_t>(d * 100 + f);
        }
    return study;
}

}  // namespace trevik::dicom::test
