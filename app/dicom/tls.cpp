#include "app/dicom/tls.h"

#include <dcmtk/dcmtls/tlslayer.h>

namespace trevik::dicom {

void TlsLayerDeleter::operator()(DcmTLSTransportLayer* layer) const { delete layer; }

TlsLayer makeTlsLayer(T_ASC_NetworkRole role, const TlsFiles& files, std::string& reason) {
    TlsLayer layer(new DcmTLSTransportLayer(role, nullptr, OFTrue));
    auto failed = [&](const std::string& what, const OFCondition& condition) {
        reason = what + ": " + condition.text();
        return TlsLayer();
    };
    // The current recommendations for TLS, TLS 1.2 and later only, as
    // DCMTK's own tools use by default.
    OFCondition condition = layer->setTLSProfile(TSP_Profile_BCP195_ND);
    if (condition.good()) condition = layer->activateCipherSuites();
    if (condition.bad()) return failed("cannot set up TLS", condition);
    condition = layer->setPrivateKeyFile(files.key.c_str(), DCF_Filetype_PEM);
    if (condition.bad()) return failed("cannot read the private key " + files.key, condition);
    condition = layer->setCertificateFile(files.cert.c_str(), DCF_Filetype_PEM);
    if (condition.bad()) return failed("cannot read the certificate " + files.cert, condition);
    if (!layer->checkPrivateKeyMatchesCertificate()) {
        reason = "the private key " + files.key + " does not belong to the certificate " + files.cert;
        return TlsLayer();
    }
    condition = layer->addTrustedCertificateFile(files.ca.c_str(), DCF_Filetype_PEM);
    if (condition.bad()) return failed("cannot read the certificate authority " + files.ca, condition);
    layer->setCertificateVerification(DCV_requireCertificate);
    return layer;
}

}  // namespace trevik::dicom
