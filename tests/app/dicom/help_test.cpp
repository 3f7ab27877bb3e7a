// Help on every command: --help and -h print the usage to standard output
// and exit 0, wherever they stand among the options; an unknown option
// names itself and exits 2; --version names the libraries.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/options/option_table.h"
#include "tests/app/dicom/dicom_fixtures.h"

namespace trevik::test {
namespace {

TEST(CommandHelp, EveryCommandAnswersHelpAndRefusesAnUnknownOptionByName) {
    const std::vector<std::vector<std::string>> commands = {
        {kTrevikDicom, "export"}, {kTrevikDicom, "send"},    {kTrevikDicom, "import"},
        {kTrevikDicom, "inspect"}, {kTrevikDicom, "receive"}, {TREVIK_INSPECT_BIN}};
    for (const std::vector<std::string>& command : commands) {
        const std::string name = command.size() > 1 ? "trevik-dicom " + command[1] : "trevik-inspect";
        for (const char* help : {"--help", "-h"}) {
            std::vector<std::string> args(command.begin() + 1, command.end());
            args.insert(args.end(), {"--energy-window", "1", help, "file"});
            const ProcessResult run = runProcess(command[0], args);
            EXPECT_EQ(run.exitCode, 0) << name << help << run.err;
            EXPECT_EQ(run.out.rfind("usage: " + name + " ", 0), 0u) << run.out;
            EXPECT_NE(run.out.find("\n  --help "), std::string::npos) << run.out;
        }
        std::vector<std::string> args(command.begin() + 1, command.end());
        args.insert(args.end(), {"--no-such-option", "a", "b"});
        const ProcessResult run = runProcess(command[0], args);
        EXPECT_EQ(run.exitCode, 2) << name;
        EXPECT_NE(run.err.find(name + ": unknown option --no-such-option"), std::string::npos) << run.err;
    }
    // The top-level usage fits a terminal: every line within 79 columns.
    const ProcessResult top = runProcess(kTrevikDicom, {"--help"});
    for (std::size_t at = 0, end; (end = top.out.find('\n', at)) != std::string::npos; at = end + 1)
        EXPECT_LE(end - at, 79u) << top.out.substr(at, end - at);
    const ProcessResult version = runProcess(kTrevikDicom, {"import", "--version"});
    EXPECT_EQ(version.exitCode, 0);
    for (const char* library : {"\nDCMTK: built with 3.", "\nOpenSSL: built with ", ", runs ", "\nOpenJPEG: built with 2."})
        EXPECT_NE(version.out.find(library), std::string::npos) << version.out;
}

// The table: an option's value is never taken for --help; "--" ends the
// options; a name too long for the column gets a line of its own.
TEST(CommandHelp, TheOptionTableSkipsValuesAndLaysOutItsText) {
    using options::Ask;
    constexpr options::Option table[] = {{"--qc", "OUT.png", "the page"}, {"--a-rather-long-option", "VALUE", "x\ny"}};
    const auto asked = [&](std::vector<std::string> args) { return options::ask(args, table); };
    EXPECT_EQ(asked({"--qc", "-h", "f"}), Ask::Run);
    EXPECT_EQ(asked({"--qc=-h", "-h"}), Ask::Help);
    EXPECT_EQ(asked({"--", "--help"}), Ask::Run);
    EXPECT_EQ(asked({"--version", "--help"}), Ask::Help);
    EXPECT_EQ(asked({"f", "--version"}), Ask::Version);
    const std::string text = options::helpText({"p [OPTION]... FILE", "", table, ""});
    EXPECT_EQ(text,
              "usage: p [OPTION]... FILE\n\noptions:\n"
              "  --qc OUT.png          the page\n"
              "  --a-rather-long-option VALUE\n                        x\n                        y\n"
              "  --help                this text (also -h)\n"
              "  --version             the version\n");
}

}  // namespace
}  // namespace trevik::test
