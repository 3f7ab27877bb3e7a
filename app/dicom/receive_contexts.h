// The presentation contexts of the receiving node, and the words that name
// what it takes but cannot convert.
//
// NM objects are taken in the uncompressed syntaxes and in the compressed
// ones the reader decodes; every other storage SOP class, and NM in the
// lossy JPEG and JPEG-LS syntaxes (after every lossless one, so that a
// sender that offers both gets a lossless one), are taken too, so that an
// object the node cannot convert arrives and is refused by its C-STORE
// status, with a log line that names its SOP class or transfer syntax,
// rather than left unsent by the caller with nothing in the node's log to
// say why.
#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/scpcfg.h>

#include <string>

namespace trevik::dicom {

// Adds the node's presentation contexts to `config`; false when DCMTK
// takes one of them not.
bool addContexts(DcmSharedSCPConfig& config);

// Words for an object of `sopClass` in `transferSyntax` that the node
// takes but does not convert: "of SOP class NAME (UID)" or "in the
// transfer syntax NAME (UID)"; empty for an NM object in a syntax the
// reader decodes.
std::string contextWords(const std::string& sopClass, const std::string& transferSyntax);

}  // namespace trevik::dicom
