// Running a program as a child process and collecting its exit status and
// everything it printed. Arguments are passed as a vector, never through a
// shell.
#pragma once

#include <string>
#include <vector>

namespace trevik::test {

struct ProcessResult {
    bool started = false;  // false: the program could not be started at all
    int exitCode = -1;     // the exit status, or -1 when it ended by a signal
    std::string out;       // standard output
    std::string err;       // standard error
};

// Runs `program` (found through PATH when it holds no slash) with `args`
// after argv[0], waits for it and returns what it did.
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args);

// The tab-separated fields of each line of `out` (a program's TSV output).
std::vector<std::vector<std::string>> tsvFields(const std::string& out);

}  // namespace trevik::test
