// Shared pieces of the writer tests: the worked example of Part 4.1 and the
// file it gives.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "study/study.h"
#include "tests/support/temp_dir.h"
#include "writer/gsd_writer.h"

namespace trevik::test {

// The worked example, every sample of the store distinct per slot.
inline std::unique_ptr<Study> workedExample() {
    auto study = std::make_unique<Study>();
    auto& r = study->record;
    copyText(r.id, "A123-45"), copyText(r.name, "SAMPLE PATIENT"), copyText(r.date, "2001.05.14");
    copyText(r.time, "10:23:45"), copyText(r.sex, "M"), copyText(r.tracer, "99mTc"), copyText(r.comment, "rest study");
    r.height = 165, r.weight = 58.5, r.pixel = 6.4, r.thick = 1.5, r.hr = 60, r.division = 8, r.frames = 32;
    study->geometry.slicePixels = 1;
    for (int i = 0; i < FrameStore::kSlots * FrameStore::kFrameSamples; ++i) {
        study->store.samples[i] = static_cast<std::int16_t>(i * 7 + i / FrameStore::kFrameSamples);
    }
    return study;
}

// The frames (d, f) as little-endian bytes; by default the worked example's 8 x 32 in order.
inline std::string frameBytes(const Study& study, std::vector<std::pair<int, int>> order) {
    if (order.empty()) {
        for (int d = 0; d < 8; ++d)
            for (int f = 0; f < 32; ++f) order.emplace_back(d, f);
    }
    std::string bytes;
    for (const auto& [d, f] : order) {
        for (int i = 0; i < FrameStore::kFrameSamples; ++i) {
            const auto v = static_cast<std::uint16_t>(study.store.frame(d, f)[i]);
            bytes += static_cast<char>(v & 0xFF), bytes += static_cast<char>(v >> 8);
        }
    }
    return bytes;
}

// Writes the study to a fresh file and returns its bytes.
inline std::string writeToString(Study& study) {
    TempDir dir;
    EXPECT_EQ(writeGsd(dir.file("out.gsd").c_str(), study), kWritten);
    return readFile(dir.file("out.gsd"));
}

}  // namespace trevik::test
