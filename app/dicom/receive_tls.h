// DICOM TLS for the receiving node: DCMTK's TLS transport layer on OpenSSL
// with the node's key and certificate, requiring of every peer a
// certificate signed by the given authority; and the common name of the
// certificate a peer showed.
#pragma once

#include <memory>
#include <string>

class DcmTransportLayer;
struct T_ASC_Association;

namespace trevik::dicom {

// The transport layer of a node that accepts only peers with a certificate
// signed by `caFile` (PEM files all three); null with the reason when the
// files cannot be read or do not belong together.
std::unique_ptr<DcmTransportLayer> makeServerTls(const std::string& keyFile, const std::string& certFile,
                                                 const std::string& caFile, std::string& reason);

// The common name (CN) of the subject of the certificate the peer of
// `association` showed; empty when it showed none or it has no CN.
std::string peerCommonName(T_ASC_Association* association);

}  // namespace trevik::dicom
