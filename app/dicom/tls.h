// DICOM over TLS: a DCMTK transport layer (dcmtls, on OpenSSL) with this
// node's key and certificate, trusting one certificate authority. Both ends
// must show a certificate that authority signed: a peer without one, or
// with one of another authority, fails the handshake.
#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/assoc.h>

#include <memory>
#include <string>

class DcmTLSTransportLayer;

namespace trevik::dicom {

struct TlsFiles {
    std::string key;   // PEM private key
    std::string cert;  // PEM certificate of that key
    std::string ca;    // PEM certificate(s) of the authority peers are signed by
    bool any() const { return !key.empty() || !cert.empty() || !ca.empty(); }
    bool all() const { return !key.empty() && !cert.empty() && !ca.empty(); }
};

struct TlsLayerDeleter {
    void operator()(DcmTLSTransportLayer* layer) const;
};
using TlsLayer = std::unique_ptr<DcmTLSTransportLayer, TlsLayerDeleter>;

// The transport layer for `role` (NET_REQUESTOR for send, NET_ACCEPTOR for
// a node); null with `reason` (which file, and why) when a file cannot be
// read or the key does not belong to the certificate.
TlsLayer makeTlsLayer(T_ASC_NetworkRole role, const TlsFiles& files, std::string& reason);

}  // namespace trevik::dicom
