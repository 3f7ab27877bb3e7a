// The one conversion flow that the batch program, the window and the
// inspection run: the path rule and the gating reset stated once, the load
// into a frame sink, the caller's edits in between, the write.
#pragma once

#include <functional>
#include <string_view>
#include <utility>

#include "reader/projection/loader.h"
#include "study/acquisition.h"
#include "study/load_options.h"
#include "study/status.h"
#include "study/study.h"

namespace trevik {

// The reader of DICOM sources, for the programs that link one (through
// DCMTK); the flow itself stays free of DCMTK and recognises a DICOM file
// by its marker alone.
// A program may bind one it has read already (import's "all" converts
// each energy window from one read of the file).
using DicomReader = std::function<Status(const char* path, StudyFacts& facts, FrameSink& sink,
                                         const SourceChoice& choice, const LoadOptions& options)>;

// A reader of a DICOM data set that the caller holds in memory (an object
// received over the network): the caller binds the data set and its reader,
// so that the flow stays free of DCMTK while every entry converts through it.
using HeldDicomReader = std::function<Status(StudyFacts& facts, FrameSink& sink, const SourceChoice& choice,
                                             const LoadOptions& options)>;

// Whether the open file `fd` is a source this product reads (a projection
// file or a DICOM Part 10 file): such a file is never replaced by an output.
bool isSourceFile(int fd);

// Copies `path` whole into `buffer`; a path longer than 255 bytes or
// holding a zero byte is refused (PathTooLong, PathHasZero) and the buffer
// stays as it was: a cut path would name another file.
Status takePath(PathBuffer& buffer, std::string_view path);

class Conversion {
public:
    // Works on the program's single instances.
    Conversion(Study& study, PathBuffer& inputPath, PathBuffer& outputPath)
        : facts_(study), study_(&study), inputPath_(inputPath), outputPath_(outputPath) {}
    // Works on the facts alone, without a frame store: only loads into a
    // sink (load(source, sink, options)); the others refuse with NotSupported.
    Conversion(StudyFacts& facts, PathBuffer& inputPath, PathBuffer& outputPath)
        : facts_(facts), inputPath_(inputPath), outputPath_(outputPath) {}

    // DICOM files are read with `reader`, taking `choice`'s energy window
    // and R-R interval; without a reader a DICOM source is refused.
    void readDicomWith(DicomReader reader, SourceChoice choice = {}) {
        dicomReader_ = std::move(reader);
        choice_ = choice;
    }

    // Takes `source` into the input path, sets the gating to ungated, and
    // loads the source (a DICOM file, else a projection file): into the
    // study's frame store, or into `sink`.
    Status load(std::string_view source);
    Status load(std::string_view source, FrameSink& sink, const LoadOptions& options);

    // The same from the source open as `fd` at the path `source` (the
    // path rule still holds): a program that has opened the file reads it
    // through that one descriptor.
    Status load(int fd, std::string_view source, FrameSink& sink, const LoadOptions& options);

    // Loads a data set the caller holds through `reader` (with the choice
    // of readDicomWith), as a fresh program loads it: every fact of the
    // study from this object alone, the gating reset first; into the
    // study's frame store, or into `sink`. The input path is not used.
    Status loadHeld(const HeldDicomReader& reader);
    Status loadHeld(const HeldDicomReader& reader, FrameSink& sink, const LoadOptions& options);

    // Takes `output` into the output path and writes the study there.
    Status write(std::string_view output);

    // What the batch program does: both paths taken before anything is
    // read or written, then the output opened; a new file, or one that
    // replaces the old only once complete, takes the frames as they are
    // loaded (GsdStreamSink) and the frame store stays untouched; anything
    // written in place is loaded into the store first and written after.
    // The bytes written are the same either way.
    Status convert(std::string_view source, std::string_view output);

    Study& study() { return *study_; }

private:
    StudyFacts& facts_;
    Study* study_ = nullptr;
    PathBuffer& inputPath_;
    PathBuffer& outputPath_;
    DicomReader dicomReader_ = nullptr;
    SourceChoice choice_{};
};

}  // namespace trevik
