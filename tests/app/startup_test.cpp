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

TEST(Startup, OptionsComeOutFirstThenOtherCountsStartTheWindowWithOneFileHandedOn) {
    TempDir dir;
    // A copy of the converter, so the window program beside it is ours.
    const std::string program = dir.file("trevik");
    fs::copy_file(kTrevik, program);
    ::chmod(program.c_str(), 0755);
    const std::string source = saveStudy(gated64(), dir.file("-x.prj"));

    // No window program: one line on standard error and exit code 1.
    ProcessResult r = runProcess(program, {});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_NE(r.err.find("trevik-window"), std::string::npos) << r.err;

    // Unknown options, wherever they stand before "--": the usage on
    // standard error, 1, nothing converted, no window.
    for (const auto& [args, unknown] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"-x.prj", dir.file("a.gsd")}, "-x.prj"}, {{source, dir.file("a.gsd"), "--verbose"}, "--verbose"}}) {
        r = runProcess(program, args);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err.rfind("trevik: unknown option " + unknown + "\nUsage: trevik SOURCE OUTPUT", 0), 0u) << r.err;
    }
    // --help among two files converts nothing.
    EXPECT_EQ(runProcess(program, {source, dir.file("a.gsd"), "--help"}).out.rfind("Usage: trevik", 0), 0u);

    // A stand-in window program records its arguments and ends with 7,
    // which becomes the run's exit code.
    const std::string window = dir.file("trevik-window");
    writeText(window, "#!/bin/sh\necho \"$#:$*\" >> \"$(dirname \"$0\")/started\"\nexit 7\n");
    ::chmod(window.c_str(), 0755);
    const std::vector<std::vector<std::string>> commandLines = {
        {}, {"--", source}, {source, dir.file("a.gsd"), dir.file("b.gsd")}};
    for (const auto& args : commandLines) {
        r = runProcess(program, args);
        EXPECT_EQ(r.exitCode, 7) << args.size() << " arguments";
        EXPECT_EQ(r.err, "");
    }
    // A single file is handed on after "--", so that the window program
    // never takes it for an option; other counts start it without arguments.
    EXPECT_EQ(readFile(dir.file("started")), "0:\n2:-- " + source + "\n0:\n");
    EXPECT_FALSE(fileExists(dir.file("a.gsd")));
    EXPECT_FALSE(fileExists(dir.file("b.gsd")));
    // "--" ends the options: a relative -x.prj converts.
    r = runProcess("sh", {"-c", "cd \"$1\" && exec \"$2\" -- -x.prj a.gsd", "sh", dir.path(), program});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(fileExists(dir.file("a.gsd")));
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
