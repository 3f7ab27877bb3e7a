// A gated SPECT study in a DICOM NM object, read through DCMTK: the facts
// into the study record, the frames to a frame sink in the form it asks,
// placed by their detector, time slot and angular view.
#pragma once

#include <cstdint>
#include <vector>

#include "dicom/nm_attributes.h"
#include "study/acquisition.h"
#include "study/load_options.h"
#include "study/frame_sink.h"
#include "study/status.h"
#include "study/study.h"

class DcmDataset;
class DcmFileFormat;

namespace trevik::dicom {

// Whether the file at `path` is a DICOM Part 10 file ("DICM" at offset 128).
// Plain C++ (reader/dicom/part10.h): programs without DCMTK use it too.
bool isDicomFile(const char* path);

// The attributes the reader takes into account, for the inspection to
// list: the rows of the NM attribute table it reads, in tag order.
std::vector<const NmAttribute*> attributesUsed();

// Loads the NM object of the DICOM file at `path` into `study` and `sink`,
// as loadStudy loads a projection file: the same codes (1 cannot open, 2 not
// an object this converter reads, 4 ends early, 8 memory) with the reason in
// the status words.
Status loadDicomStudy(const char* path, StudyFacts& study, FrameSink& sink, const SourceChoice& choice,
                      const LoadOptions& options = {});

// Parses the DICOM file at `path` whole into `file`, refused as
// loadDicomStudy refuses it (1 cannot open, 2 no DICOM file or nested too
// deep, 4 ends early, 8 memory): the one parse of a file that is then read
// once (object_read.h) for each of its energy windows.
Status parseDicomFile(const char* path, DcmFileFormat& file);

// The same from a data set already in memory (an object received over the
// network). Compressed pixel data is decoded in place: the data set gains
// its uncompressed representation (the compressed one stays). An object of
// more than 8192 frames is refused.
Status loadDicomDataset(DcmDataset& dataset, StudyFacts& study, FrameSink& sink, const SourceChoice& choice,
                        const LoadOptions& options = {});

}  // namespace trevik::dicom
