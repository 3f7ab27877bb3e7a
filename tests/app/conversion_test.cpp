// The conversion flow's load of a data set the caller holds (what the
// receiving node hands it): the reader callback gets the study as a fresh
// program's, the flow's choice, and the frame store as its sink.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>

#include "tests/support/temp_dir.h"

#include "app/conversion/conversion.h"

namespace trevik {
namespace {

TEST(ConversionFlow, AHeldDataSetIsLoadedIntoAFreshStudyWithTheChosenWindow) {
    auto study = std::make_unique<Study>();
    copyText(study->record.id, "EARLIER");
    study->record.hr = 60;
    study->geometry.rows = 128;
    study->flags.reducedMatrix = true;
    PathBuffer input{}, output{};
    Conversion conversion(*study, input, output);
    conversion.readDicomWith(nullptr, {.energyWindow = 2, .rrInterval = 3});
    int calls = 0;
    const Status status = conversion.loadHeld(
        [&](StudyFacts& into, FrameSink& sink, const SourceChoice& choice, const LoadOptions&) {
            ++calls;
            EXPECT_EQ(&into, static_cast<StudyFacts*>(study.get()));
            EXPECT_EQ(into.record.id[0], '\0');
            EXPECT_EQ(into.record.hr, 0);
            EXPECT_EQ(into.geometry.rows, 0);
            EXPECT_FALSE(into.flags.reducedMatrix);
            EXPECT_EQ(choice.energyWindow, 2);
            EXPECT_EQ(choice.rrInterval, 3);
            EXPECT_EQ(sink.slot(0, 1), study->store.frame(0, 1));
            return statusOf(Reason::NoFrames);
        });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(status.reason, Reason::NoFrames);  // the reader's status, as it gave it
    EXPECT_TRUE(input.empty());
}

TEST(ConversionFlow, ADicomFileWithoutAReaderIsNamedSoEvenWhereNoProjectionIsLookedFor) {
    // The flow without a DICOM reader only looks for the marker once the
    // projection reader has not recognised the file.
    test::TempDir dir;
    const std::string path = dir.path() + "/object.dcm";
    std::string bytes(132, '\0');
    bytes.replace(128, 4, "DICM");
    bytes += std::string(200, 'x');
    std::ofstream(path, std::ios::binary) << bytes;
    auto study = std::make_unique<Study>();
    PathBuffer input{}, output{};
    Conversion conversion(*study, input, output);
    EXPECT_EQ(conversion.load(path).reason, Reason::DicomNeedsTrevikDicom);
    std::ofstream(path, std::ios::binary) << std::string(332, '\0');
    EXPECT_EQ(conversion.load(path).reason, Reason::NotRecognised);
}

}  // namespace
}  // namespace trevik
