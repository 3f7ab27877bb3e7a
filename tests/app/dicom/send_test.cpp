// trevik-dicom send against a real PACS: Orthanc started by the test on
// 127.0.0.1 with its own configuration and storage in a temporary folder,
// in a private network namespace when run as root, stopped by its process
// id. What Orthanc gives back is compared element by element and frame by
// frame with what was sent.
#include <arpa/inet.h>
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>

#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <thread>

#include "tests/app/dicom/dicom_fixtures.h"
#include "tests/app/dicom/pacs_fixture.h"

namespace trevik::test {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

TEST(Send, OrthancGivesBackEveryElementAndFrameThatWasSent) {
    Pacs pacs;
    ASSERT_TRUE(pacs.ready()) << readFile(pacs.dir().file("orthanc.log"));
    TempDir dir;
    // Exports of every kind, one with a CP932 name, one turned into implicit
    // VR, which DCMTK converts to what the PACS accepts.
    std::vector<std::string> files = {
        synthesiseAndExport({"--divisions", "8", "--frames", "32"}, dir, "gated"),
        synthesiseAndExport({"--matrix", "128", "--float", "--divisions", "0", "--frames", "64", "--name",
                             "\x8E\x52\x93\x63 TARO"}, dir, "ungated"),
        synthesiseAndExport({"--divisions", "4", "--frames", "16", "--reverse"}, dir, "reversed"),
    };
    ASSERT_EQ(runProcess("dcmconv", {"+ti", files[2], dir.file("implicit.dcm")}).exitCode, 0);
    files[2] = dir.file("implicit.dcm");
    writeText(dir.file("notes.txt"), "not an image\n");
    // A projection file is sent as its export would be written.
    ASSERT_FALSE(synthesiseAndExport({"--divisions", "4", "--frames", "8", "--name", "PROJECTION"}, dir).empty());

    std::vector<std::string> args = {"send", "--to", pacs.to(), "--calling-aet", "TESTSCU"};
    args.insert(args.end(), files.begin(), files.end());
    args.push_back(dir.file("notes.txt"));
    args.push_back(dir.file("study.prj"));
    ProcessResult sent = runProcess(kTrevikDicom, args);
    EXPECT_EQ(sent.exitCode, 1) << sent.err;  // the text file was refused; the rest stored
    EXPECT_NE(sent.err.find("notes.txt: not sent: neither a DICOM file nor a projection file"), std::string::npos);
    for (const std::string& file : files) EXPECT_NE(sent.err.find(file + ": stored\n"), std::string::npos) << sent.err;
    EXPECT_NE(sent.err.find("study.prj: stored\n"), std::string::npos) << sent.err;
    files.push_back(dir.file("study.dcm"));

    auto uidOf = [](DcmFileFormat& file) {
        OFString uid;
        file.getDataset()->findAndGetOFString(DCM_SOPInstanceUID, uid);
        return std::string(uid.c_str());
    };
    std::map<std::string, std::string> sentFiles;  // by SOP Instance UID
    for (const std::string& file : files) {
        DcmFileFormat original;
        ASSERT_TRUE(original.loadFile(file.c_str()).good());
        sentFiles[uidOf(original)] = file;
    }
    const std::vector<std::string> ids = pacs.instances();
    ASSERT_EQ(ids.size(), files.size());
    for (const std::string& id : ids) {
        writeText(dir.file("copy.dcm"), pacs.file(id));
        DcmFileFormat back, original;
        ASSERT_TRUE(back.loadFile(dir.file("copy.dcm").c_str()).good());
        ASSERT_EQ(sentFiles.count(uidOf(back)), 1u) << uidOf(back);
        ASSERT_TRUE(original.loadFile(sentFiles[uidOf(back)].c_str()).good());
        expectSameDataset(*original.getDataset(), *back.getDataset());
    }

    // A compressed file is offered in its own transfer syntax only, and
    // stored so (its own UID: a copy of a stored object would be ignored).
    ASSERT_EQ(runProcess("dcmcjpls", {dir.file("gated.dcm"), dir.file("jpls.dcm")}).exitCode, 0);
    ASSERT_EQ(runProcess("dcmodify", {"-nb", "-gin", dir.file("jpls.dcm")}).exitCode, 0);
    sent = runProcess(kTrevikDicom, {"send", "--to", pacs.to(), dir.file("jpls.dcm")});
    EXPECT_EQ(sent.exitCode, 0) << sent.err;
    for (const std::string& id : pacs.instances()) {
        writeText(dir.file("copy.dcm"), pacs.file(id));
        DcmFileFormat back;
        ASSERT_TRUE(back.loadFile(dir.file("copy.dcm").c_str()).good());
        if (sentFiles.count(uidOf(back))) continue;
        OFString syntax;
        back.getMetaInfo()->findAndGetOFString(DCM_TransferSyntaxUID, syntax);
        EXPECT_EQ(syntax, UID_JPEGLSLosslessTransferSyntax);
    }
    files.push_back(dir.file("jpls.dcm"));

    // The same objects again: stored, and still held once.
    sent = runProcess(kTrevikDicom, {"send", "--to", pacs.to(), files[0], files[1], dir.file("study.prj")});
    EXPECT_EQ(sent.exitCode, 0) << sent.err;
    EXPECT_EQ(pacs.instances().size(), files.size());
}

TEST(Send, APacsThatCannotBeReachedRefusesOrDiesEndsWithOneAndAReason) {
    Pacs pacs;
    ASSERT_TRUE(pacs.ready()) << readFile(pacs.dir().file("orthanc.log"));
    TempDir dir;
    const std::string file = synthesiseAndExport({"--divisions", "8", "--frames", "32"}, dir);
    // Each ends with 1 and its reason, well before the 60 s time-out.
    auto fails = [&](const std::string& to, const std::string& timeout, const std::string& reason) {
        const auto start = Clock::now();
        const ProcessResult result = runProcess(kTrevikDicom, {"send", "--to", to, "--timeout", timeout, file});
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_NE(result.err.find(reason), std::string::npos) << result.err;
        EXPECT_LT(secondsSince(start), 5);
    };
    fails("TESTPACS@127.0.0.1:" + std::to_string(freePort()), "60", "Connection refused");
    fails(pacs.to("NOTTHEPACS"), "60", "refused the association");
    EXPECT_TRUE(pacs.instances().empty());
    // Stopped, it does not answer: the time-out ends the wait.
    pacs.stop(SIGSTOP);
    fails(pacs.to(), "1", "did not answer within 1 s");
    pacs.stop(SIGCONT);

    // The same object many times over keeps an association busy; the first
    // "stored" shows that it stands. Then Ctrl+C aborts it at once while the
    // PACS holds it without answering, and a PACS that dies ends it at once,
    // not after the time-out.
    std::vector<std::string> many = {"send", "--to", pacs.to()};
    many.insert(many.end(), 400, file);
    const std::string log = dir.file("send.log");
    auto midTransfer = [&](int pacsSignal, int senderSignal, const std::string& reason) {
        const pid_t sender = spawn(kTrevikDicom, many, log);
        for (int i = 0; i < 400 && readFile(log).find(": stored") == std::string::npos; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        const auto start = Clock::now();
        pacs.stop(pacsSignal);
        if (senderSignal) ::kill(sender, senderSignal);
        int status = 0;
        ::waitpid(sender, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
        EXPECT_NE(readFile(log).find(reason), std::string::npos) << readFile(log);
        EXPECT_LT(secondsSince(start), 5);
    };
    midTransfer(SIGSTOP, SIGINT, "interrupted: the association was aborted");
    pacs.stop(SIGCONT);
    midTransfer(SIGKILL, 0, "the connection to the PACS was lost");
}

// A peer of the test's own on 127.0.0.1 that accepts one association,
// every presentation context in its first transfer syntax, and then reads
// nothing more (or, `readsOn`, reads all that comes and never answers),
// holding the connection open until it is destroyed.
class PeerThatStopsReading {
public:
    explicit PeerThatStopsReading(bool readsOn = false) : readsOn_(readsOn) {
        privateNetwork();
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
        ::listen(listener_, 1);
        thread_ = std::thread([this] { serve(); });
    }
    ~PeerThatStopsReading() {
        ::shutdown(listener_, SHUT_RDWR);
        if (const int c = connection_; c >= 0) ::shutdown(c, SHUT_RDWR);
        thread_.join();
        if (connection_ >= 0) ::close(connection_);
        ::close(listener_);
    }
    std::string to() const { return "STALLING@127.0.0.1:" + std::to_string(port_); }

private:
    bool readAll(std::string& bytes, std::size_t size) const {
        bytes.resize(size);
        for (std::size_t at = 0; at < size;) {
            const ssize_t n = ::read(connection_, bytes.data() + at, size - at);
            if (n <= 0) return false;
            at += static_cast<std::size_t>(n);
        }
        return true;
    }
    static std::string item(unsigned char type, const std::string& body) {
        const std::size_t n = body.size();
        return std::string{static_cast<char>(type), 0, static_cast<char>(n >> 8), static_cast<char>(n & 0xFF)} + body;
    }
    void serve() {
        connection_ = ::accept(listener_, nullptr, nullptr);
        std::string header, request;
        if (connection_ < 0 || !readAll(header, 6) || header[0] != 0x01) return;
        const auto byte = [](const std::string& b, std::size_t i) { return static_cast<unsigned char>(b[i]); };
        const std::size_t length = (std::size_t{byte(header, 2)} << 24) | (std::size_t{byte(header, 3)} << 16) |
                                   (std::size_t{byte(header, 4)} << 8) | byte(header, 5);
        if (length < 68 || length > 65536 || !readAll(request, length)) return;
        std::string body = request.substr(0, 68);  // version, titles, reserved: echoed
        for (std::size_t at = 68; at + 4 <= request.size();) {
            const unsigned char type = byte(request, at);
            const std::size_t size = (std::size_t{byte(request, at + 2)} << 8) | byte(request, at + 3);
            const std::string content = request.substr(at + 4, size);
            at += 4 + size;
            if (type == 0x10) body += item(0x10, content);
            if (type != 0x20 || content.size() < 4) continue;
            std::string syntax;  // the first transfer syntax proposed
            for (std::size_t sub = 4; sub + 4 <= content.size() && syntax.empty();) {
                const std::size_t subSize = (std::size_t{byte(content, sub + 2)} << 8) | byte(content, sub + 3);
                if (byte(content, sub) == 0x40) syntax = content.substr(sub + 4, subSize);
                sub += 4 + subSize;
            }
            body += item(0x21, std::string{content[0], 0, 0, 0} + item(0x40, syntax));
        }
        body += item(0x50, item(0x51, std::string{0, 0, 0x40, 0}));  // at most 16 KiB per PDU
        const std::size_t n = body.size();
        const std::string accept = std::string{0x02, 0, 0, 0, static_cast<char>(n >> 8), static_cast<char>(n & 0xFF)} + body;
        if (::write(connection_, accept.data(), accept.size()) != static_cast<ssize_t>(accept.size())) return;
        for (char scratch[65536]; readsOn_ && ::read(connection_, scratch, sizeof scratch) > 0;) {
        }
        const int ended = ::accept(listener_, nullptr, nullptr);  // waits until the listener is shut down
        if (ended >= 0) ::close(ended);
    }

    const bool readsOn_;
    int listener_ = -1, port_ = 0;
    std::atomic<int> connection_{-1};
    std::thread thread_;
};

TEST(Send, APacsThatStopsReadingEndsItWithinTheTimeout) {
    TempDir dir;
    // 16 MiB of pixels: far more than the sockets' buffers hold.
    const std::string file = synthesiseAndExport({"--matrix", "128", "--divisions", "8", "--frames", "64"}, dir);
    ASSERT_FALSE(file.empty());
    PeerThatStopsReading peer;
    const auto start = Clock::now();
    const ProcessResult result = runProcess(kTrevikDicom, {"send", "--to", peer.to(), "--timeout", "5", file});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("the PACS took no data for 5 s"), std::string::npos) << result.err;
    EXPECT_LT(secondsSince(start), 20);  // a safety bound: DCMTK's own socket time-out is 60 s
}

TEST(Send, APacsThatNeverAnswersEndsItWithinTheTimeoutAndEveryFileNotSentIsCounted) {
    TempDir dir;
    const std::string first = synthesiseAndExport({"--frames", "8"}, dir, "first");
    const std::string second = synthesiseAndExport({"--frames", "8", "--id", "B2"}, dir, "second");
    PeerThatStopsReading peer(true);
    const auto start = Clock::now();
    const ProcessResult result = runProcess(kTrevikDicom, {"send", "--to", peer.to(), "--timeout", "5", first, second});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_LT(secondsSince(start), 7.5) << result.err;
    EXPECT_NE(result.err.find("the PACS did not answer within 5 s"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("2 file(s) not sent"), std::string::npos) << result.err;
}

// A key and a certificate for `name` in `dir` (NAME.key, NAME.crt), signed
// by the authority `ca` (CA.key, CA.crt), or self-signed as an authority
// when `ca` is empty.
bool makeCertificate(const TempDir& dir, const std::string& name, const std::string& ca) {
    const std::string key = dir.file(name + ".key"), cert = dir.file(name + ".crt");
    if (ca.empty())
        return runProcess("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-noenc", "-keyout", key, "-out", cert,
                                      "-subj", "/CN=" + name, "-days", "2"}).exitCode == 0;
    return runProcess("openssl", {"req", "-newkey", "rsa:2048", "-noenc", "-keyout", key, "-out", dir.file(name + ".csr"),
                                  "-subj", "/CN=" + name}).exitCode == 0 &&
           runProcess("openssl", {"x509", "-req", "-in", dir.file(name + ".csr"), "-CA", dir.file(ca + ".crt"), "-CAkey",
                                  dir.file(ca + ".key"), "-CAcreateserial", "-out", cert, "-days", "2"}).exitCode == 0;
}

// Waits (at most 5 s) until something listens on 127.0.0.1:`port`.
bool listening(int port) {
    for (int i = 0; i < 100; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (connected) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

TEST(Send, OverTlsThePacsMustShowACertificateOfTheAuthority) {
    privateNetwork();
    TempDir dir;
    ASSERT_TRUE(makeCertificate(dir, "ca", "") && makeCertificate(dir, "pacs", "ca") &&
                makeCertificate(dir, "sender", "ca") && makeCertificate(dir, "otherca", "") &&
                makeCertificate(dir, "impostor", "otherca"));
    const std::string file = synthesiseAndExport({"--divisions", "4", "--frames", "8"}, dir);
    ASSERT_FALSE(file.empty());
    // storescp over TLS, which asks the sender for a certificate of `ca`
    // and shows its own `server`.
    auto storeOverTls = [&](const std::string& server, const std::string& folder) {
        const int port = freePort();
        ::mkdir(dir.file(folder).c_str(), 0700);
        const pid_t pacs = spawn("storescp", {"+tls", dir.file(server + ".key"), dir.file(server + ".crt"), "+cf",
                                              dir.file("ca.crt"), "-od", dir.file(folder), std::to_string(port)},
                                 dir.file(folder + ".log"));
        EXPECT_TRUE(listening(port));
        const ProcessResult sent = runProcess(
            kTrevikDicom, {"send", "--to", "STORESCP@127.0.0.1:" + std::to_string(port), "--timeout", "10", "--tls-key",
                           dir.file("sender.key"), "--tls-cert", dir.file("sender.crt"), "--tls-ca", dir.file("ca.crt"),
                           file});
        ::kill(pacs, SIGTERM);
        ::waitpid(pacs, nullptr, 0);
        return sent;
    };
    const ProcessResult stored = storeOverTls("pacs", "stored");
    EXPECT_EQ(stored.exitCode, 0) << stored.err;
    EXPECT_EQ(runProcess("ls", {dir.file("stored")}).out.empty(), false);
    // A PACS whose certificate another authority signed is not trusted.
    const ProcessResult refused = storeOverTls("impostor", "refused");
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("the TLS handshake failed"), std::string::npos) << refused.err;
    EXPECT_TRUE(runProcess("ls", {dir.file("refused")}).out.empty());
}

}  // namespace
}  // namespace trevik::test
