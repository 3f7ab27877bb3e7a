// make-study: the files it writes load as the studies its options describe,
// and a bad option writes nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "reader/projection/loader.h"
#include "tests/app/fixtures.h"

namespace trevik::test {
namespace {

std::unique_ptr<Study> load(const std::string& path, Status& result) {
    auto study = std::make_unique<Study>();
    result = loadStudy(path.c_str(), *study);
    return study;
}

// The brightest sample of frame (d, f) against its corner: the heart wall
// stands well above the background.
void expectPicture(const Study& study, int d, int f) {
    const std::int16_t* frame = study.store.frame(d, f);
    const std::int16_t brightest = *std::max_element(frame, frame + FrameStore::kFrameSamples);
    EXPECT_GT(brightest, 4 * std::max<int>(frame[0], 1));
    EXPECT_GE(*std::min_element(frame, frame + FrameStore::kFrameSamples), 0);
}

TEST(MakeStudy, WritesTheStudyItsOptionsDescribe) {
    TempDir dir;
    const std::string path = dir.file("stress.prj");
    ProcessResult r = runProcess(kMakeStudy, {"--matrix", "128", "--float", "--divisions=4", "--frames", "8",
                                              "--hr", "75", "--slice", "3", "--pixel", "2.5", "--reverse",
                                              "--name", "TEST PATIENT", "--id", "X-1", "--sex", "F", "--date",
                                              "2020.01.02", "--time", "08:09:10", "--tracer", "201Tl", "-o", path});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    Status result;
    auto study = load(path, result);
    ASSERT_EQ(result, kOk);
    const StudyRecord& rec = study->record;
    EXPECT_EQ(rec.hr, 75);
    EXPECT_EQ(rec.division, 4);
    EXPECT_EQ(rec.frames, 8);
    EXPECT_DOUBLE_EQ(rec.pixel, 5.0);
    EXPECT_EQ(study->geometry.columns, 64);
    EXPECT_EQ(study->geometry.slicePixels, 3);
    EXPECT_TRUE(study->flags.reducedMatrix);
    EXPECT_TRUE(study->flags.reverseFrames);
    EXPECT_STREQ(rec.name, "TEST PATIENT");
    EXPECT_STREQ(rec.id, "X-1");
    EXPECT_STREQ(rec.sex, "F");
    EXPECT_STREQ(rec.date, "2020.01.02");
    EXPECT_STREQ(rec.time, "08:09:10");
    EXPECT_STREQ(rec.tracer, "201Tl");
    expectPicture(*study, 3, 7);

    // An ungated study of 100 images, integers, 64 x 64.
    const std::string ungated = dir.file("ungated.prj");
    r = runProcess(kMakeStudy, {"--divisions", "0", "--hr", "0", "--frames", "100", "--output", ungated});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    study = load(ungated, result);
    ASSERT_EQ(result, kOk);
    EXPECT_EQ(study->record.frames, 100);
    EXPECT_EQ(study->record.division, 0);
    EXPECT_FALSE(study->flags.reducedMatrix);
    EXPECT_FALSE(study->flags.reverseFrames);
    expectPicture(*study, 0, 99);
}

TEST(MakeStudy, BadOptionsEndWithTwoAndWriteNothing) {
    TempDir dir;
    const std::string path = dir.file("bad.prj");
    const std::vector<std::vector<std::string>> bad = {
        {"--hr", "6x"},
        {"--hr", "-1"},
        {"--hr", " 60"},
        {"--hr", "+60"},
        {"--hr"},
        {"--matrix", "96"},
        {"--frames", "0"},
        {"--frames", "65"},  // a gated study holds at most 64 frames per division
        {"--divisions", "17"},
        {"--divisions", "8", "--hr", "0"},
        {"--slice", "99999"},
        {"--pixel", "abc"},
        {"--pixel", "1e3"},
        {"--pixel", "0"},
        {"--float=yes"},
        {"--name", std::string(50, 'n')},
        {"--sex", "MF"},
        {"--bogus"},
        {"stray"},
        {"--motion-shift", "2", "--motion-view", "12"},  // the faults need --phantom
        {"--phantom", "--motion-shift", "2"},             // ... and a view to start from
        {"--phantom", "--motion-shift", "1,5", "--motion-view", "12"},
        {"--phantom", "--motion-shift", "17", "--motion-view", "12"},
        {"--phantom", "--motion-shift", "1", "--motion-view", "33"},  // beyond the 32 views
        {"--phantom", "--gate-drop", "70"},
        {"--phantom", "--gate-drop", "70", "--gate-from", "9"},
        {"--phantom", "--divisions", "0", "--hr", "0", "--gate-drop", "70", "--gate-from", "1"},
        {"--body"},                                        // the body is a phantom too
        {"--phantom", "--body"},                           // ... and ungated
        {"--phantom", "--counts", "0"},
        {"--phantom", "--bounce-views", "3", "--bounce-shift", "2", "--bounce-view", "4"},
        {"--phantom", "--head-offset", "1"},              // two detectors need saying
        {"--phantom", "--gate-first-view", "3"},          // the gate views need a drop
        {"--phantom", "--seed", "1.5"},
    };
    for (std::vector<std::string> args : bad) {
        SCOPED_TRACE(args.front());
        args.push_back("--output");
        args.push_back(path);
        const ProcessResult r = runProcess(kMakeStudy, args);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.err.rfind("make-study: ", 0), 0u) << r.err;
        EXPECT_FALSE(fileExists(path));
    }
    // No output file given at all.
    ProcessResult r = runProcess(kMakeStudy, {"--matrix", "64"});
    EXPECT_EQ(r.exitCode, 2);

