// How the NM writer puts values into a data set: through the NM attribute
// table for the object's own attributes, by tag for the inner attributes
// of the sequences that only the writer composes. A DICOM call can fail only
// for lack of memory (or a fault of ours, which the tests catch): the first
// failure is kept.
#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcitem.h>

#include <string>
#include <vector>

#include "dicom/nm_attributes.h"
#include "writer/dicom/nm_object.h"

namespace trevik::dicom {

// The study the object is composed from: its facts and its frames.
struct NmStudy {
    const StudyFacts& facts;
    const CameraFrames& frames;
};

struct Builder {
    bool ok = true;
    void check(const OFCondition& condition) { ok = ok && condition.good(); }

    void text(DcmItem& item, Nm id, const std::string& value) { check(putText(item, id, value)); }
    void text(DcmItem& item, const DcmTagKey& tag, const std::string& value) {
        check(item.putAndInsertString(tag, value.c_str()));
    }
    void integer(DcmItem& item, Nm id, long long value) { check(putInteger(item, id, value)); }
    void decimal(DcmItem& item, Nm id, double value) { check(putDecimal(item, id, value)); }
    void empty(DcmItem& item, Nm id) { check(putEmpty(item, id)); }
    void empty(DcmItem& item, const DcmTagKey& tag) { check(item.insertEmptyElement(tag)); }
    DcmItem* newItem(DcmItem& item, const DcmTagKey& sequence) {
        DcmItem* child = nullptr;
        check(item.findOrCreateSequenceItem(sequence, child, -2));
        if (!child) ok = false;
        return child;
    }
    DcmItem* newItem(DcmItem& item, Nm sequence) { return newItem(item, tagOf(sequence)); }
    void vector(DcmItem& item, Nm id, const std::vector<Uint16>& values) {
        check(item.putAndInsertUint16Array(tagOf(id), values.data(), static_cast<unsigned long>(values.size())));
    }
};

// The frames part of the object: Image Pixel, the energy window and
// radiopharmaceutical, the frame vectors with their sequences, the gating,
// and the pixel data; `tracer` is the record's tracer as a DICOM value.
// False when memory ran out.
bool composeFrames(const NmStudy& study, const NmOptions& options, const std::string& tracer, DcmDataset& data,
                   Builder& b);

}  // namespace trevik::dicom
