// Storage commitment on trevik-dicom receive, with Orthanc as the requester:
// the node registered as its modality, Orthanc as the node's --peer, both
// on 127.0.0.1 (in a private network namespace when root).
#include <gtest/gtest.h>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcuid.h>

#include <filesystem>
#include <functional>

#include "tests/app/dicom/certificates.h"
#include "tests/app/dicom/dicom_fixtures.h"
#include "tests/app/dicom/pacs_fixture.h"

namespace trevik::test {
namespace {

namespace fs = std::filesystem;

constexpr int kCommitSeconds = 20;

bool waitUntil(const std::function<bool()>& done, int seconds) {
    for (int i = 0; i < seconds * 10; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return done();
}

// The string value of "key" in a JSON answer.
std::string jsonString(const std::string& json, const std::string& key) {
    const std::size_t at = json.find("\"" + key + "\"");
    const std::size_t open = at == std::string::npos ? at : json.find('"', json.find(':', at) + 1);
    const std::size_t close = open == std::string::npos ? open : json.find('"', open + 1);
    return close == std::string::npos ? std::string() : json.substr(open + 1, close - open - 1);
}

// The node NODE on `port`, with `options`, its folders in `dir`.
class Node {
public:
    Node(const TempDir& dir, int port, const std::vector<std::string>& options) : dir_(dir) {
        fs::create_directories(dir.file("in"));
        std::vector<std::string> args = {"receive", "--aet", "NODE", "--port", std::to_string(port), "--inbox",
                                         dir.file("in"), "--allow", "TESTPACS@127.0.0.1"};
        args.insert(args.end(), options.begin(), options.end());
        pid_ = spawn(kTrevikDicom, args, dir.file("node.log"));
        waitUntil([&] { return logs("listening as NODE"); }, 10);
    }
    ~Node() { stop(); }
    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    std::string log() const { return readFile(dir_.file("node.log")); }
    bool logs(const std::string& words) const { return log().find(words) != std::string::npos; }

private:
    const TempDir& dir_;
    pid_t pid_ = -1;
};

// The DICOM port of the test's Orthanc.
std::string pacsPort(const Pacs& pacs) {
    const std::string to = pacs.to();
    return to.substr(to.rfind(':') + 1);
}

// Orthanc's configuration with the node NODE on `port` as its modality.
std::string withNode(int port) {
    return "\"DicomModalities\":{\"node\":[\"NODE\",\"127.0.0.1\"," + std::to_string(port) + "]},";
}

// The status of Orthanc's transaction `uid` once the report came (or
// "Pending" past kCommitSeconds), and the whole answer in `answer`.
std::string statusOf(const Pacs& pacs, const std::string& uid, std::string& answer) {
    waitUntil(
        [&] {
            answer = pacs.get("/storage-commitment/" + uid);
            return !answer.empty() && jsonString(answer, "Status") != "Pending";
        },
        kCommitSeconds);
    return jsonString(answer, "Status");
}

// A commitment asked by Orthanc for one instance: its transaction.
std::string ask(const Pacs& pacs, const std::string& cls, const std::string& instance) {
    return jsonString(pacs.post("/modalities/node/storage-commitment", "{\"DicomInstances\":[{\"SOPClassUID\":\"" +
                                                                           cls + "\",\"SOPInstanceUID\":\"" +
                                                                           instance + "\"}]}"),
                      "ID");
}

TEST(ReceiveCommitment, WhatWasSentIsCommittedAlsoAfterARestartAndNothingElse) {
    TempDir dir;
    const int port = freePort();
    Pacs pacs(withNode(port));
    ASSERT_TRUE(pacs.ready()) << readFile(pacs.dir().file("orthanc.log"));
    const std::string dcm = synthesiseAndExport({"--divisions", "8", "--frames", "32"}, dir);
    ASSERT_EQ(runProcess(kTrevikDicom, {"send", "--to", pacs.to(), dcm}).exitCode, 0);
    ASSERT_EQ(pacs.instances().size(), 1u);
    DcmFileFormat file;
    OFString instance;
    ASSERT_TRUE(file.loadFile(dcm.c_str()).good() &&
                file.getDataset()->findAndGetOFString(DCM_SOPInstanceUID, instance).good());
    const std::string nm = UID_NuclearMedicineImageStorage;
    const std::vector<std::string> options = {"--keep", dir.file("keep"), "--peer",
                                              "TESTPACS=127.0.0.1:" + pacsPort(pacs)};
    fs::create_directories(dir.file("keep"));
    std::string answer;
    {
        Node node(dir, port, options);
        const std::string stored = pacs.post("/modalities/node/store", "{\"Resources\":[\"" + pacs.instances()[0] +
                                                                            "\"],\"StorageCommitment\":true}");
        const std::string transaction = jsonString(stored, "StorageCommitmentTransactionUID");
        ASSERT_FALSE(transaction.empty()) << stored << node.log();
        EXPECT_EQ(statusOf(pacs, transaction, answer), "Success") << answer << node.log();
        EXPECT_NE(answer.find(instance.c_str()), std::string::npos) << answer;
        EXPECT_EQ(statusOf(pacs, ask(pacs, nm, "1.2.826.0.1.3680043.9.9999.1"), answer), "Failure")
            << answer << node.log();
        EXPECT_NE(answer.find("\"FailureReason\" : 274"), std::string::npos) << answer;  // 0x0112
    }
    Node restarted(dir, port, options);
    EXPECT_EQ(statusOf(pacs, ask(pacs, nm, instance.c_str()), answer), "Success") << answer << restarted.log();
    EXPECT_EQ(statusOf(pacs, ask(pacs, UID_CTImageStorage, instance.c_str()), answer), "Failure") << answer;
    EXPECT_NE(answer.find("\"FailureReason\" : 281"), std::string::npos) << answer;  // 0x0119
}

TEST(ReceiveCommitment, WithoutKeepTheContextIsRefusedAndAnUnreachablePeerIsRetriedThenLost) {
    TempDir dir;
    const int port = freePort();
    Pacs pacs(withNode(port));
    ASSERT_TRUE(pacs.ready()) << readFile(pacs.dir().file("orthanc.log"));
    const std::string nm = UID_NuclearMedicineImageStorage;
    {
        Node node(dir, port, {});
        EXPECT_TRUE(ask(pacs, nm, "1.2.3.4").empty());
        EXPECT_TRUE(node.logs("Storage Commitment is taken with --keep only")) << node.log();
    }
    fs::create_directories(dir.file("keep"));
    Node node(dir, port, {"--keep", dir.file("keep"), "--peer", "TESTPACS=127.0.0.1:" + std::to_string(freePort())});
    EXPECT_FALSE(ask(pacs, nm, "1.2.3.4").empty());
    EXPECT_TRUE(waitUntil([&] { return node.logs("(attempt 1 of 4)"); }, kCommitSeconds)) << node.log();
    EXPECT_TRUE(node.logs("next attempt in 60 s")) << node.log();
    node.stop();
    EXPECT_TRUE(waitUntil([&] { return node.logs("report lost (0 committed, 1 failed): the node stopped"); }, 10))
        << node.log();
}

TEST(ReceiveCommitment, WithTlsTheReportGoesOverTls) {
    TempDir dir;
    for (const char* name : {"ca", "NODE", "TESTPACS"}) makeCertificate(dir, name);
    const int port = freePort();
    Pacs pacs(tlsPacsSettings(dir, port));
    ASSERT_TRUE(pacs.ready()) << readFile(pacs.dir().file("orthanc.log"));
    fs::create_directories(dir.file("keep"));
    Node node(dir, port,
              {"--tls-key", dir.file("NODE.key"), "--tls-cert", dir.file("NODE.crt"), "--tls-ca", dir.file("ca.crt"),
               "--keep", dir.file("keep"), "--peer", "TESTPACS=127.0.0.1:" + pacsPort(pacs)});
    std::string answer;
    EXPECT_EQ(statusOf(pacs, ask(pacs, UID_NuclearMedicineImageStorage, "1.2.3.4"), answer), "Failure")
        << answer << node.log();
    // Logged once the association that carried it is released.
    EXPECT_TRUE(waitUntil([&] { return node.logs("report sent to TESTPACS"); }, 10)) << node.log();
}

}  // namespace
}  // namespace trevik::test
