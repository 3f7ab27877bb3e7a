// trevik-dicom receive over DICOM TLS: only peers with a certificate of the
// node's authority store, and Orthanc pushes a study over TLS.
#include <gtest/gtest.h>

#include <sys/xattr.h>

#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "tests/app/dicom/dicom_fixtures.h"
#include "tests/app/dicom/pacs_fixture.h"
#include "tests/app/dicom/receive_fixture.h"

namespace trevik::test {
namespace {

// A key and a certificate for `name`, signed by the test's authority "ca".
void makeCertificate(const TempDir& dir, const std::string& name) {
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

TEST(Receive, WithTlsOnlyPeersWithACertificateOfTheAuthorityStore) {
    privateNetwork();
    TempDir dir;
    for (const char* name : {"ca", "NODE", "GAMMACAM"}) makeCertificate(dir, name);
    const std::string dcm = synthesiseAndExport({"--frames", "8"}, dir);
    Node node({"--tls-key", dir.file("NODE.key"), "--tls-cert", dir.file("NODE.crt"), "--tls-ca", dir.file("ca.crt"),
               "--allow", "cn=GAMMACAM"});
    ASSERT_TRUE(node.logs("(DICOM TLS only)")) << node.log();
    const auto store = [&](const std::vector<std::string>& tls) {
        std::vector<std::string> args = tls;
        for (const std::string& arg : node.storescu("ANYNAME")) args.push_back(arg);
        args.push_back(dcm);
        return runProcess("storescu", args).exitCode;
    };
    EXPECT_NE(store({}), 0);  // plain
    EXPECT_NE(store({"+tla", "+cf", dir.file("ca.crt")}), 0);  // no certificate of its own
    EXPECT_TRUE(names(node.inbox()).empty());
    EXPECT_EQ(store({"+tls", dir.file("GAMMACAM.key"), dir.file("GAMMACAM.crt"), "+cf", dir.file("ca.crt")}), 0)
        << node.log();
    EXPECT_EQ(names(node.inbox()).size(), 1u) << node.log();
}

TEST(Receive, OrthancPushesAStudyOverTls) {
    TempDir dir;
    for (const char* name : {"ca", "NODE", "TESTPACS"}) makeCertificate(dir, name);
    const int port = freePort();
    Pacs pacs("\"DicomTlsEnabled\":true,\"DicomTlsCertificate\":\"" + dir.file("TESTPACS.crt") +
              "\",\"DicomTlsPrivateKey\":\"" + dir.file("TESTPACS.key") + "\",\"DicomTlsTrustedCertificates\":\"" +
              dir.file("ca.crt") + "\",\"DicomTlsRemoteCertificateRequired\":true,\"DicomModalities\":{\"node\":"
              "{\"AET\":\"NODE\",\"Host\":\"127.0.0.1\",\"Port\":" + std::to_string(port) + ",\"UseDicomTls\":true}},");
    ASSERT_TRUE(pacs.ready()) << readFile(pacs.dir().file("orthanc.log"));
    const std::string dcm = synthesiseAndExport({"--frames", "8"}, dir);
    const std::string to = pacs.to();
    ASSERT_EQ(runProcess("storescu", {"+tls", dir.file("NODE.key"), dir.file("NODE.crt"), "+cf", dir.file("ca.crt"),
                                      "-aec", "TESTPACS", "127.0.0.1", to.substr(to.rfind(':') + 1), dcm})
                  .exitCode,
              0);
    ASSERT_EQ(pacs.instances().size(), 1u);
    Node node({"--tls-key", dir.file("NODE.key"), "--tls-cert", dir.file("NODE.crt"), "--tls-ca", dir.file("ca.crt"),
               "--allow", "cn=TESTPACS"},
              port);
    EXPECT_FALSE(pacs.post("/modalities/node/store", "[\"" + pacs.instances()[0] + "\"]").empty()) << node.log();
    waitFor([&] { return !names(node.inbox()).empty(); }, 30);
    EXPECT_EQ(names(node.inbox()), std::set<std::string>{instanceName("A123-45_20010514_102345_1", dcm) + ".gsd"})
        << node.log();
}

}  // namespace
}  // namespace trevik::test
