// The node's quality-control pages: every line the inspection reports of
// the .gsd it wrote, each drawn in a box of its own inside the page, the
// patient and the series named; a folder the node filled lists its pictures
// as other files; an object without a heart is never said to hold one.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tests/app/dicom/dicom_fixtures.h"
#include "tests/app/dicom/pacs_fixture.h"
#include "tests/app/dicom/six_windows.h"

namespace trevik::test {
namespace {

namespace fs = std::filesystem;
const std::string kInspectProgram = TREVIK_INSPECT_BIN;

// A node with --qc-pictures, stopped by its process id.
struct QcNode {
    TempDir dir;
    int port = freePort();
    pid_t pid = -1;
    explicit QcNode(const std::vector<std::string>& more = {}) {
        fs::create_directory(dir.file("in"));
        std::vector<std::string> args = {"receive", "--aet", "NODE", "--port", std::to_string(port), "--inbox", dir.file("in"),
                                         "--allow", "CAM", "--qc", "--qc-pictures"};
        args.insert(args.end(), more.begin(), more.end());
        pid = spawn(kTrevikDicom, args, dir.file("node.log"));
        for (int i = 0; i < 200 && readFile(dir.file("node.log")).find("listening as NODE") == std::string::npos; ++i)
            ::usleep(50000);
    }
    ~QcNode() {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    bool store(const std::string& dcm) const {
        return runProcess("storescu", {"-aet", "CAM", "-aec", "NODE", "127.0.0.1", std::to_string(port), dcm}).exitCode == 0;
    }
    std::vector<std::string> inbox(const std::string& ending) const {
        std::vector<std::string> found;
        for (const auto& e : fs::directory_iterator(dir.file("in")))
            if (e.path().string().ends_with(ending)) found.push_back(e.path().string());
        return found;
    }
};

struct Box {
    int x, y, width, height;
    std::string text;
};
struct Page {
    int width = 0, height = 0;
    std::vector<Box> lines;
};

std::uint32_t big(const std::string& b, std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(b[at])) << 24 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 1])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 2])) << 8 | static_cast<unsigned char>(b[at + 3]);
}

// The page's size and the layout of its words, read back from its chunks.
Page readPage(const std::string& path) {
    const std::string png = readFile(path);
    Page page;
    for (std::size_t at = 8; at + 12 <= png.size();) {
        const std::size_t length = big(png, at);
        const std::string type = png.substr(at + 4, 4), data = png.substr(at + 8, length);
        if (type == "IHDR") page.width = static_cast<int>(big(data, 0)), page.height = static_cast<int>(big(data, 4));
        if (type == "tEXt" && data.starts_with(std::string("trevik-qc-lines") + '\0')) {
            std::istringstream lines(data.substr(16));
            for (std::string line; std::getline(lines, line);) {
                Box b{};
                std::istringstream fields(line);
                fields >> b.x >> b.y >> b.width >> b.height;
                std::getline(fields >> std::ws, b.text);
                page.lines.push_back(b);
            }
        }
        at += 12 + length;
    }
    return page;
}

// The report's quality-control lines as the page carries them: the verdict
// first, then every qc line but the one that names the page.
std::vector<std::string> qcLines(const std::string& report) {
    std::vector<std::string> out;
    std::istringstream lines(report);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("qc: ")) out.insert(out.begin(), line);
        if ((line.starts_with("qc ") && !line.starts_with("qc page: ")) || line.starts_with("warning: qc ")) out.push_back(line);
    }
    return out;
}

