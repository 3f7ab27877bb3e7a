// DICOM TLS for the receiving node, beside the transport layer of tls.h:
// the common name of the certificate a peer showed.
#pragma once

#include <string>

struct T_ASC_Association;

namespace trevik::dicom {

// The common name (CN) of the subject of the certificate the peer of
// `association` showed; empty when it showed none or it has no CN.
std::string peerCommonName(T_ASC_Association* association);

}  // namespace trevik::dicom
