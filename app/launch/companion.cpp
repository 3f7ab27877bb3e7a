#include "app/launch/companion.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "writer/file_io.h"

namespace trevik::launch {

std::string ownDirectory() {
    std::string buffer(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= buffer.size()) return {};
    buffer.resize(static_cast<std::size_t>(n));
    const std::size_t slash = buffer.rfind('/');
    if (slash == std::string::npos) return {};
    return buffer.substr(0, slash + 1);
}

std::string findCompanion(const char* name) {
    const std::string directory = ownDirectory();
    if (directory.empty()) return {};
    for (const char* place : kCompanionPlaces) {
        const std::string program = directory + place + name;
        struct stat st {};
        if (::stat(program.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) return program;
    }
    return {};
}

Outcome runCompanion(const char* name, const std::vector<std::string>& arguments, bool captureOutput) {
    Outcome outcome;
    outcome.path = findCompanion(name);
    if (outcome.path.empty()) return outcome;  // NotFound

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(name));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    // The exec's failure comes back through a pipe that closes on a
    // successful exec; the output, when captured, through another.
    int status[2], output[2] = {-1, -1};
    if (::pipe2(status, O_CLOEXEC) != 0) {
        outcome.kind = Outcome::Kind::CannotStart;
        outcome.error = errno;
        return outcome;
    }
    if (captureOutput && ::pipe2(output, O_CLOEXEC) != 0) {
        outcome.kind = Outcome::Kind::CannotStart;
        outcome.error = errno;
        ::close(status[0]);
        ::close(status[1]);
        return outcome;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        if (captureOutput) ::dup2(output[1], STDOUT_FILENO);
        ::execv(outcome.path.c_str(), argv.data());
        const int error = errno;
        detail::writeAll(status[1], &error, sizeof error);
        ::_exit(127);
    }
    const int forkError = errno;
    ::close(status[1]);
    if (captureOutput) ::close(output[1]);
    if (child < 0) {
        ::close(status[0]);
        if (captureOutput) ::close(output[0]);
        outcome.kind = Outcome::Kind::CannotStart;
        outcome.error = forkError;
        return outcome;
    }
    if (captureOutput) {
        char chunk[4096];
        for (;;) {
            const ssize_t n = ::read(output[0], chunk, sizeof chunk);
            if (n > 0) outcome.output.append(chunk, static_cast<std::size_t>(n));
            else if (n == 0 || errno != EINTR) break;
        }
        ::close(output[0]);
    }
    int execError = 0;
    ssize_t got;
    do {
        got = ::read(status[0], &execError, sizeof execError);
    } while (got < 0 && errno == EINTR);
    ::close(status[0]);
    int wstatus = 0;
    while (::waitpid(child, &wstatus, 0) < 0 && errno == EINTR) {
    }
    if (got == static_cast<ssize_t>(sizeof execError)) {
        outcome.kind = Outcome::Kind::CannotStart;
        outcome.error = execError;
    } else if (WIFSIGNALED(wstatus)) {
        outcome.kind = Outcome::Kind::Signalled;
        outcome.signal = WTERMSIG(wstatus);
    } else {
        outcome.code = WEXITSTATUS(wstatus);
        outcome.kind = outcome.code == 126 || outcome.code == 127 ? Outcome::Kind::CannotStart : Outcome::Kind::Exited;
    }
    return outcome;
}

}  // namespace trevik::launch
