// End-to-end runs of the batch converter as a process: exit codes, output
// files and what is left untouched when a run fails.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/app/fixtures.h"

namespace trevik::test {
namespace {

namespace fs = std::filesystem;

void appendSample(std::string& out, std::int16_t v) {
    const auto u = static_cast<std::uint16_t>(v);
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
}

// Nothing on standard output; on standard error nothing after a success,
// one line "trevik: NAME: reason" after a failure.
void expectQuiet(const ProcessResult& r) {
    EXPECT_TRUE(r.started);
    EXPECT_EQ(r.out, "");
    if (r.exitCode == 0) {
        EXPECT_EQ(r.err, "");
    } else {
        EXPECT_EQ(r.err.rfind("trevik: ", 0), 0u) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    }
}

// Header lines of a batch conversion of a study with the synthesiser's
// default patient facts: no height, weight or comment lines, since batch
// mode edits nothing.
std::string batchHeader(int hr, int division, int frames) {
    return "qubrix\r\n"
           "id = A123-45;\r\n"
           "name = SAMPLE_PATIENT;\r\n"
           "date = 2001.05.14;\r\n"
           "time = 10:23:45;\r\n"
           "sex = M;\r\n"
           "tracer = 99mTc;\r\n"
           "matrix = 64;\r\n"
           "pixel =     6.4000000000;\r\n"
           "thick =     6.4000000000;\r\n"
           "hr = " + std::to_string(hr) + ";\r\n"
           "division = " + std::to_string(division) + ";\r\n"
           "frames = " + std::to_string(frames) + ";\r\n"
           "order = little;\r\n"
           "\x0C\r\n";
}

// The whole expected output of converting gated64(): every sample ten times
// the source, frames in file order.
std::string expectedGated64() {
    std::string out = batchHeader(60, 8, 32);
    for (int i = 0; i < 256; ++i)
        for (int y = 0; y < 64; ++y)
            for (int x = 0; x < 64; ++x)
                appendSample(out, static_cast<std::int16_t>(10 * std::lround(patternSample(i, y, x))));
    return out;
}

// Compares whole files without printing megabytes on a mismatch.
void expectSameBytes(const std::string& actual, const std::string& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    const auto mismatch = std::mismatch(actual.begin(), actual.end(), expected.begin());
    EXPECT_TRUE(mismatch.first == actual.end()) << "first difference at byte " << (mismatch.first - actual.begin());
}

// Converts a fresh copy of gated64() into `dir`, to compare other runs with.
std::string referenceOutput(const TempDir& dir) {
    const std::string source = saveStudy(gated64(), dir.file("reference.prj"));
    const std::string output = dir.file("reference.gsd");
    const ProcessResult r = runTrevik({source, output});
    EXPECT_EQ(r.exitCode, 0);
    return readFile(output);
}

TEST(BatchRun, ConvertsStudiesAndPrintsNothing) {
    TempDir dir;

    // A gated 64 x 64 integer study: the header and every frame.
    const std::string source = saveStudy(gated64(), dir.file("rest.prj"));
    const std::string output = dir.file("rest.gsd");
    ProcessResult r = runTrevik({source, output});
    EXPECT_EQ(r.exitCode, 0);
    expectQuiet(r);
    const std::string rest = readFile(output);
    EXPECT_EQ(rest.size(), 239u + 8u * 32u * 8192u);
    EXPECT_EQ(rest.substr(0, 239), batchHeader(60, 8, 32));
    expectSameBytes(rest, expectedGated64());

    // A 128 x 128 float study whose frames are marked as stored last to
    // first: reduced to 64 x 64 by 2 x 2 sums, each division written in
    // reverse, pixel doubled and the thickness that of the source pixels.
    synth::StudyPlan plan;
    plan.matrix = 128;
    plan.floats = true;
    plan.hr = 75;
    plan.division = 2;
    plan.images = 6;
    plan.slicePixels = 2;
    plan.pixelSpacing = "3.2\\3.2";
    plan.sliceThickness = "9.9";
    plan.reverse = true;
    auto value = [](int i, int y, int x) { return ((i * 7 + y + 3 * x) % 40 - 20) * 0.35; };
    plan.sample = value;
    const std::string stress = saveStudy(plan, dir.file("stress.prj"));
    r = runTrevik({stress, dir.file("stress.gsd")});
    EXPECT_EQ(r.exitCode, 0);
    expectQuiet(r);

    std::string expected = batchHeader(75, 2, 3);
    auto scaled = [&](int i, int y, int x) {
        return static_cast<int>(std::trunc(static_cast<double>(static_cast<float>(value(i, y, x))) * 10.0));
    };
    for (int d = 0; d < 2; ++d)
        for (int p = 0; p < 3; ++p) {
            const int i = d * 3 + (2 - p);
            for (int y = 0; y < 64; ++y)
                for (int x = 0; x < 64; ++x)
                    appendSample(expected, static_cast<std::int16_t>(scaled(i, 2 * y, 2 * x) + scaled(i, 2 * y, 2 * x + 1) +
                                                                     scaled(i, 2 * y + 1, 2 * x) +
                                                                     scaled(i, 2 * y + 1, 2 * x + 1)));
        }
    expectSameBytes(readFile(dir.file("stress.gsd")), expected);
}

TEST(BatchRun, FailedLoadEndsWithItsCodeAndLeavesTheOutputAlone) {
    TempDir dir;
    // Not a projection file: a text file, and a tagged file without the
    // elements that mark a projection file.
    writeText(dir.file("notes.txt"), "this is not a projection file\n");
    synth::SourceFile unmarked(16, false);
    unmarked.element(0x0010, 0x0010, "SAMPLE").end().samples16(std::vector<std::int16_t>(4096, 1));
    unmarked.save(dir.file("unmarked.prj"));
    // Pixel data that ends inside the last row of the last image.
    synth::SourceFile truncated = synth::buildStudy(gated64());
    truncated.cut(truncated.size() - 3);
    truncated.save(dir.file("truncated.prj"));
    // Studies the converter cannot hold: no images, no frame per division, a negative division.
    auto broken = [&](const char* name, std::int16_t hr, std::int16_t division, int images) {
        synth::StudyPlan plan = gated64();
        plan.hr = hr, plan.division = division, plan.images = images;
        return saveStudy(plan, dir.file(name));
    };

    const struct {
        std::string source;
        int code;
    } cases[] = {
        {dir.file("absent.prj"), 1},
        {dir.file("notes.txt"), 2},
        {dir.file("unmarked.prj"), 2},
        {dir.file("truncated.prj"), 4},
        {broken("empty.prj", 60, 8, 0), 2},
        {broken("thin.prj", 60, 8, 7), 2},
        {broken("negative.prj", 60, -8, 32), 2},
        {broken("negative-ungated.prj", 0, -1, 32), 2},
    };
    const std::string previous = "previous output, must stay as it is\n";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source);
        const std::string fresh = dir.file("fresh.gsd");
        ProcessResult r = runTrevik({c.source, fresh});
        EXPECT_EQ(r.exitCode, c.code);
        expectQuiet(r);
        EXPECT_FALSE(fileExists(fresh));
        if (c.code == 4) {
            EXPECT_EQ(r.err, "trevik: " + c.source + ": the pixel data ends in image 256, row 64\n");
        }

