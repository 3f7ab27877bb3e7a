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
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace trevik::test
