// How the converter starts: options first, then any count of arguments other
// than two hands over to the window program beside it (a single file to
// open), and the batch program needs no GUI toolkit.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/app/fixtures.h"

namespace trevik::test {
namespace {

namespace fs = std::filesystem;

// A copy of the converter in `dir` with a stand-in window program beside it
// that records its arguments, one run per line, and ends with 7.
std::string converterWithStandInWindow(const TempDir& dir) {
    const std::string program = dir.file("trevik");
    fs::copy_file(kTrevik, program);
    ::chmod(program.c_str(), 0755);
    const std::string window = dir.file("trevik-window");
    writeText(window, "#!/bin/sh\necho \"$#:$*\" >> \"$(dirname \"$0\")/started\"\nexit 7\n");
    ::chmod(window.c_str(), 0755);
    return program;
}

TEST(Startup, OtherArgumentCountsStartTheWindowProgramWithOneFileHandedOn) {
    TempDir dir;
    // A copy of the converter, so the window program beside it is ours.
    const std::string program = dir.file("trevik");
    fs::copy_file(kTrevik, program);
    ::chmod(program.c_str(), 0755);
    const std::string source = saveStudy(gated64(), dir.file("rest.prj"));

    // No window program: one line on standard error and exit code 1.
    ProcessResult r = runProcess(program, {});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_NE(r.err.find("trevik-window"), std::string::npos) << r.err;

    // The stand-in's exit code becomes the run's.
    fs::remove(program);
    converterWithStandInWindow(dir);
    const std::vector<std::vector<std::string>> commandLines = {
        {}, {source}, {source, dir.file("a.gsd"), dir.file("b.gsd")}, {"--", "-x.prj"}, {"-"}};
    for (const auto& args : commandLines) {
        r = runProcess(program, args);
        EXPECT_EQ(r.exitCode, 7) << args.size() << " arguments";
        EXPECT_EQ(r.err, "");
    }
    // A single file is handed on after "--", so that the window program
    // never takes it for an option; other counts start it without
    // arguments. Nothing converted.
    EXPECT_EQ(readFile(dir.file("started")), "0:\n2:-- " + source + "\n0:\n2:-- -x.prj\n2:-- -\n");
    EXPECT_FALSE(fileExists(dir.file("a.gsd")));
    EXPECT_FALSE(fileExists(dir.file("b.gsd")));
}

TEST(Startup, OptionsComeOutFirstAndAnUnknownOneIsRefused) {
    TempDir dir;
    const std::string program = converterWithStandInWindow(dir);
    saveStudy(gated64(), dir.file("-x.prj"));

    // An unknown option before "--", wherever it stands: the usage on
    // standard error, exit code 1, no window and nothing written.
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"-x.prj", dir.file("out.gsd")}, {"--verbose", dir.file("-x.prj"), dir.file("out.gsd")},
             {dir.file("-x.prj"), dir.file("out.gsd"), "-v"}, {"--help=all"}, {"-hv"}}) {
        const ProcessResult r = runProcess(program, args);
        EXPECT_EQ(r.exitCode, 1) << args[0];
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("trevik: unknown option ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find("\nUsage: trevik SOURCE OUTPUT"), std::string::npos) << r.err;
    }
    EXPECT_FALSE(fileExists(dir.file("started")));
    EXPECT_FALSE(fileExists(dir.file("out.gsd")));

    // "--" ends the options: a source named -x.prj converts, also when
    // named relative to the working directory.
    ProcessResult r = runProcess("sh", {"-c", "cd \"$1\" && exec \"$2\" -- -x.prj out.gsd", "sh", dir.path(), program});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(fileExists(dir.file("out.gsd")));
    // Options anywhere before "--" are taken out before the count decides:
    // --help with two files prints the usage and converts nothing.
    r = runProcess(program, {dir.file("-x.prj"), dir.file("other.gsd"), "--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.rfind("Usage: trevik SOURCE OUTPUT", 0), 0u) << r.out;
    EXPECT_EQ(runProcess(program, {"--version", "--", "--help"}).out, "trevik " TREVIK_VERSION "\n");
    EXPECT_FALSE(fileExists(dir.file("other.gsd")));
    // After "--", "--help" is a file name: with one other argument, a
    // conversion of a missing source (1, silent).
    r = runProcess(program, {"--", "--help", dir.file("other.gsd")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(fileExists(dir.file("started")));
}

TEST(Startup, InstalledWindowProgramAndWordsOnRequest) {
    TempDir dir;
    fs::create_directories(dir.file("bin"));
    fs::create_directories(dir.file("lib/trevik"));
    const std::string program = dir.file("bin/trevik");
    fs::copy_file(kTrevik, program);
    EXPECT_EQ(runProcess(program, {}).err,
              "trevik: the window program is not installed; install the package trevik-window\n");
    writeText(dir.file("lib/trevik/trevik-window"), "#!/bin/sh\nexit 7\n");
    ::chmod(dir.file("lib/trevik/trevik-window").c_str(), 0755);
    EXPECT_EQ(runProcess(program, {}).exitCode, 7) << "the installed layout";

    // --help, -h and --version alone: words on standard output, exit code 0, no window.
    for (const char* option : {"--help", "-h"}) {
        const ProcessResult r = runProcess(program, {option});
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out.rfind("Usage: trevik SOURCE OUTPUT", 0), 0u) << r.out;
        EXPECT_NE(r.out.find("  4    the source ends early\n"), std::string::npos) << r.out;
    }
    EXPECT_EQ(runProcess(program, {"--version"}).out, "trevik " TREVIK_VERSION "\n");
}

TEST(Startup, BatchProgramLinksNoGuiToolkit) {
    const ProcessResult r = runProcess("ldd", {kTrevik});
    if (!r.started) GTEST_SKIP() << "ldd cannot be started";
    ASSERT_EQ(r.exitCode, 0) << r.err;
    // A static program, or one whose libraries ldd could list.
    EXPECT_TRUE(r.out.find("statically linked") != std::string::npos || r.out.find("libc.so") != std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("Qt"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("libX11"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("libGL"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace trevik::test