        const std::string existing = dir.file("existing.gsd");
        writeText(existing, previous);
        const auto before = listDirectory(dir.path());
        r = runTrevik({c.source, existing});
        EXPECT_EQ(r.exitCode, c.code);
        expectQuiet(r);
        EXPECT_EQ(readFile(existing), previous);
        EXPECT_EQ(listDirectory(dir.path()), before);
    }
}

TEST(BatchRun, OutputThatCannotBeWrittenGivesOne) {
    TempDir dir;
    const std::string source = saveStudy(gated64(), dir.file("rest.prj"));

    // A directory that does not exist, and is not created.
    ProcessResult r = runTrevik({source, dir.file("missing/rest.gsd")});
    EXPECT_EQ(r.exitCode, 1);
    expectQuiet(r);
    EXPECT_FALSE(fileExists(dir.file("missing")));

    // An existing directory as output stays an empty directory.
    fs::create_directory(dir.file("folder"));
    r = runTrevik({source, dir.file("folder")});
    EXPECT_EQ(r.exitCode, 1);
    expectQuiet(r);
    EXPECT_TRUE(fs::is_directory(dir.file("folder")));
    EXPECT_TRUE(fs::is_empty(dir.file("folder")));
    EXPECT_EQ(listDirectory(dir.path()), (std::vector<std::string>{"folder", "rest.prj"}));

    // A device that is always full: a private copy of the node first, so a
    // writer that replaced device nodes would fail here before it could
    // harm the system's own /dev/full.
    if (::geteuid() == 0 && ::mknod(dir.file("full").c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0) {
        r = runTrevik({source, dir.file("full")});
        EXPECT_EQ(r.exitCode, 1);
        expectQuiet(r);
        ASSERT_TRUE(fs::is_character_file(dir.file("full"))) << "the device node was replaced";
        EXPECT_EQ(listDirectory(dir.path()), (std::vector<std::string>{"folder", "full", "rest.prj"}));
    }
    if (!fs::is_character_file("/dev/full")) GTEST_SKIP() << "no /dev/full on this system";
    r = runTrevik({source, "/dev/full"});
    EXPECT_EQ(r.exitCode, 1);
    expectQuiet(r);
    EXPECT_TRUE(fs::is_character_file("/dev/full"));
}

TEST(BatchRun, ExistingOutputsAreReplacedWhole) {
    TempDir dir;
    const std::string reference = referenceOutput(dir);
    ASSERT_FALSE(reference.empty());
    const std::string source = saveStudy(gated64(), dir.file("rest.prj"));

    // A longer file leaves none of its old bytes behind.
    const std::string longer = dir.file("longer.gsd");
    writeText(longer, std::string(5'000'000, 'x'));
    ProcessResult r = runTrevik({source, longer});
    EXPECT_EQ(r.exitCode, 0);
    expectQuiet(r);
    expectSameBytes(readFile(longer), reference);

    // A symbolic link is followed: its target is replaced, the link stays.
    const std::string target = dir.file("target.gsd");
    writeText(target, "old");
    fs::create_symlink(target, dir.file("link.gsd"));
    r = runTrevik({source, dir.file("link.gsd")});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(fs::is_symlink(dir.file("link.gsd")));
    expectSameBytes(readFile(target), reference);

    // Set-ID bits are dropped, from a replaced file and from a hard-linked one written in place.
    ::chmod(target.c_str(), 06755);
    EXPECT_EQ(runTrevik({source, target}).exitCode, 0);
    EXPECT_EQ(fs::status(target).permissions(), fs::perms(0755));
    fs::create_hard_link(target, dir.file("hard.gsd"));
    ::chmod(target.c_str(), 06744);
    EXPECT_EQ(runTrevik({source, target}).exitCode, 0);
    EXPECT_EQ(fs::status(target).permissions(), fs::perms(0744));

    // A projection file as the output, the source itself or a second study
    // (`trevik *.prj`), is the camera's only copy: 1, and it is kept.
    const std::string same = saveStudy(gated64(), dir.file("same.prj"));
    const std::string camera = readFile(same);
    for (const std::string& from : {same, source}) {
        r = runTrevik({from, same});
        EXPECT_EQ(r.exitCode, 1);
        expectQuiet(r);
        expectSameBytes(readFile(same), camera);
    }

    // The null device takes the output and stays a device: a private copy
    // of the node first, then the system's own.
    if (::geteuid() == 0 && ::mknod(dir.file("null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
        r = runTrevik({source, dir.file("null")});
        EXPECT_EQ(r.exitCode, 0);
        ASSERT_TRUE(fs::is_character_file(dir.file("null"))) << "the device node was replaced";
    }
    r = runTrevik({source, "/dev/null"});
    EXPECT_EQ(r.exitCode, 0);
    expectQuiet(r);
    EXPECT_TRUE(fs::is_character_file("/dev/null"));

    // Nothing but the files named above is left in the directory.
    std::vector<std::string> expected = {"hard.gsd", "link.gsd", "longer.gsd", "reference.gsd", "reference.prj",
                                         "rest.prj", "same.prj", "target.gsd"};
    if (fileExists(dir.file("null"))) expected.insert(expected.begin() + 3, "null");
    EXPECT_EQ(listDirectory(dir.path()), expected);
}

// A path of exactly `length` bytes below `base`, through directories of 100
// bytes each, which are created; the last name is filled with `fill`.
std::string pathOfLength(const std::string& base, std::size_t length, char fill) {
    std::string path = base;
    while (length - path.size() > 200) {
        path += "/" + std::string(100, 'd');
        fs::create_directories(path);
    }
    return path + "/" + std::string(length - path.size() - 1, fill);
}

TEST(BatchRun, PathsOfUpTo255BytesAreHeldWholeAndLongerOnesRefused) {
    TempDir dir;
    fs::create_directory(dir.file("in"));
    fs::create_directory(dir.file("out"));
    const std::string source255 = pathOfLength(dir.file("in"), 255, 's');
    const std::string output255 = pathOfLength(dir.file("out"), 255, 'o');
    ASSERT_EQ(source255.size(), 255u);
    ASSERT_EQ(output255.size(), 255u);
    saveStudy(gated64(), source255);

    ProcessResult r = runTrevik({source255, output255});
    EXPECT_EQ(r.exitCode, 0);
    expectQuiet(r);
    EXPECT_TRUE(fileExists(output255));

    // One byte more, in either argument: refused before anything is read or
    // written, and the 255-byte cut of the name is not written either.
    const std::string source256 = source255 + "x";
    saveStudy(gated64(), source256);
    const std::string output256 = output255 + "x";
    fs::remove(output255);
    r = runTrevik({source255, output256});
    EXPECT_EQ(r.exitCode, 1);
    expectQuiet(r);
    EXPECT_FALSE(fileExists(output256));
    EXPECT_FALSE(fileExists(output255));

    r = runTrevik({source256, output255});
    EXPECT_EQ(r.exitCode, 1);
    expectQuiet(r);
    EXPECT_FALSE(fileExists(output255));
}

TEST(BatchRun, DateTimeAndSexCannotBreakTheirLines) {
    TempDir dir;
    synth::StudyPlan plan = gated64();
    plan.date = "01\f\n05\x80 \x7f", plan.time = "1\nhr=999", plan.sex = "\r";  // the separator, a forged line
    EXPECT_EQ(runTrevik({saveStudy(plan, dir.file("rest.prj")), dir.file("rest.gsd")}).exitCode, 0);
    EXPECT_EQ(readFile(dir.file("rest.gsd")).substr(47, 47), "date = 01__05\x80 _;\r\ntime = 1_hr=999;\r\nsex = _;\r\n");
}

// Runs `script` with sh, $0 being the converter, $1 the source, $2 `more`.
ProcessResult runShell(const std::string& script, const std::string& source, const std::string& more = "") {
    return runProcess("sh", {"-c", script, kTrevik, source, more});
}

TEST(BatchRun, StreamsAndOwnDescriptorsNeitherHangNorGetReplaced) {
    TempDir dir;
    const std::string reference = referenceOutput(dir), source = dir.file("reference.prj");
    // A FIFO no one reads is refused at once (a hang would end in timeout's
    // 124); a pipe whose reader is gone gives 1 rather than death by SIGPIPE.
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    EXPECT_EQ(runProcess("timeout", {"20", kTrevik, source, dir.file("fifo")}).exitCode, 1);
    runShell("{ \"$0\" \"$1\" /dev/stdout; echo $? > \"$2\"; } | :", source, dir.file("status"));
    EXPECT_EQ(readFile(dir.file("status")), "1\n");

    // Own descriptors are written where they stand, never replaced.
    const std::string capture = dir.file("capture");
    writeText(capture, "old\n");
    const auto r = runShell("{ echo before; \"$0\" \"$1\" /dev/stdout; s=$?; echo after; } >> \"$2\"; exit $s",
                            source, capture);
    EXPECT_EQ(r.exitCode, 0);
    expectSameBytes(readFile(capture), "old\nbefore\n" + reference + "after\n");
    for (const char* name : {"/dev/fd/2", "/proc/self/fd/2"})
        EXPECT_EQ(runShell(std::string("exec \"$0\" \"$1\" ") + name + " 2>> \"$2\"", source, capture).exitCode, 0);
    EXPECT_EQ(readFile(capture).size(), 3 * reference.size() + 17);
    EXPECT_EQ(runShell("exec \"$0\" \"$1\" /dev/fd/7", source).exitCode, 1);  // not open: nothing created
    EXPECT_EQ(listDirectory(dir.path()).size(), 5u);
    // A link in a folder on a disk naming one of them is followed there too.
    ASSERT_EQ(::symlink("/proc/self/fd/2", dir.file("link.gsd").c_str()), 0);
    EXPECT_EQ(runShell("exec \"$0\" \"$1\" \"$2/link.gsd\" 2>> \"$2/capture\"", source, dir.path()).exitCode, 0);
    EXPECT_EQ(readFile(capture).size(), 4 * reference.size() + 17);
}

TEST(BatchRun, NewFilesAreStreamedAndInPlaceOutputsLoadedFirstToTheSameBytes) {
    TempDir dir;
    // Reversed: one pass of 100 frames (more than one run of the stream's
    // buffer) and gated divisions; in file order across divisions.
    const std::vector<std::vector<std::string>> studies = {
        {"--divisions", "1", "--frames", "100", "--reverse"},
        {"--matrix", "128", "--float", "--divisions", "3", "--frames", "5", "--reverse"},
        {"--divisions", "0", "--frames", "70"}};
    for (std::vector<std::string> options : studies) {
        const std::string source = dir.file("study.prj");
        options.insert(options.end(), {"--output", source});
        ASSERT_EQ(runProcess(kMakeStudy, options).exitCode, 0);
        fs::remove(dir.file("new.gsd"));
        EXPECT_EQ(runTrevik({source, dir.file("new.gsd")}).exitCode, 0);
        writeText(dir.file("linked.gsd"), "old");
        fs::create_hard_link(dir.file("linked.gsd"), dir.file("other.gsd"));
        EXPECT_EQ(runTrevik({source, dir.file("linked.gsd")}).exitCode, 0);
        expectSameBytes(readFile(dir.file("new.gsd")), readFile(dir.file("linked.gsd")));
        EXPECT_EQ(fs::hard_link_count(dir.file("linked.gsd")), 2u);
        fs::remove(dir.file("linked.gsd")), fs::remove(dir.file("other.gsd"));
    }
    // A load that fails in the pixel data leaves a hard-linked output as it was.
    synth::SourceFile truncated = synth::buildStudy(gated64());
    truncated.cut(truncated.size() - 3);
    truncated.save(dir.file("truncated.prj"));
    writeText(dir.file("linked.gsd"), "old");
    fs::create_hard_link(dir.file("linked.gsd"), dir.file("other.gsd"));
    EXPECT_EQ(runTrevik({dir.file("truncated.prj"), dir.file("linked.gsd")}).exitCode, 4);
    EXPECT_EQ(readFile(dir.file("other.gsd")), "old");
}

TEST(BatchRun, ResourceLimitsGiveOneAndLeaveTheOutputAlone) {
    TempDir dir;
    const std::string source = saveStudy(gated64(), dir.file("rest.prj")), output = dir.file("rest.gsd");
    writeText(output, "old");
    // 10 KiB of file size, replacing and (hard-linked) in place; no descriptor for the temporary.
    for (const std::string limit : {"ulimit -f 20", "ln \"$2\" \"$2.link\"; ulimit -f 20", "ulimit -n 4"}) {
        const ProcessResult r = runShell(limit + " && exec \"$0\" \"$1\" \"$2\"", source, output);
        EXPECT_EQ(r.exitCode, 1) << limit;
        expectQuiet(r);
        EXPECT_EQ(readFile(output), "old");
        fs::remove(output + ".link");
        EXPECT_EQ(listDirectory(dir.path()), (std::vector<std::string>{"rest.gsd", "rest.prj"}));
    }
}

}  // namespace
}  // namespace trevik::test
