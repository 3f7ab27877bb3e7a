// Keys and certificates of the DICOM TLS tests, made with openssl.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/app/process.h"
#include "tests/support/temp_dir.h"

namespace trevik::test {

// A key and a certificate for `name`, signed by the test's authority "ca".
inline void makeCertificate(const TempDir& dir, const std::string& name) {
    const std::string key = dir.file(name + ".key"), cert = dir.file(name + ".crt");
    if (name == "ca") {
        ASSERT_EQ(runProcess("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                                         "-subj", "/CN=Test authority", "-days", "2"})
                      .exitCode,
                  0);
        return;
    }
    ASSERT_EQ(runProcess("openssl", {"req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out",
                                     dir.file(name + ".csr"), "-subj", "/CN=" + name})
                  .exitCode,
              0);
    ASSERT_EQ(runProcess("openssl", {"x509", "-req", "-in", dir.file(name + ".csr"), "-CA", dir.file("ca.crt"), "-CAkey",
                                     dir.file("ca.key"), "-CAcreateserial", "-out", cert, "-days", "2"})
                  .exitCode,
              0);
}

// The archive's settings for TLS with certificates made by makeCertificate:
// its own "TESTPACS" key and certificate, the test authority trusted, a
// certificate asked of every peer, and the node "NODE" on `nodePort` over TLS.
inline std::string tlsPacsSettings(const TempDir& dir, int nodePort) {
    return "\"DicomTlsEnabled\":true,\"DicomTlsCertificate\":\"" + dir.file("TESTPACS.crt") +
           "\",\"DicomTlsPrivateKey\":\"" + dir.file("TESTPACS.key") + "\",\"DicomTlsTrustedCertificates\":\"" +
           dir.file("ca.crt") + "\",\"DicomTlsRemoteCertificateRequired\":true,\"DicomModalities\":{\"node\":"
           "{\"AET\":\"NODE\",\"Host\":\"127.0.0.1\",\"Port\":" + std::to_string(nodePort) + ",\"UseDicomTls\":true}},";
}

}  // namespace trevik::test
