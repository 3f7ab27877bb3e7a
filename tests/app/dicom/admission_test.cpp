// Who gets room on the receiving node, and what it says of those it
// refuses: the node started by the test on 127.0.0.1 in a private network
// namespace, met by DCMTK's echoscu and by connections of the test's own
// from other loopback addresses (127.0.0.2 and on), stopped by its process
// id.
#include <gtest/gtest.h>

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <sstream>
#include <thread>

#include "tests/app/dicom/node_fixture.h"
#include "tests/app/dicom/raw_association.h"

namespace trevik::test {
namespace {

using Clock = std::chrono::steady_clock;
const std::string kNm = "1.2.840.10008.5.1.4.1.1.20";

// The lines of the node's log that name `address` (followed by a space,
// a colon or a parenthesis, so that 127.0.0.2 is not 127.0.0.20).
int linesAbout(const Node& node, const std::string& address) {
    std::istringstream log(node.log());
    int count = 0;
    for (std::string line; std::getline(log, line);)
        for (const char after : {' ', ':', ')'})
            if (line.find(address + after) != std::string::npos) {
                ++count;
                break;
            }
    return count;
}

TEST(Receive, OnlyAllowedCallersMayStoreAndEchoIsAnswered) {
    privateNetwork();
    {
        Node nobody({});
        EXPECT_NE(nobody.log().find("no caller is allowed"), std::string::npos) << nobody.log();
        EXPECT_NE(runProcess("echoscu", nobody.storescu("CAM")).exitCode, 0);
    }
    Node node({"--allow", "CAM@127.0.0.1", "--allow", "PACS@127.0.0.9"});
    EXPECT_EQ(runProcess("echoscu", node.storescu("CAM")).exitCode, 0);
    // Each refused from an address of its own: the node writes one line
    // per peer address a minute.
    EXPECT_FALSE(RawAssociation("127.0.0.4", "127.0.0.1", node.port()).associate("PACS", "NODE", kNm));
    EXPECT_FALSE(RawAssociation("127.0.0.5", "127.0.0.1", node.port()).associate("OTHER", "NODE", kNm));
    EXPECT_FALSE(RawAssociation("127.0.0.6", "127.0.0.1", node.port()).associate("CAM", "ELSEWHERE"));
    const std::vector<std::string> lines = {"C-ECHO from CAM@127.0.0.1 answered", "PACS from 127.0.0.4 is not allowed",
                                            "OTHER from 127.0.0.5 is not allowed",
                                            "called ELSEWHERE, but this node is NODE"};
    const auto all = [&] {
        return std::all_of(lines.begin(), lines.end(), [&](const std::string& line) { return node.logs(line); });
    };
    waitFor(all, 5);
    for (const std::string& line : lines) EXPECT_TRUE(node.logs(line)) << line << "\n" << node.log();
    EXPECT_TRUE(names(node.inbox()).empty() && names(node.keep()).empty());
}

TEST(Receive, SlowAndSilentPeersDelayNoOne) {
    privateNetwork();
    Node node({"--allow", "ECHO@127.0.0.2", "--allow", "SLOW"});
    std::vector<std::unique_ptr<RawAssociation>> slow;
    const std::vector<std::uint8_t> request = RawAssociation::request("SLOW", "NODE");
    // Three slow peers and a silent one, each from a host of its own (a
    // host not named in --allow may have two connections pending).
    for (int i = 0; i < 3; ++i) {
        slow.push_back(std::make_unique<RawAssociation>(("127.0.0.1" + std::to_string(i)).c_str(), "127.0.0.1",
                                                        node.port()));
        // The request's header and one byte more; the next would be due in 5 s.
        ASSERT_TRUE(slow.back()->send({request.begin(), request.begin() + 7}));
    }
    RawAssociation silent("127.0.0.13", "127.0.0.1", node.port());
    const auto start = std::chrono::steady_clock::now();
    RawAssociation other("127.0.0.2", "127.0.0.1", node.port());
    EXPECT_TRUE(other.associate("ECHO", "NODE") && other.echo()) << node.log();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    // The whole request has a deadline, however the bytes trickle.
    const std::string cut = "association request from 127.0.0.10 not read: not complete within 10 s";
    for (int i = 0; i < 3 && !node.logs(cut); ++i) {
        std::this_thread::sleep_for(std::chrono::seconds(5));
        for (auto& peer : slow) peer->send({request[7 + static_cast<std::size_t>(i)]});
    }
    waitFor([&] { return node.logs(cut); }, 5);
    EXPECT_EQ(slow[0]->readPdu(), -1);
    EXPECT_TRUE(node.logs(cut)) << node.log();
}

TEST(Receive, OneHostCannotTakeEverySlot) {
    privateNetwork();
    Node node({"--allow", "ECHO"});
    std::vector<std::unique_ptr<RawAssociation>> held;
    for (int i = 0; i < 4; ++i) {
        held.push_back(std::make_unique<RawAssociation>("127.0.0.1", "127.0.0.1", node.port()));
        ASSERT_TRUE(held.back()->associate("ECHO", "NODE")) << node.log();
    }
    RawAssociation fifth("127.0.0.1", "127.0.0.1", node.port());
    EXPECT_TRUE(fifth.send(RawAssociation::request("ECHO", "NODE")));
    EXPECT_EQ(fifth.readPdu(), 0x03);  // A-ASSOCIATE-RJ
    RawAssociation other("127.0.0.2", "127.0.0.1", node.port());
    EXPECT_TRUE(other.associate("ECHO", "NODE") && other.echo()) << node.log();
    EXPECT_TRUE(node.logs("4 associations already open from 127.0.0.1 (--max-per-host)")) << node.log();
}

TEST(Receive, AnObjectThatTricklesEndsAtItsDeadline) {
    privateNetwork();
    Node node({"--allow", "CAM", "--object-timeout", "2"});
    RawAssociation slow("127.0.0.1", "127.0.0.1", node.port());
    ASSERT_TRUE(slow.associate("CAM", "NODE", "1.2.840.10008.5.1.4.1.1.20"));
    ASSERT_TRUE(slow.storeCommand("1.2.840.10008.5.1.4.1.1.20", "1.2.3.4"));
    ASSERT_TRUE(slow.send(RawAssociation::pdv({0x08, 0x00}, 0x00)));  // the data set's first bytes, then nothing
    EXPECT_EQ(slow.readPdu(), -1);  // the node ends the association (before this client's own 10 s)
    waitFor([&] { return node.logs("not whole within 2 s (--object-timeout)"); }, 5);
    EXPECT_TRUE(node.logs("not whole within 2 s (--object-timeout)")) << node.log();
}

TEST(Receive, ListensOnlyOnTheAddressGiven) {
    privateNetwork();
    Node node({"--allow", "ECHO", "--listen", "127.0.0.2"});
    RawAssociation there("127.0.0.1", "127.0.0.2", node.port());
    EXPECT_TRUE(there.associate("ECHO", "NODE") && there.echo()) << node.log();
    EXPECT_FALSE(RawAssociation("127.0.0.1", "127.0.0.1", node.port()).connected());
    EXPECT_NE(runProcess(kTrevikDicom, {"receive", "--aet", "N", "--port", "104", "--inbox", ".", "--listen", "host"})
                  .exitCode,
              0);
}

// Echoes of the allowed camera, `count` of them `apart` from each other:
// each must be answered within 3 s.
void cameraAnswers(const Node& node, int count, std::chrono::milliseconds apart) {
    for (int i = 0; i < count; ++i) {
        if (i > 0) std::this_thread::sleep_for(apart);
        const auto start = Clock::now();
        RawAssociation camera("127.0.0.1", "127.0.0.1", node.port());
        EXPECT_TRUE(camera.associate("CAM", "NODE") && camera.echo()) << "echo " << i << "\n" << node.log();
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(3)) << "echo " << i;
    }
}

TEST(Admission, StrangersRenewingSilentConnectionsLeaveTheAllowedCameraItsRoom) {
    privateNetwork();
    Node node({"--allow", "CAM@127.0.0.1"});
    // Eight silent connections from two hosts not allowed, each renewed as
    // soon as the node refuses or cuts it (at most every 20 ms, for at
    // most 60 s).
    std::atomic<bool> done{false};
    std::thread strangers([&] {
        std::vector<std::unique_ptr<RawAssociation>> held(8);
        const auto until = Clock::now() + std::chrono::seconds(60);
        while (!done && Clock::now() < until) {
            for (std::size_t i = 0; i < held.size(); ++i)
                if (!held[i] || held[i]->ended())
                    held[i] = std::make_unique<RawAssociation>(i % 2 ? "127.0.0.3" : "127.0.0.2", "127.0.0.1", node.port());
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    // 12 echoes over 24 s: past two of the 10 s deadlines that cut the
    // strangers' connections.
    cameraAnswers(node, 12, std::chrono::seconds(2));
    done = true;
    strangers.join();
    EXPECT_TRUE(node.logs("association from 127.0.0.2 refused: 2 connections from 127.0.0.2 not yet identified"))
        << node.log();
    // At most a line per peer a minute (the test takes less than one).
    EXPECT_LE(linesAbout(node, "127.0.0.2"), 1) << node.log();
    EXPECT_LE(linesAbout(node, "127.0.0.3"), 1) << node.log();
}

TEST(Admission, FortyHostsWithTwoSilentConnectionsEachLeaveTheAllowedCameraItsRoom) {
    privateNetwork();
    Node node({"--allow", "CAM@127.0.0.1"});
    std::vector<std::unique_ptr<RawAssociation>> held;
    for (int host = 1; host <= 40; ++host)
        for (int i = 0; i < 2; ++i)
            held.push_back(std::make_unique<RawAssociation>(("127.0.1." + std::to_string(host)).c_str(), "127.0.0.1",
                                                            node.port()));
    cameraAnswers(node, 3, std::chrono::milliseconds(500));
    waitFor([&] { return node.logs("not yet identified"); }, 5);
    EXPECT_TRUE(node.logs("connections from hosts not named in --allow not yet identified")) << node.log();
    for (int host = 1; host <= 40; ++host)
        EXPECT_LE(linesAbout(node, "127.0.1." + std::to_string(host)), 1) << host << "\n" << node.log();
}

// The pids of the node's connection processes.
std::vector<pid_t> connectionProcesses(const Node& node) {
    const std::string pid = std::to_string(node.pid());
    std::istringstream children(readFile("/proc/" + pid + "/task/" + pid + "/children"));
    std::vector<pid_t> pids;
    for (pid_t child; children >> child;) pids.push_back(child);
    return pids;
}

TEST(Admission, AConnectionProcessThatFaultsAbortsFirstAndIsNamedBySignal) {
    privateNetwork();
    Node node({"--allow", "CAM@127.0.0.1"});
    RawAssociation camera("127.0.0.1", "127.0.0.1", node.port());
    ASSERT_TRUE(camera.associate("CAM", "NODE")) << node.log();
    const std::vector<pid_t> processes = connectionProcesses(node);
    ASSERT_EQ(processes.size(), 1u);
    ::kill(processes[0], SIGSEGV);
    EXPECT_EQ(camera.readPdu(), 0x07);  // A-ABORT
    waitFor([&] { return node.logs("ended by SIGSEGV"); }, 5);
    EXPECT_TRUE(node.logs("association from 127.0.0.1 ended abnormally (ended by SIGSEGV")) << node.log();
    // The node goes on.
    cameraAnswers(node, 1, std::chrono::milliseconds(0));
}

TEST(Admission, APlainConnectionOnATlsNodeIsToldAndLoggedSo) {
    privateNetwork();
    TempDir dir;
    const std::string key = dir.file("node.key"), cert = dir.file("node.crt");
    ASSERT_EQ(runProcess("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                                     "-subj", "/CN=NODE", "-days", "2"})
                  .exitCode,
              0);
    Node node({"--allow", "CAM", "--tls-key", key, "--tls-cert", cert, "--tls-ca", cert});
    RawAssociation plain("127.0.0.1", "127.0.0.1", node.port());
    ASSERT_TRUE(plain.send(RawAssociation::request("CAM", "NODE")));
    EXPECT_EQ(plain.readPdu(), 0x03);  // A-ASSOCIATE-RJ, in plain
    waitFor([&] { return node.logs("without TLS"); }, 5);
    EXPECT_TRUE(node.logs("association request from 127.0.0.1 refused: a connection without TLS on a TLS port"))
        << node.log();
}

TEST(Admission, AnotherSopClassOrATransferSyntaxNotTakenIsNamed) {
    privateNetwork();
    TempDir dir;
    const std::string sc = synthesiseAndExport({"--frames", "8"}, dir);
    ASSERT_EQ(runProcess("dcmodify", {"-nb", "-m", "(0008,0016)=1.2.840.10008.5.1.4.1.1.7", sc}).exitCode, 0);
    Node node({"--allow", "CAM@127.0.0.1"});
    const ProcessResult sent = node.store("CAM", {sc});
    EXPECT_NE(sent.exitCode, 0);
    EXPECT_NE(sent.err.find("0xc000"), std::string::npos) << sent.err;
    EXPECT_TRUE(node.logs("of SOP class SecondaryCaptureImageStorage (1.2.840.10008.5.1.4.1.1.7) from CAM@127.0.0.1: "))
        << node.log();
    EXPECT_TRUE(node.logs("not converted: not a DICOM NM image")) << node.log();
    EXPECT_TRUE(names(node.inbox()).empty());
    // NM offered only in a lossy syntax: refused, the syntax named.
    EXPECT_FALSE(RawAssociation("127.0.0.1", "127.0.0.1", node.port()).associate("CAM", "NODE", kNm,
                                                                                 "1.2.840.10008.1.2.4.50"));
    waitFor([&] { return node.logs("refused: it offered neither"); }, 5);
    EXPECT_TRUE(node.logs("association from CAM@127.0.0.1: NM Image Storage offered only in JPEGBaseline "
                          "(1.2.840.10008.1.2.4.50), not taken here"))
        << node.log();
    EXPECT_TRUE(node.logs("refused: it offered neither")) << node.log();
}

TEST(Admission, CallersAllowedWithoutAHostLeaveTheNamedOnesTheirSlots) {
    privateNetwork();
    Node node({"--allow", "CAM@127.0.0.1", "--allow", "PACS", "--max-associations", "2", "--max-per-host", "2"});
    RawAssociation first("127.0.0.5", "127.0.0.1", node.port());
    ASSERT_TRUE(first.associate("PACS", "NODE")) << node.log();
    // Half the slots for callers allowed by their title alone.
    EXPECT_FALSE(RawAssociation("127.0.0.6", "127.0.0.1", node.port()).associate("PACS", "NODE"));
    cameraAnswers(node, 1, std::chrono::milliseconds(0));
    waitFor([&] { return node.logs("callers allowed without a host"); }, 5);
    EXPECT_TRUE(node.logs("association from PACS@127.0.0.6 refused: 1 associations already open by callers allowed "
                          "without a host (--allow AET)"))
        << node.log();
}

}  // namespace
}  // namespace trevik::test
