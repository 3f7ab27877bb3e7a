#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "reader/projection/loader.h"
#include "study/sample.h"
#include "tests/support/temp_dir.h"
#include "tools/synth/source_file.h"

namespace trevik {
namespace {

using synth::SourceFile;
using synth::StudyPlan;

// Image i of a test study carries its index in every sample, so each frame
// shows which image it came from: sample = i * 3 + 1 (scaled: times 10).
double indexSample(int i, int, int) { return i * 3 + 1; }

class LoaderTest : public ::testing::Test {
protected:
    Status load(const SourceFile& file) {
        file.save(path);
        return loadStudy(path.c_str(), *study);
    }
    Status load(StudyPlan plan) {
        if (!plan.sample) plan.sample = indexSample;
        return load(synth::buildStudy(plan));
    }
    // The image index a frame was filled from, or -1 for an untouched frame.
    int imageIn(int d, int f) const {
        const std::int16_t v = study->store.frame(d, f)[0];
        return v == 0 ? -1 : (v / 10 - 1) / 3;
    }
    test::TempDir dir;
    std::string path = dir.file("source.prj");
    std::unique_ptr<Study> study = std::make_unique<Study>();
};

TEST_F(LoaderTest, ImagesGoToTheirFramesDivisionAfterDivision) {
    // Gated: 256 images, 8 divisions: image i in frame (i / 32, i mod 32).
    ASSERT_EQ(load(StudyPlan{.hr = 60, .division = 8, .images = 256}), kOk);
    EXPECT_EQ(study->record.frames, 32);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(imageIn(i / 32, i % 32), i) << i;
    EXPECT_EQ(study->store.frame(0, 5)[4095], (5 * 3 + 1) * 10) << "the whole frame is filled";

    // Ungated: 100 images run on into the slots of later divisions.
    study = std::make_unique<Study>();
    ASSERT_EQ(load(StudyPlan{.hr = 0, .division = 0, .images = 100}), kOk);
    EXPECT_EQ(study->record.frames, 100);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(imageIn(0, i), i);

    // 250 images in 8 divisions: 31 frames each, the last two images unread.
    study = std::make_unique<Study>();
    ASSERT_EQ(load(StudyPlan{.hr = 60, .division = 8, .images = 250}), kOk);
    EXPECT_EQ(study->record.frames, 31);
    EXPECT_EQ(imageIn(7, 30), 247);
    EXPECT_EQ(imageIn(7, 31), -1);

    // Division 1 with a heart rate: one pass of all images.
    study = std::make_unique<Study>();
    ASSERT_EQ(load(StudyPlan{.hr = 75, .division = 1, .images = 20}), kOk);
    EXPECT_EQ(study->record.frames, 20);
    EXPECT_EQ(imageIn(0, 19), 19);

    // A negative division with a heart rate: refused, nothing read.
    study = std::make_unique<Study>();
    ASSERT_EQ(load(StudyPlan{.hr = 60, .division = -4, .images = 32}), kNotSupported);
    EXPECT_EQ(study->record.frames, -8);
    EXPECT_EQ(imageIn(0, 0), -1);
}

TEST_F(LoaderTest, HeartRateZeroWithDivisionsReadsTheWholeCountPerPass) {
    // 32 images, 8 passes of 32: the file holds one pass only.
    EXPECT_EQ(load(StudyPlan{.hr = 0, .division = 8, .images = 32}), kEndsEarly);
    EXPECT_EQ(study->record.frames, 32);
    EXPECT_EQ(imageIn(0, 31), 31) << "the first pass is stored";
    // 100 images per pass do not fit a division of 64 frames.
    EXPECT_EQ(load(StudyPlan{.hr = 0, .division = 8, .images = 100}), kNotSupported);
}

TEST_F(LoaderTest, SamplesAreScaledByTenModulo65536) {
    EXPECT_EQ(scaleSample(std::int16_t{3276}), 32760);
    EXPECT_EQ(scaleSample(std::int16_t{3277}), -32766);
    EXPECT_EQ(scaleSample(std::int16_t{-1}), -10);
    EXPECT_EQ(scaleSample(std::int16_t{32767}), -10);
    EXPECT_EQ(scaleSample(1.25f), 12);
    EXPECT_EQ(scaleSample(-1.25f), -12);
    EXPECT_EQ(scaleSample(-0.05f), 0);
    EXPECT_EQ(scaleSample(0.7f), 6) << "truncated after an exact tenfold product";
    EXPECT_EQ(scaleSample(3276.8f), -32768);
    EXPECT_EQ(scaleSample(1e10f), static_cast<std::int16_t>(static_cast<std::uint16_t>(100000000000LL & 0xFFFF)));
    // No integer value: stored as 0.
    EXPECT_EQ(scaleSample(std::numeric_limits<float>::infinity()), 0);
    EXPECT_EQ(scaleSample(-std::numeric_limits<float>::infinity()), 0);
    EXPECT_EQ(scaleSample(std::numeric_limits<float>::quiet_NaN()), 0);
    EXPECT_EQ(scaleSample(std::numeric_limits<float>::max()), 0);
    EXPECT_EQ(scaleSample(1e17f), static_cast<std::int16_t>(static_cast<std::uint16_t>(
                                      static_cast<std::int64_t>(static_cast<double>(1e17f) * 10))));
    EXPECT_EQ(scaleSample(1e18f), 0) << "tenfold beyond the signed 64-bit range";
    EXPECT_EQ(scaleSample(-9.2233715e17f), 0) << "tenfold beyond the signed 64-bit range";
}

TEST_F(LoaderTest, BothSampleFormsAreReadByTheirPreambleSize) {
    const std::vector<float> values = {3277.0f, 0.7f, 3276.8f, -0.05f};
    auto sample = [&values](int, int y, int x) { return static_cast<double>(values[(y * 64 + x) % 4]); };
    ASSERT_EQ(load(StudyPlan{.floats = true, .hr = 0, .division = 0, .images = 1, .sample = sample}), kOk);
    const std::int16_t* frame = study->store.frame(0, 0);
    EXPECT_EQ(frame[0], -32766);  // 32770 modulo 65536
    EXPECT_EQ(frame[1], 6);
    EXPECT_EQ(frame[2], -32768);
    EXPECT_EQ(frame[3], 0);

    // Any sample size but 32 means 16-bit integers: 16, 0, 8, 8192.
    for (std::uint16_t bits : {16, 0, 8, 8192}) {
        SourceFile f = synth::buildStudy(StudyPlan{.hr = 0, .division = 0, .images = 1, .sample = indexSample});
        f.preambleWord(18, bits);
        ASSERT_EQ(load(f), kOk) << bits;
        EXPECT_EQ(study->store.frame(0, 0)[100], 10) << bits;
    }
}

TEST_F(LoaderTest, A128MatrixIsReducedBySummingBlocks) {
    auto sample = [](int i, int y, int x) -> double { return i == 0 ? 1000 : (y * 128 + x) % 7; };
    study->record.pixel = 99;
    ASSERT_EQ(load(StudyPlan{.matrix = 128, .hr = 0, .division = 0, .images = 2, .pixelSpacing = "3.2\\3.2",
                             .sample = sample}),
              kOk);
    EXPECT_EQ(study->store.frame(0, 0)[0], -25536) << "four samples of 1000 sum to 40000, modulo 65536";
    for (int r = 0; r < 64; r += 9)
        for (int c = 0; c < 64; c += 5) {
            int sum = 0;
            for (int dy = 0; dy < 2; ++dy)
                for (int dx = 0; dx < 2; ++dx) sum += 10 * (((2 * r + dy) * 128 + 2 * c + dx) % 7);
            ASSERT_EQ(study->store.frame(0, 1)[64 * r + c], sum) << r << "," << c;
        }
    EXPECT_EQ(study->record.pixel, 6.4);
    EXPECT_EQ(study->geometry.columns, 64);
    EXPECT_EQ(study->geometry.rows, 64);
    EXPECT_TRUE(study->flags.reducedMatrix);

    // A second load of a 64 x 64 file without "M" clears both flags.
    ASSERT_EQ(load(StudyPlan{.hr = 0, .division = 0, .images = 1, .reverse = false}), kOk);
    EXPECT_FALSE(study->flags.reducedMatrix);
    EXPECT_EQ(study->record.pixel, 6.4);
    study->flags.reverseFrames = true;
    ASSERT_EQ(load(StudyPlan{.hr = 0, .division = 0, .images = 1, .reverse = false}), kOk);
    EXPECT_FALSE(study->flags.reverseFrames);
    ASSERT_EQ(load(StudyPlan{.hr = 0, .division = 0, .images = 1, .reverse = true}), kOk);
    EXPECT_TRUE(study->flags.reverseFrames);
}

TEST_F(LoaderTest, TheEndOfTheFileDecidesBetweenZeroAndFour) {
    const SourceFile whole = synth::buildStudy(StudyPlan{.hr = 60, .division = 2, .images = 4, .sample = indexSample});
    ASSERT_EQ(load(whole), kOk) << "a file ending exactly behind the last image";

    study = std::make_unique<Study>();
    ASSERT_EQ(load(SourceFile(whole).cut(whole.size() - 1)), kEndsEarly);
    EXPECT_EQ(imageIn(1, 0), 2) << "earlier images are stored";
    EXPECT_EQ(imageIn(1, 1), -1) << "the short image is not";
    EXPECT_EQ(study->record.frames, 2);

    // The file ends before the header does: 4, nothing read.
    study = std::make_unique<Study>();
    ASSERT_EQ(load(SourceFile(whole).cut(200)), kEndsEarly);
    EXPECT_EQ(imageIn(0, 0), -1);

    // The file ends inside the gap behind the end element: 4 when images
    // are to be read; a study without images is refused before that.
    const SourceFile none = synth::buildStudy(StudyPlan{.hr = 0, .division = 0, .images = 0});
    EXPECT_EQ(load(SourceFile(none).cut(none.pixelStart() - 100)), kNotSupported);
    EXPECT_EQ(load(SourceFile(whole).cut(whole.pixelStart() - 100)), kEndsEarly);
}

TEST_F(LoaderTest, SourcesThatCannotBeOpenedOrAreNotProjectionFiles) {
    EXPECT_EQ(loadStudy(dir.file("missing").c_str(), *study), kCannotOpen);
    EXPECT_EQ(loadStudy(dir.path().c_str(), *study), kCannotOpen) << "a directory";
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(loadStudy(fifo.c_str(), *study), kCannotOpen) << "a FIFO cannot be read from its start again";

    study->record.hr = 5;
    EXPECT_EQ(load(SourceFile(16, false).raw(8, 0x20, 4, "abcd").end()), kNotSupported);
    EXPECT_EQ(load(SourceFile().cut(70)), kNotSupported);
    EXPECT_EQ(study->record.hr, 5) << "a failed probe changes nothing";
    // A negative length inside the header.
    EXPECT_EQ(load(SourceFile().raw(0x0010, 0x0010, -1, "").end()), kNotSupported);
}

TEST_F(LoaderTest, OnlyGeometriesAndStudiesTheFrameStoreCanHoldAreRead) {
    auto withGeometry = [](std::int16_t rows, std::int16_t columns) {
        SourceFile f;
        f.be16(0x0028, 0x0010, rows).be16(0x0028, 0x0011, columns).be32(0x6B01, 0x1001, 1).end();
        f.bytes(std::string(128 * 128 * 2, '\1'));
        return f;
    };
    EXPECT_EQ(load(withGeometry(64, 64)), kOk);
    EXPECT_EQ(load(withGeometry(128, 128)), kOk);
    for (auto [rows, columns] : {std::pair<std::int16_t, std::int16_t>{128, 64}, {64, 128}, {32, 32}, {0, 0},
                                 {-64, -64}, {256, 256}, {64, 1024}})
        EXPECT_EQ(load(withGeometry(rows, columns)), kNotSupported) << rows << " x " << columns;
    // Absent Rows and Columns on the first load of a study: 0, refused even
    // without images.
    study = std::make_unique<Study>();
    EXPECT_EQ(load(SourceFile().be32(0x6B01, 0x1001, 0).end()), kNotSupported);

    // Capacity: one pass holds 1024 frames, several passes 16 x 64.
    study = std::make_unique<Study>();
    auto header = [](std::int16_t hr, std::int16_t division, std::int32_t images) {
        return SourceFile().be16(0x0028, 0x0010, 64).be16(0x0028, 0x0011, 64).heartRate(hr, division)
            .be32(0x6B01, 0x1001, images).end();
    };
    EXPECT_EQ(load(header(0, 0, 1025)), kNotSupported);
    EXPECT_EQ(load(header(0, 0, 1024)), kEndsEarly) << "accepted, then the pixel data is missing";
    EXPECT_EQ(load(header(60, 17, 17)), kNotSupported) << "17 passes";
    EXPECT_EQ(load(header(60, 16, 16 * 65)), kNotSupported) << "65 frames per pass";
    EXPECT_EQ(load(header(60, 16, 16 * 64)), kEndsEarly);
    EXPECT_EQ(load(header(60, -1, INT32_MIN)), kNotSupported) << "the quotient overflows";
    EXPECT_EQ(load(header(60, 8, INT32_MIN)), kNotSupported) << "negative frames";
    EXPECT_EQ(load(header(0, 0, -5)), kNotSupported);
    EXPECT_EQ(load(header(60, 8, 7)), kNotSupported) << "no frame in a division";
    EXPECT_EQ(load(header(0, -2, 7)), kNotSupported) << "negative divisions without a heart rate";
}

// A sink that keeps every frame it is given, of any side.
struct KeepingSink final : FrameSink {
    StudyFacts facts{};
    FrameLayout layout{};
    std::vector<std::vector<std::int16_t>> frames;
    std::vector<std::int16_t> room;
    Status begin(const StudyFacts& f, const FrameLayout& l) override {
        facts = f;
        layout = l;
        room.resize(static_cast<std::size_t>(l.side * l.side));
        return {};
    }
    std::int16_t* slot(int, int) override { return room.data(); }
    Status stored(int, int) override {
        frames.push_back(room);
        return {};
    }
};

TEST_F(LoaderTest, TheSinksFormDecidesMatrixAndSamples) {
    // Floats that round both ways, a half, and one beyond the 16-bit range.
    const float values[] = {2.5f, -2.5f, 1.4f, 40000.0f};
    StudyPlan plan{.matrix = 128, .floats = true, .hr = 60, .division = 2, .images = 2};
    plan.sample = [&](int i, int y, int x) { return i == 1 && y == 0 && x < 4 ? values[x] : 7.0; };
    synth::buildStudy(plan).save(path);

    KeepingSink counts;
    CountChanges changes;
    LoadOptions options;
    options.form = {FrameForm::Matrix::Source, FrameForm::Samples::Counts};
    options.changes = &changes;
    ASSERT_EQ(loadStudy(path.c_str(), *study, counts, options), kOk);
    EXPECT_EQ(counts.layout.side, 128);
    ASSERT_EQ(counts.frames.size(), 2u);
    EXPECT_EQ(std::vector<std::int16_t>(counts.frames[1].begin(), counts.frames[1].begin() + 5),
              (std::vector<std::int16_t>{3, -3, 1, 32767, 7}));
    EXPECT_EQ(changes.rounded, 3);
    EXPECT_EQ(changes.clamped, 1);
    EXPECT_EQ(study->geometry.columns, 128) << "the source's matrix is kept";
    EXPECT_FALSE(study->flags.reducedMatrix);

    // Tenfold at the source's matrix; the reduced tenfold frames match the
    // store's, with the source images shown to an observer on the way.
    KeepingSink tenfold;
    options.form = {FrameForm::Matrix::Source, FrameForm::Samples::Tenfold};
    ASSERT_EQ(loadStudy(path.c_str(), *study, tenfold, options), kOk);
    EXPECT_EQ(tenfold.frames[1][0], 25);
    EXPECT_EQ(tenfold.frames[1][3], static_cast<std::int16_t>(400000 % 65536));
    KeepingSink reduced;
    int seen = 0;
    options = {};
    options.sourceImage = [&](const SourceImage& image) { seen += image.side; };
    ASSERT_EQ(loadStudy(path.c_str(), *study, reduced, options), kOk);
    EXPECT_EQ(seen, 2 * 128);
    auto stored = std::make_unique<Study>();
    ASSERT_EQ(loadStudy(path.c_str(), *stored), kOk);
    EXPECT_TRUE(std::equal(reduced.frames[1].begin(), reduced.frames[1].end(), stored->store.frame(1, 0)));
}

TEST_F(LoaderTest, TheSinkSeesTheFactsSettledForItsForm) {
    synth::buildStudy(StudyPlan{.matrix = 128, .hr = 60, .division = 2, .images = 4}).save(path);
    KeepingSink source;
    LoadOptions options;
    options.form.matrix = FrameForm::Matrix::Source;
    ASSERT_EQ(loadStudy(path.c_str(), *study, source, options), kOk);
    const double pixel = source.facts.record.pixel;
    EXPECT_EQ(source.facts.geometry.columns, 128);
    EXPECT_FALSE(source.facts.flags.reducedMatrix);
    EXPECT_EQ(source.facts.record.frames, 2) << "frames of one division";

    KeepingSink reduced;
    ASSERT_EQ(loadStudy(path.c_str(), *study, reduced), kOk);
    EXPECT_EQ(reduced.facts.geometry.columns, 64);
    EXPECT_EQ(reduced.facts.record.pixel, 2 * pixel);
    EXPECT_TRUE(reduced.facts.flags.reducedMatrix);
    // The facts stay as the sink saw them.
    EXPECT_EQ(study->geometry.columns, 64);
    EXPECT_EQ(study->record.pixel, 2 * pixel);
}

}  // namespace
}  // namespace trevik
