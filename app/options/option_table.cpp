#include "app/options/option_table.h"

#include <cstdio>

namespace trevik::options {

namespace {

constexpr Option kHelpOption{"--help", "", "this text (also -h)"};
constexpr std::size_t kHelpColumn = 24;

// One option's block: name and value, its text from the help column, a
// name too long for the column on a line of its own.
void appendOption(std::string& out, const Option& option) {
    std::string head("  ");
    head.append(option.name);
    if (!option.value.empty()) head.append(" ").append(option.value);
    out += head;
    if (head.size() + 2 > kHelpColumn) {
        out += "\n";
        head.clear();
    }
    std::string_view text = option.help;
    bool first = true;
    while (first || !text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        out.append(first ? kHelpColumn - head.size() : kHelpColumn, ' ').append(line).append("\n");
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        first = false;
    }
}

}  // namespace

std::string helpText(const Help& help) {
    std::string out("usage: ");
    out.append(help.usage).append("\n");
    if (!help.about.empty()) out.append("\n").append(help.about).append(help.about.ends_with('\n') ? "" : "\n");
    out.append("\noptions:\n");
    bool version = false;
    for (const Option& option : help.options) {
        appendOption(out, option);
        version = version || option.name == "--version";
    }
    appendOption(out, kHelpOption);
    if (!version) appendOption(out, {"--version", "", "the version"});
    if (!help.exitCodes.empty())
        out.append("\nexit codes:\n").append(help.exitCodes).append(help.exitCodes.ends_with('\n') ? "" : "\n");
    return out;
}

const Option* findOption(std::span<const Option> table, std::string_view arg) {
    for (const Option& option : table) {
        if (arg == option.name) return &option;
        if (!option.value.empty() && arg.size() > option.name.size() && arg.starts_with(option.name) &&
            arg[option.name.size()] == '=')
            return &option;
    }
    return nullptr;
}

Ask ask(std::span<const std::string> args, std::span<const Option> table) {
    Ask asked = Ask::Run;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") break;
        if (arg == "--help" || arg == "-h") return Ask::Help;
        if (arg == "--version") asked = Ask::Version;
        // The value of an option that takes one is skipped, whatever it says.
        if (const Option* option = findOption(table, arg); option && !option->value.empty() && arg == option->name) ++i;
    }
    return asked;
}

int printHelp(const Help& help) {
    const std::string text = helpText(help);
    return std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0;
}

}  // namespace trevik::options
