// What trevik-dicom --version says: its own version and the libraries that
// read and write its objects, each as built against and, where the library
// can tell, as it runs.
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <openssl/crypto.h>
#include <openssl/opensslv.h>

#include "app/dicom/command.h"
#include "reader/dicom/jpeg2000.h"

namespace trevik::dicom {

std::string versionText(const char* program, const char* version) {
    std::string text(program);
    text.append(" ").append(version).append("\nDCMTK: built with ").append(OFFIS_DCMTK_VERSION_STRING);
    text.append("\nOpenSSL: built with ").append(OPENSSL_FULL_VERSION_STR).append(", runs ");
    text.append(OpenSSL_version(OPENSSL_FULL_VERSION_STRING)).append("\n").append(openJpegVersions()).append("\n");
    return text;
}

}  // namespace trevik::dicom
