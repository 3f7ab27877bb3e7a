// Another reader, XMedCon, reads an export as the study it holds: the gated
// form as time slots of projections, the ungated one as projections.
#include <gtest/gtest.h>

#include "tests/app/dicom/dicom_fixtures.h"

namespace trevik::test {
namespace {

TEST(OtherReader, XMedConReadsTheTimeSlotsAndProjections) {
    TempDir dir;
    struct Case {
        std::vector<std::string> study;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {{"--matrix", "64", "--divisions", "8", "--frames", "32"},
         {"!type of data := GSPECT", "!total number of images := 256", "!number of images in time window := 8",
          "!number of projections := 32", "!matrix size [1] := 64"}},
        {{"--matrix", "128", "--float", "--divisions", "0", "--frames", "60", "--reverse"},
         {"!type of data := Tomographic", "!total number of images := 60", "!number of projections := 60",
          "!matrix size [1] := 128", "scaling factor (mm/pixel) [1] := +3.200000e+00"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> study = c.study;
        study.insert(study.end(), {"--output", dir.file("study.prj")});
        ASSERT_EQ(runProcess(kMakeStudy, study).exitCode, 0);
        const std::string object = dir.file("study.dcm");
        ASSERT_EQ(runProcess(kTrevikDicom, {"export", dir.file("study.prj"), object}).exitCode, 0);
        const ProcessResult read = runProcess("medcon", {"-f", object, "-c", "intf", "-o", dir.file("read")});
        ASSERT_EQ(read.exitCode, 0) << read.err;
        EXPECT_EQ(read.err.find("warning"), std::string::npos) << read.err;
        std::string header = readFile(dir.file("read.h33"));
        std::erase(header, '\r');
        for (const std::string& line : c.lines) EXPECT_NE(header.find(line + "\n"), std::string::npos) << line << "\n" << header;
        std::remove(dir.file("read.h33").c_str());
        std::remove(dir.file("read.i33").c_str());
    }
}

}  // namespace
}  // namespace trevik::test
