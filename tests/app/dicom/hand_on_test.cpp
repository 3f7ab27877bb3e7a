// trevik hands the signals that end it on to the trevik-dicom converting
// for it, and waits for it: nothing appears after trevik has ended. The
// trevik-dicom beside a copy of trevik is a script that takes its time.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/dicom/dicom_fixtures.h"
#include "tests/app/dicom/pacs_fixture.h"

namespace trevik::test {
namespace {

TEST(HandOn, SigtermToTrevikEndsTheConversionItHandedToTrevikDicom) {
    TempDir dir;
    const std::string object = synthesiseAndExport({"--divisions", "2", "--frames", "4"}, dir);
    ASSERT_FALSE(object.empty());
    ASSERT_EQ(::mkdir(dir.file("bin").c_str(), 0755), 0);
    writeText(dir.file("bin/trevik"), readFile(TREVIK_BIN));
    writeText(dir.file("bin/trevik-inspect"), readFile(TREVIK_INSPECT_BIN));
    // import -- SOURCE OUTPUT: says it started, then writes OUTPUT later
    // (its sleep holds none of the pipes of trevik-inspect).
    writeText(dir.file("bin/trevik-dicom"),
              "#!/bin/sh\necho $$ > '" + dir.file("started") + "'\nsleep 3 >/dev/null 2>&1\necho late > \"$4\"\n");
    for (const char* program : {"bin/trevik", "bin/trevik-inspect", "bin/trevik-dicom"})
        ASSERT_EQ(::chmod(dir.file(program).c_str(), 0755), 0);

    // trevik converting, and trevik-inspect looking at the object (which
    // ends on the signal too, not only the file's inspection).
    for (const std::vector<std::string>& run : {std::vector<std::string>{"bin/trevik", object, dir.file("out.gsd")},
                                                 std::vector<std::string>{"bin/trevik-inspect", object}}) {
        ::unlink(dir.file("started").c_str());
        const pid_t trevik = spawn(dir.file(run[0]), {run.begin() + 1, run.end()}, dir.file("trevik.log"));
        for (int i = 0; i < 200 && readFile(dir.file("started")).empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        const pid_t child = static_cast<pid_t>(std::atoi(readFile(dir.file("started")).c_str()));
        ASSERT_GT(child, 0) << run[0];
        ::kill(trevik, SIGTERM);
        int status = 0;
        ASSERT_EQ(::waitpid(trevik, &status, 0), trevik);
        // It ends as the signal would, as a projection source's conversion does.
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << run[0] << " " << status;
        // Its trevik-dicom had ended before: nothing left to write.
        EXPECT_NE(::kill(child, 0), 0) << run[0];
    }
    struct stat info {};
    EXPECT_NE(::stat(dir.file("out.gsd").c_str(), &info), 0);
}

// Whether `pid` still runs (a zombie that no one reaps does not).
bool running(pid_t pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
}

TEST(HandOn, TrevikDicomEndsWithTheProgramThatStartedItEvenBySigkill) {
    TempDir dir;
    const std::string object = synthesiseAndExport({"--divisions", "2", "--frames", "4"}, dir);
    ASSERT_FALSE(object.empty());
    ASSERT_EQ(::mkdir(dir.file("bin").c_str(), 0755), 0);
    writeText(dir.file("bin/trevik"), readFile(TREVIK_BIN));
    writeText(dir.file("bin/trevik-dicom"),
              "#!/bin/sh\necho $$ > '" + dir.file("started") + "'\nsleep 1 >/dev/null 2>&1\necho late > \"$4\"\n");
    for (const char* program : {"bin/trevik", "bin/trevik-dicom"})
        ASSERT_EQ(::chmod(dir.file(program).c_str(), 0755), 0);
    const pid_t trevik = spawn(dir.file("bin/trevik"), {object, dir.file("out.gsd")}, dir.file("trevik.log"));
    for (int i = 0; i < 200 && readFile(dir.file("started")).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    const pid_t child = static_cast<pid_t>(std::atoi(readFile(dir.file("started")).c_str()));
    ASSERT_GT(child, 0);
    // Stopped, its parent killed, then continued: it is gone, and writes nothing.
    ::kill(child, SIGSTOP);
    ::kill(trevik, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(trevik, &status, 0), trevik);
    ::kill(child, SIGCONT);
    for (int i = 0; i < 200 && running(child); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    EXPECT_FALSE(running(child));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    struct stat info {};
    EXPECT_NE(::stat(dir.file("out.gsd").c_str(), &info), 0);

    // trevik-dicom told of a parent that is not its own converts nothing;
    // of its own parent, as usual.
    const std::string wrong = "TREVIK_COMPANION_PARENT=" + std::to_string(::getpid() == 2 ? 3 : 2);
    const std::string own = "TREVIK_COMPANION_PARENT=" + std::to_string(::getpid());
    EXPECT_EQ(runProcess("/usr/bin/env", {wrong, kTrevikDicom, "import", object, dir.file("a.gsd")}).exitCode, 1);
    EXPECT_NE(::stat(dir.file("a.gsd").c_str(), &info), 0);
    EXPECT_EQ(runProcess("/usr/bin/env", {own, kTrevikDicom, "import", object, dir.file("a.gsd")}).exitCode, 0);
    EXPECT_EQ(::stat(dir.file("a.gsd").c_str(), &info), 0);
}

}  // namespace
}  // namespace trevik::test
