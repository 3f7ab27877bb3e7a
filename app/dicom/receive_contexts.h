// The presentation contexts of the receiving node, and the words that name
// what it takes but cannot convert.
//
// NM objects are taken in the uncompressed syntaxes and in the compressed
// ones the reader decodes; the storage SOP classes senders commonly offer
// are taken too, so that an object the node cannot convert arrives and is
// refused by its C-STORE status, with a log line that names its SOP class,
// rather than left unsent by the caller with nothing in the node's log to
// say why. NM offered only in syntaxes not taken is named at the request.
#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/scpcfg.h>

#include <string>

namespace trevik::dicom {

// Adds the node's presentation contexts to `config`; false when DCMTK
// takes one of them not.
bool addContexts(DcmSharedSCPConfig& config);

// Words for an object of `sopClass` that the node takes but does not
// convert: "of SOP class NAME (UID)"; empty for NM Image Storage.
std::string contextWords(const std::string& sopClass);

// When the association request offers NM Image Storage only in transfer
// syntaxes the node does not take: words that name them; else empty.
std::string offeredWords(T_ASC_Parameters* params);

}  // namespace trevik::dicom