TEST(ReceiveQc, ThePageCarriesEveryLineOfTheReportInABoxOfItsOwn) {
    privateNetwork();
    QcNode node;
    const std::string dcm = synthesiseAndExport(
        {"--phantom", "--counts", "40000", "--motion-shift", "2", "--motion-view", "12", "--name", "MOVED PATIENT"}, node.dir);
    ASSERT_TRUE(node.store(dcm)) << readFile(node.dir.file("node.log"));
    const auto gsd = node.inbox(".gsd"), png = node.inbox(".qc.png");
    ASSERT_EQ(gsd.size(), 1u);
    ASSERT_EQ(png.size(), 1u);
    const ProcessResult inspected = runProcess(kInspectProgram, {"--qc", node.dir.file("again.png"), gsd[0]});
    ASSERT_EQ(inspected.exitCode, 0);
    const std::vector<std::string> expected = qcLines(inspected.out);
    ASSERT_GE(expected.size(), 5u) << inspected.out;
    EXPECT_EQ(expected[0], "qc: warn");

    for (const std::string& path : {png[0], node.dir.file("again.png")}) {
        const Page page = readPage(path);
        std::vector<std::string> drawn;
        for (std::size_t i = 0; i < page.lines.size(); ++i) {
            const Box& b = page.lines[i];
            EXPECT_TRUE(b.x >= 0 && b.y >= 0 && b.width > 0 && b.x + b.width <= page.width && b.y + b.height <= page.height)
                << b.text;
            for (std::size_t j = 0; j < i; ++j) {
                const Box& o = page.lines[j];
                EXPECT_TRUE(b.x >= o.x + o.width || o.x >= b.x + b.width || b.y >= o.y + o.height || o.y >= b.y + b.height)
                    << b.text << " overlaps " << o.text;
            }
            if (b.text.starts_with("qc") || b.text.starts_with("warning: qc")) drawn.push_back(b.text);
        }
        EXPECT_EQ(drawn, expected) << path;
        ASSERT_GE(page.lines.size(), 3u);
        EXPECT_NE(page.lines[1].text.find("patient ID A123-45   name MOVED_PATIENT   study 2001.05.14 10:23:45"),
                  std::string::npos);
    }
    // The node knows the series; the .gsd does not hold it.
    EXPECT_NE(readPage(png[0]).lines[1].text.find("series 1"), std::string::npos);

    // The folder the node filled: its page is another file, not a failure.
    const ProcessResult listed = runProcess(kInspectProgram, {"--tsv", node.dir.file("in")});
    EXPECT_EQ(listed.exitCode, 0);
    EXPECT_NE(listed.out.find(png[0] + "\tother\tother\ta PNG picture, not a source\t"), std::string::npos) << listed.out;
    EXPECT_NE(listed.err.find("; other: 1; "), std::string::npos) << listed.err;
}

TEST(ReceiveQc, ACameraObjectWithoutAHeartIsJudgedAsABody) {
    privateNetwork();
    QcNode node;
    const std::string dcm = synthesiseAndExport({"--matrix", "64", "--divisions", "0", "--frames", "60"}, node.dir);
    ASSERT_TRUE(saveSixWindows(dcm, node.dir.file("six.dcm")));
    ASSERT_TRUE(node.store(node.dir.file("six.dcm")));
    // 99mTc is coded: the one window that holds its photopeak is written.
    const auto pages = node.inbox(".qc.png");
    ASSERT_EQ(pages.size(), 1u) << readFile(node.dir.file("node.log"));
    for (const std::string& path : pages) {
        const Page page = readPage(path);
        ASSERT_FALSE(page.lines.empty()) << path;
        for (const Box& b : page.lines) EXPECT_EQ(b.text.find("heart"), std::string::npos) << path << ": " << b.text;
    }
    const ProcessResult listed = runProcess(kInspectProgram, {"--tsv", node.dir.file("in")});
    EXPECT_EQ(listed.exitCode, 0);
    EXPECT_NE(listed.err.find("; other: 1; "), std::string::npos) << listed.err;

    // Window 3 (56-63 keV) taken of the object with 201Tl coded: a scatter
    // window, not judged for motion, and its page says so.
    QcNode chosen({"--energy-window", "3"});
    const std::string code = "(0054,0016)[0].(0054,0300)[0].";
    ASSERT_EQ(runProcess("dcmodify", {"-nb", "-m", code + "(0008,0100)=60057003", "-m", code + "(0008,0104)=^201^Thallium",
                                      node.dir.file("six.dcm")}).exitCode, 0);
    ASSERT_TRUE(chosen.store(node.dir.file("six.dcm")));
    const auto scatter = chosen.inbox(".qc.png");
    ASSERT_EQ(scatter.size(), 1u) << readFile(chosen.dir.file("node.log"));
    std::string words;
    for (const Box& b : readPage(scatter[0]).lines) words += b.text + "\n";
    EXPECT_NE(words.find("energy window 3 SC70L 56-63 keV (scatter)"), std::string::npos) << words;
    EXPECT_NE(words.find("\nqc motion: a scatter window of the nuclide: not judged for motion\n"), std::string::npos) << words;

    // The body phantom: none of its lines says heart either.
    const std::string body = synthesiseAndExport({"--phantom", "--body", "--divisions", "0", "--frames", "64", "--counts",
                                                  "150000"}, node.dir, "body");
    const ProcessResult report = runProcess(kInspectProgram, {node.dir.file("body.prj")});
    EXPECT_EQ(report.out.find("heart"), std::string::npos) << report.out;
    EXPECT_NE(report.out.find("qc motion: judged on the whole body's counts (an ungated study)"), std::string::npos);
    EXPECT_NE(report.out.find("\nqc: ok\n"), std::string::npos) << report.out;
}

}  // namespace
}  // namespace trevik::test
