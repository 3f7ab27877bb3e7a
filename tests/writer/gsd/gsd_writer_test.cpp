// The writer: the bytes of a Gated SPECT data file,
// and how writeGsd replaces, creates or refuses its destination.
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <locale>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "tests/support/temp_dir.h"
#include "writer/gsd/gsd_format.h"
#include "writer/gsd/gsd_writer.h"
#include "writer/output_file.h"

namespace trevik::test {
namespace {

// The worked example, every sample of the store distinct per slot.
std::unique_ptr<Study> workedExample() {
    auto study = std::make_unique<Study>();
    auto& r = study->record;
    copyText(r.id, "A123-45"), copyText(r.name, "SAMPLE PATIENT"), copyText(r.date, "2001.05.14");
    copyText(r.time, "10:23:45"), copyText(r.sex, "M"), copyText(r.tracer, "99mTc"), copyText(r.comment, "rest study");
    r.height = 165, r.weight = 58.5, r.pixel = 6.4, r.thick = 1.5, r.hr = 60, r.division = 8, r.frames = 32;
    study->geometry.slicePixels = 1;
    for (int i = 0; i < FrameStore::kSlots * FrameStore::kFrameSamples; ++i)
        study->store.samples[i] = static_cast<std::int16_t>(i * 7 + i / FrameStore::kFrameSamples);
    return study;
}

// The frames (d, f) as little-endian bytes; by default the worked example's 8 x 32 in order.
std::string frameBytes(const Study& study, std::vector<std::pair<int, int>> order) {
    if (order.empty())
        for (int slot = 0; slot < 8 * 32; ++slot) order.emplace_back(slot / 32, slot % 32);
    std::string bytes;
    for (const auto& [d, f] : order)
        for (int i = 0; i < FrameStore::kFrameSamples; ++i) {
            const auto v = static_cast<std::uint16_t>(study.store.frame(d, f)[i]);
            bytes += static_cast<char>(v & 0xFF), bytes += static_cast<char>(v >> 8);
        }
    return bytes;
}

// Writes the study to a fresh file and returns its bytes.
std::string writeToString(Study& study) {
    TempDir dir;
    EXPECT_EQ(writeGsd(dir.file("out.gsd").c_str(), study), kOk);
    return readFile(dir.file("out.gsd"));
}
bool has(const std::string& file, const std::string& text) { return file.find(text) != std::string::npos; }
std::string frameData(const std::string& file) { return file.substr(file.find('\f') + 3); }

TEST(GsdContent, WorkedExample) {
    auto study = workedExample();
    const std::string file = writeToString(*study);
    const std::string header =
        "qubrix\r\nid = A123-45;\r\nname = SAMPLE_PATIENT;\r\ndate = 2001.05.14;\r\ntime = 10:23:45;\r\n"
        "sex = M;\r\nheight = 165.0000;\r\nweight =  58.5000;\r\ntracer = 99mTc;\r\ncomment = rest_study;\r\n"
        "matrix = 64;\r\npixel =     6.4000000000;\r\nthick =     6.4000000000;\r\nhr = 60;\r\n"
        "division = 8;\r\nframes = 32;\r\norder = little;\r\n";
    ASSERT_EQ(header.size(), 299u);
    ASSERT_EQ(file.size(), 2097454u);
    EXPECT_EQ(file.substr(0, 302), header + "\f\r\n");
    EXPECT_EQ(file.substr(302), frameBytes(*study, {}));
    EXPECT_EQ(study->record.thick, 1.5);  // the writer takes a const study
}

TEST(GsdContent, ThicknessIsRecomputed) {
    auto study = workedExample();
    study->geometry.slicePixels = 2;
    study->flags.reducedMatrix = true;  // a 128 x 128 source of 3.2 mm pixels
    EXPECT_TRUE(has(writeToString(*study), "\r\nthick =     6.4000000000;\r\n"));
    study->geometry.slicePixels = 0;
    EXPECT_TRUE(has(writeToString(*study), "\r\nthick =     0.0000000000;\r\n"));
}

TEST(GsdContent, LineConditions) {
    auto study = workedExample();
    auto& r = study->record;
    r.height = 30.0f, r.weight = 3.0f, r.tracer[0] = '\0', r.comment[0] = '\0', r.sex[0] = '\0';
    std::string file = writeToString(*study);
    for (const char* key : {"height", "weight", "tracer", "comment"}) EXPECT_FALSE(has(file, key));
    EXPECT_TRUE(has(file, "\r\nsex = ;\r\nmatrix = 64;\r\n"));
    r.height = 30.00001f, copyText(r.tracer, " ");
    file = writeToString(*study);
    EXPECT_TRUE(has(file, "\r\nheight =  30.0000;\r\ntracer = _;\r\nmatrix"));
}

TEST(GsdContent, SanitizeTextClasses) {
    char out[32];
    sanitizeText("a\tb c\x01\x0d\x0a\x7f\x80\xff^.-/~!", out);
    EXPECT_STREQ(out, "a_b_c______^.-/~!");
    auto study = workedExample();
    std::memset(study->record.comment, 'x', sizeof study->record.comment);  // 80 bytes, no terminator
    EXPECT_TRUE(has(writeToString(*study), "comment = " + std::string(79, 'x') + ";\r\n"));
}

TEST(GsdContent, DateTimeAndSexLoseOnlyTheirControlBytes) {
    auto study = workedExample();
    copyText(study->record.date, "2001\f\n05 \x80");  // the separator's bytes, a space, a high byte
    copyText(study->record.time, "1\r\nhr=9\x7f");    // a forged line and DEL
    copyText(study->record.sex, "\x1f");
    const std::string file = writeToString(*study);
    EXPECT_TRUE(has(file, "\r\ndate = 2001__05 \x80;\r\ntime = 1__hr=9_;\r\nsex = _;\r\nheight")) << file.substr(0, 120);
}

TEST(GsdContent, FrameOrderAndCounts) {
    auto study = workedExample();
    auto& r = study->record;
    r.division = 2, r.frames = 3, study->flags.reverseFrames = true;
    EXPECT_EQ(frameData(writeToString(*study)), frameBytes(*study, {{0, 2}, {0, 1}, {0, 0}, {1, 2}, {1, 1}, {1, 0}}));
    study->flags.reverseFrames = false, r.division = 0;
    const std::string zero = writeToString(*study);
    r.division = 1;
    const std::string one = writeToString(*study);
    EXPECT_TRUE(has(zero, "division = 0;"));
    EXPECT_EQ(frameData(zero), frameData(one));
    EXPECT_EQ(frameData(one), frameBytes(*study, {{0, 0}, {0, 1}, {0, 2}}));
    r.frames = 0, r.hr = -1;
    const std::string none = writeToString(*study);
    EXPECT_TRUE(has(none, "\r\nhr = -1;\r\n"));
    EXPECT_EQ(none.substr(none.size() - 3), "\f\r\n");
}

TEST(GsdContent, FramesBeyondTheStoreAreRefused) {
    TempDir dir;
    auto study = workedExample();
    study->record.division = 2, study->record.frames = 961;  // more than 64 frames in a division
    EXPECT_EQ(writeGsd(dir.file("x.gsd").c_str(), *study), kCannotOpen);
    EXPECT_FALSE(fileExists(dir.file("x.gsd")));
    EXPECT_EQ(study->record.thick, 1.5);  // untouched
    study->record.frames = 960;  // pass 1 would overwrite pass 0's frames
    EXPECT_EQ(writeGsd(dir.file("x.gsd").c_str(), *study), kCannotOpen);
}

TEST(GsdContent, NumbersMatchPrintfInTheCLocale) {
    for (const double v : {0.0, -0.0, 6.4, 58.5, 165.0, 0.00005, 2.5e-5, 123456789.123456789, -7.25, 1e20, 1e300}) {
        char expected[800];
        std::snprintf(expected, sizeof expected, "%16.10f|%8.4f", v, v);
        std::string actual;
        gsd::appendFixed(actual, v, 10, 16);
        actual += '|';
        gsd::appendFixed(actual, v, 4, 8);
        EXPECT_EQ(actual, expected);
    }
}

TEST(GsdContent, DecimalCommaLocaleChangesNothing) {
    char pixel[400];
    std::snprintf(pixel, sizeof pixel, "pixel = %16.10f;\r\n", 1e300);  // 1e300 whole, in the "C" locale
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) GTEST_SKIP() << "locale de_DE.UTF-8 not available (localedef)";
    std::locale::global(std::locale("de_DE.UTF-8"));
    auto study = workedExample();
    study->record.pixel = 1e300;
    const std::string file = writeToString(*study);
    std::locale::global(std::locale::classic());
    std::setlocale(LC_ALL, "C");
    EXPECT_TRUE(has(file, "weight =  58.5000;"));
    EXPECT_GT(std::strlen(pixel), 300u);
    EXPECT_TRUE(has(file, pixel));
}

namespace fs = std::filesystem;

std::set<std::string> entries(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}

void putFile(const std::string& path, const std::string& content, mode_t mode) {
    std::ofstream(path, std::ios::binary) << content;
    ::chmod(path.c_str(), mode);
}

struct stat statOf(const std::string& path) {
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return st;
}

// Runs `body` in a child process, as the user "nobody" when `dropRoot` and
// we are root; the child's exit code.
int inChild(const std::function<int()>& body, bool dropRoot) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (dropRoot && ::geteuid() == 0 && (::setgroups(0, nullptr) || ::setgid(65534) || ::setuid(65534))) _exit(100);
        _exit(body());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class GsdReplace : public ::testing::Test {
protected:
    void SetUp() override {
        study_ = workedExample();
        study_->record.division = 1, study_->record.frames = 2;
        expected_ = writeToString(*study_);
        ::chmod(dir_.path().c_str(), 0755);  // reachable for "nobody"
    }
    TempDir dir_;
    std::unique_ptr<Study> study_;
    std::string expected_;
};

TEST_F(GsdReplace, LongerFileFullyReplacedKeepingItsMode) {
    const std::string out = dir_.file("out.gsd");
    putFile(out, std::string(3'000'000, 'z'), 0640);
    EXPECT_EQ(writeGsd(out.c_str(), *study_), kOk);
    EXPECT_EQ(readFile(out), expected_);
    EXPECT_EQ(statOf(out).st_mode & 07777, 0640u);
    EXPECT_EQ(entries(dir_.path()), std::set<std::string>{"out.gsd"});
}

TEST_F(GsdReplace, NewFileGetsModeLessUmask) {
    const mode_t old = ::umask(027);
    EXPECT_EQ(writeGsd(dir_.file("new.gsd").c_str(), *study_), kOk);
    ::umask(old);
    EXPECT_EQ(statOf(dir_.file("new.gsd")).st_mode & 07777, 0640u);
}

TEST_F(GsdReplace, SymbolicLinksAreFollowedAndKept) {
    fs::create_directory(dir_.file("sub"));
    putFile(dir_.file("sub/target.gsd"), "old", 0600);
    fs::create_symlink("sub/target.gsd", dir_.file("link.gsd"));
    fs::create_symlink("sub/absent.gsd", dir_.file("dangling.gsd"));
    EXPECT_EQ(writeGsd(dir_.file("link.gsd").c_str(), *study_), kOk);
    EXPECT_EQ(writeGsd(dir_.file("dangling.gsd").c_str(), *study_), kOk);
    EXPECT_TRUE(S_ISLNK(statOf(dir_.file("link.gsd")).st_mode));
    EXPECT_EQ(readFile(dir_.file("sub/target.gsd")), expected_);
    EXPECT_EQ(statOf(dir_.file("sub/target.gsd")).st_mode & 07777, 0600u);
    EXPECT_EQ(readFile(dir_.file("sub/absent.gsd")), expected_);
    EXPECT_EQ(entries(dir_.file("sub")), (std::set<std::string>{"absent.gsd", "target.gsd"}));
}

TEST_F(GsdReplace, DevicesHardLinksAndUnwritableDestinations) {
    EXPECT_EQ(writeGsd("/dev/null", *study_), kOk);
    EXPECT_EQ(writeGsd("/dev/full", *study_), kCannotOpen);
    EXPECT_EQ(writeGsd(dir_.file("missing/out.gsd").c_str(), *study_), kCannotOpen);
    EXPECT_EQ(writeGsd(dir_.path().c_str(), *study_), kCannotOpen);
    EXPECT_EQ(writeGsd("", *study_), kCannotOpen);
    putFile(dir_.file("a.gsd"), std::string(3'000'000, 'z'), 0644);
    fs::create_hard_link(dir_.file("a.gsd"), dir_.file("b.gsd"));
    EXPECT_EQ(writeGsd(dir_.file("a.gsd").c_str(), *study_), kOk);
    EXPECT_EQ(readFile(dir_.file("b.gsd")), expected_);  // same inode, written over in place and cut
    EXPECT_EQ(entries(dir_.path()), (std::set<std::string>{"a.gsd", "b.gsd"}));
}

TEST_F(GsdReplace, UnprivilegedReadOnlyDirectoryReadOnlyFileAndStickyDirectory) {
    fs::create_directory(dir_.file("ro"));
    putFile(dir_.file("ro/out.gsd"), "old", 0666);
    putFile(dir_.file("ro/locked.gsd"), "old", 0444);
    ::chmod(dir_.file("ro").c_str(), 0555);
    Study& study = *study_;
    EXPECT_EQ(inChild([&] { return int(writeGsd(dir_.file("ro/out.gsd").c_str(), study)); }, true), 0);
    EXPECT_EQ(readFile(dir_.file("ro/out.gsd")), expected_);  // in place
    ::chmod(dir_.file("ro").c_str(), 0777);
    EXPECT_EQ(inChild([&] { return int(writeGsd(dir_.file("ro/locked.gsd").c_str(), study)); }, true), 1);
    EXPECT_EQ(readFile(dir_.file("ro/locked.gsd")), "old");
    EXPECT_EQ(entries(dir_.file("ro")), (std::set<std::string>{"locked.gsd", "out.gsd"}));
    if (::geteuid() != 0) GTEST_SKIP() << "the sticky-directory case needs a second user (run as root)";
    ::chmod(dir_.file("ro").c_str(), 01777);  // nobody may create the temporary but not rename over root's file
    putFile(dir_.file("ro/out.gsd"), "old", 0666);
    EXPECT_EQ(inChild([&] { return int(writeGsd(dir_.file("ro/out.gsd").c_str(), study)); }, true), 0);
    EXPECT_EQ(readFile(dir_.file("ro/out.gsd")), expected_);
    EXPECT_EQ(statOf(dir_.file("ro/out.gsd")).st_uid, 0u);
    EXPECT_EQ(entries(dir_.file("ro")), (std::set<std::string>{"locked.gsd", "out.gsd"}));
}

TEST_F(GsdReplace, FailedWriteLeavesTheOldFileAndNoTemporary) {
    const std::string out = dir_.file("out.gsd");
    putFile(out, "old", 0644);
    const int result = inChild([&] {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{10000, 10000};  // the file size limit stands in for a full disk
        ::setrlimit(RLIMIT_FSIZE, &limit);
        return int(writeGsd(out.c_str(), *study_));
    }, false);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(readFile(out), "old");
    EXPECT_EQ(entries(dir_.path()), std::set<std::string>{"out.gsd"});
}

TEST_F(GsdReplace, FailuresSayWhy) {
    Status why = writeGsd(dir_.file("missing/out.gsd").c_str(), *study_);
    EXPECT_EQ(why, kCannotOpen);
    EXPECT_EQ(why.where.error, ENOENT);
    why = writeGsd("/dev/full", *study_);
    EXPECT_EQ(why, kCannotOpen);
    EXPECT_EQ(why.where.error, ENOSPC);
    ASSERT_EQ(::mkfifo(dir_.file("fifo").c_str(), 0600), 0);
    why = writeGsd(dir_.file("fifo").c_str(), *study_);  // no reader: at once
    EXPECT_EQ(why, kCannotOpen);
    EXPECT_EQ(why.where.error, ENXIO);
    putFile(dir_.file("camera.prj"), "raw", 0644);  // a file the caller's test says to keep
    why = writeGsd(dir_.file("camera.prj").c_str(), *study_, [](int) { return true; });
    EXPECT_EQ(why.reason, Reason::KeptSource);
    EXPECT_EQ(readFile(dir_.file("camera.prj")), "raw");
    study_->record.division = 2, study_->record.frames = 65;
    why = writeGsd(dir_.file("out.gsd").c_str(), *study_);
    EXPECT_EQ(why, kCannotOpen);
    EXPECT_EQ(why.where.error, 0);
    EXPECT_EQ(statusWords(why), "the output cannot be written: the study's frames do not fit the frame store");
}

TEST_F(GsdReplace, InterruptionsRemoveTheTemporaryAndEndAsTheSignalWould) {
    const std::string out = dir_.file("out.gsd");
    putFile(out, "old", 0644);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::signal(signal, SIG_DFL);  // a run in the background may start with SIGINT ignored
            detail::removeTemporaryOnSignals();
            detail::OutputFile output;
            if (!output.open(out.c_str())) _exit(100);
            ::raise(signal);
            _exit(101);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << signal << ": status " << status;
        EXPECT_EQ(readFile(out), "old");
        EXPECT_EQ(entries(dir_.path()), std::set<std::string>{"out.gsd"});
    }
}

}  // namespace
}  // namespace trevik::test
