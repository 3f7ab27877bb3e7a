#include "app/dicom/receive_tls.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmtls/tlslayer.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <vector>

namespace trevik::dicom {

std::unique_ptr<DcmTransportLayer> makeServerTls(const std::string& keyFile, const std::string& certFile,
                                                 const std::string& caFile, std::string& reason) {
    auto layer = std::make_unique<DcmTLSTransportLayer>(NET_ACCEPTOR, nullptr, OFTrue);
    const auto failed = [&](const std::string& why, const OFCondition& condition) {
        reason = why + (condition.bad() ? std::string(": ") + condition.text() : std::string());
        return nullptr;
    };
    OFCondition condition = layer->setPrivateKeyFile(keyFile.c_str(), DCF_Filetype_PEM);
    if (condition.bad()) return failed("--tls-key " + keyFile + " cannot be read as a PEM private key", condition);
    condition = layer->setCertificateFile(certFile.c_str(), DCF_Filetype_PEM);
    if (condition.bad()) return failed("--tls-cert " + certFile + " cannot be read as a PEM certificate", condition);
    if (!layer->checkPrivateKeyMatchesCertificate())
        return failed("--tls-key and --tls-cert are not a key and its certificate", EC_Normal);
    condition = layer->addTrustedCertificateFile(caFile.c_str(), DCF_Filetype_PEM);
    if (condition.bad()) return failed("--tls-ca " + caFile + " cannot be read as a PEM certificate", condition);
    layer->setCertificateVerification(DCV_requireCertificate);
    condition = layer->setTLSProfile(TSP_Profile_BCP195);
    if (condition.good()) condition = layer->activateCipherSuites();
    if (condition.bad()) return failed("the TLS cipher suites cannot be set up", condition);
    return layer;
}

std::string peerCommonName(T_ASC_Association* association) {
    const unsigned long length = ASC_getPeerCertificateLength(association);
    if (length == 0) return {};
    std::vector<unsigned char> der(length);
    if (ASC_getPeerCertificate(association, der.data(), length) != length) return {};
    const unsigned char* at = der.data();
    X509* certificate = d2i_X509(nullptr, &at, static_cast<long>(length));
    if (!certificate) return {};
    char name[256] = "";
    const int size = X509_NAME_get_text_by_NID(X509_get_subject_name(certificate), NID_commonName, name, sizeof name);
    X509_free(certificate);
    return size > 0 ? std::string(name, static_cast<std::size_t>(size)) : std::string();
}

}  // namespace trevik::dicom
