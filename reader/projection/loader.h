// Loading one source file: header, then every projection image, delivered
// to a frame sink in the form it asks for (by default into the study's own
// frame store, scaled by 10 and reduced to 64 x 64 where the source is
// 128 x 128).
#pragma once

#include <cstdint>

#include "reader/projection/header.h"
#include "reader/projection/kernels.h"
#include "study/frame_sink.h"
#include "study/load_options.h"
#include "study/status.h"
#include "study/study.h"

namespace trevik {

// Loads the source at `path`: the header into the facts, settled for the
// sink's form before its begin (settleFacts, study/rules.h), every image
// into `sink`. The status's code is 0, 1, 2, 4 or 8, and where it happened
// says what the load found (study/status.h).
Status loadStudy(const char* path, StudyFacts& facts, FrameSink& sink, const LoadOptions& options = {});
// The same from the source open as `fd` (read from its start through a
// descriptor of its own: `fd` stays open), for a program that has opened
// it already.
Status loadStudy(int fd, StudyFacts& facts, FrameSink& sink, const LoadOptions& options = {});
// The same into the study's own frame store.
Status loadStudy(const char* path, Study& study);

}  // namespace trevik
