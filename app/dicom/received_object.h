// What the receiving node does with one NM object: the name it gets in the
// inbox, its conversion to the study, and writes that only ever create.
#pragma once

#include <functional>
#include <string>

#include "study/status.h"
#include "study/study.h"

class DcmDataset;

namespace trevik::dicom {

// The base of the names an object gets: Patient ID, Study Date, Study Time
// and Series Number joined by "_", every byte outside letters, digits, "-"
// and "." replaced by "_" (a patient identifier is not a path), a missing
// value as "unknown", a leading "." as "_" (a hidden file would not be
// seen), each value cut to 64 bytes.
std::string receivedBaseName(DcmDataset& dataset);

// Converts the object through the conversion flow that `trevik-dicom
// import` converts a file through: the data set held here is handed to the
// flow with the DICOM source's reader of data sets; every fact of the study
// from this object alone, the frames into the study's frame store.
Status convertReceived(DcmDataset& dataset, Study& study);

// Writes a new file in `directory` through `create` (which must fail with
// CannotWrite and EEXIST on a name that exists): base + extension, or
// base-2 + extension, base-3 ... the first free name, which `name` gets.
Status createNumbered(const std::string& directory, const std::string& base, const std::string& extension,
                      const std::function<Status(const char* path)>& create, std::string& name);

}  // namespace trevik::dicom
