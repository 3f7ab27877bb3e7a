// One read of an NM object: what it is, its sample form, its study facts
// (the record, the geometry and the acquisition: detectors, views, beats,
// energy windows and R-R intervals with their names and ranges, every
// coded nuclide, the series) and its frame vectors, each attribute read
// once, through the NM attribute table; the patient's name decoded once.
// A load of one energy window and R-R interval then works from this read
// alone, and the pixel data is read at the first load and kept for the
// others.
#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcxfer.h>

#include <memory>
#include <string>

#include "reader/dicom/frame_plan.h"
#include "reader/dicom/pixels.h"
#include "study/load_options.h"
#include "study/status.h"
#include "study/study.h"

namespace trevik::dicom {

struct ObjectRead {
    bool gated = false;
    SampleForm form{};
    FrameVectors vectors;
    // Every fact of the object but those of one window: the record's
    // division and frames are set by each load.
    StudyFacts facts{};
    std::string patientName;  // UTF-8: the first name, every component group
    std::string patientId;    // UTF-8
    Where where{};            // what a later refusal says of the object

    // The pixel data, read at the first load; `framewise`: uncompressed
    // little-endian data checked whole at the first load and each load's
    // frames read alone.
    bool framewise = false;
    bool pixelsRead = false;
    Status pixelStatus;
    E_TransferSyntax xfer = EXS_Unknown;
    StoredFrames stored;
};

// Reads `data` once into `out` (refused as a load refuses it: not an NM
// SPECT object, an unreadable sample form or matrix, frame vectors that do
// not fit). `out` is best held on the heap.
Status readObject(DcmDataset& data, ObjectRead& out);

// Loads the frames of `choice` of the object read into `read` into `study`
// and `sink`: the facts settled for the choice (its label in the comment
// where the object gives none), then the frames. The pixel data of `data`
// is read (and decoded) at the first call, and kept in `read`.
Status loadRead(DcmDataset& data, ObjectRead& read, StudyFacts& study, FrameSink& sink, const SourceChoice& choice,
                const LoadOptions& options);

// A DICOM file parsed and read once, for a program that converts several
// of its energy windows or asks which to take before it converts.
class HeldObject {
public:
    HeldObject();
    ~HeldObject();
    HeldObject(const HeldObject&) = delete;
    HeldObject& operator=(const HeldObject&) = delete;

    // Parses and reads the file at `path`: the status of its parse
    // (parseDicomFile). A data set that is no object this reader takes
    // keeps its refusal for the first load. `framewise`: each load reads
    // only the frames it takes from the file (ObjectRead), for a program
    // that converts its loads at once, not one that holds the object while
    // the file may change.
    Status read(const char* path, bool framewise = false);
    // The object read; null when it was not read as an NM object.
    const ObjectRead* object() const;
    // Loads `choice` of the object read (as loadRead does); a file that was
    // not parsed is loaded from `path` as loadDicomStudy loads it.
    Status load(const char* path, StudyFacts& study, FrameSink& sink, const SourceChoice& choice,
                const LoadOptions& options);
    // Frees the object: a later load reads the file again.
    void release();

private:
    std::unique_ptr<DcmFileFormat> file_;
    std::unique_ptr<ObjectRead> read_;
    Status readStatus_;
};

// The reads of an object, noted for the tests that check each happens once:
// a data set parsed from its file, its facts read, its patient's name
// decoded, its pixel data read. Counted in the process; in a build with
// tests, also written one word a line to the file that TREVIK_READ_LOG
// names, so that a test sees the reads of a program it runs.
enum class ReadStep { Parse, Facts, Name, Pixels };
void noteRead(ReadStep step);
int readsOf(ReadStep step);

}  // namespace trevik::dicom