    r = runProcess(kMakeStudy, {"--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.rfind("Usage: make-study", 0), 0u);
    EXPECT_NE(r.out.find("--reverse"), std::string::npos);

    // A file that cannot be written gives 1.
    r = runProcess(kMakeStudy, {"--output", dir.file("missing/x.prj")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_FALSE(r.err.empty());
}

TEST(MakeStudy, APhantomIsTheSameStudyEveryTimeAndItsFaultsChangeIt) {
    TempDir dir;
    const auto make = [&dir](const std::string& name, std::vector<std::string> args) {
        args.insert(args.begin(), "--phantom");
        args.insert(args.end(), {"--output", dir.file(name)});
        const ProcessResult r = runProcess(kMakeStudy, args);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return readFile(dir.file(name));
    };
    const std::string still = make("a.prj", {});
    EXPECT_EQ(make("b.prj", {}), still);
    EXPECT_NE(make("moved.prj", {"--motion-shift", "0.5", "--motion-view=12"}), still);
    EXPECT_NE(make("dropped.prj", {"--gate-drop", "70", "--gate-from", "6"}), still);
    EXPECT_NE(make("across.prj", {"--lateral-shift", "1", "--motion-view", "12", "--counts", "40000"}), still);
    EXPECT_NE(make("seed.prj", {"--seed", "7"}), still);
    EXPECT_NE(make("body.prj", {"--body", "--divisions", "0", "--hr", "0"}), make("ungated.prj", {"--divisions", "0", "--hr", "0"}));
    Status result;
    auto study = load(dir.file("a.prj"), result);
    ASSERT_EQ(result, kOk);
    EXPECT_EQ(study->record.division, 8);
    EXPECT_EQ(study->record.frames, 32);
    expectPicture(*study, 4, 16);
    // An ungated 128 x 128 float phantom.
    make("u.prj", {"--divisions", "0", "--hr", "0", "--frames", "20", "--matrix", "128", "--float"});
    study = load(dir.file("u.prj"), result);
    ASSERT_EQ(result, kOk);
    EXPECT_TRUE(study->flags.reducedMatrix);
    expectPicture(*study, 0, 19);
}

TEST(MakeStudy, BuildSamplesLoad) {
    Status result;
    auto rest = load(kSamplesDir + "/rest-gated-64.prj", result);
    ASSERT_EQ(result, kOk);
    EXPECT_EQ(rest->record.division, 8);
    EXPECT_EQ(rest->record.frames, 32);
    EXPECT_NE(rest->record.hr, 0);
    EXPECT_FALSE(rest->flags.reducedMatrix);
    expectPicture(*rest, 7, 31);

    auto stress = load(kSamplesDir + "/stress-gated-128f.prj", result);
    ASSERT_EQ(result, kOk);
    EXPECT_EQ(stress->record.division, 8);
    EXPECT_EQ(stress->record.frames, 32);
    EXPECT_TRUE(stress->flags.reducedMatrix);
    expectPicture(*stress, 0, 0);
}

}  // namespace
}  // namespace trevik::test
