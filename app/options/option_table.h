// The options of a command as one table: what --help prints is made from
// it, and where --help or -h stands among the arguments is found with it
// (an option's value is never taken for one), so that every command answers
// them alike. Plain C++.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace trevik::options {

// One option: its name ("--tsv"), the word for its value (empty for a flag,
// which takes none), and what it does, one short line or several joined by
// "\n".
struct Option {
    std::string_view name;
    std::string_view value;
    std::string_view help;
};

// A command's help: its usage line, what it does, its options and its exit
// codes (each text may span lines; empty where there is nothing to say).
struct Help {
    std::string_view usage;
    std::string_view about;
    std::span<const Option> options;
    std::string_view exitCodes;
};

// The help as --help prints it: "usage: ...", the text, then one block per
// option (--help and --version among them), then the exit codes.
std::string helpText(const Help& help);

// The option of `table` that `arg` names ("--name", or "--name=VALUE" for
// one that takes a value); nullptr when none.
const Option* findOption(std::span<const Option> table, std::string_view arg);

// What the arguments ask before the command reads them: its help when
// --help or -h stands among the options of `args` (before "--", never as
// the value of an option of `table` that takes one), else its version when
// --version stands there, else a run.
enum class Ask { Run, Help, Version };
Ask ask(std::span<const std::string> args, std::span<const Option> table);

// Prints `help` to standard output; the exit code: 0, or 1 when standard
// output cannot be written.
int printHelp(const Help& help);

}  // namespace trevik::options
