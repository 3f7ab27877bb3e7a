#include "app/dicom/receive_tls.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/assoc.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <vector>

namespace trevik::dicom {

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
