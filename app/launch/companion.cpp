#include "app/launch/companion.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <iterator>
#include <cstring>
#include <cstdlib>

#include "writer/file_io.h"

namespace trevik::launch {

std::string signalName(int signal) {
    const char* abbreviation = ::sigabbrev_np(signal);
    const char* description = ::strsignal(signal);
    std::string name = abbreviation ? std::string("SIG") + abbreviation : "signal " + std::to_string(signal);
    if (description) name += std::string(" (") + description + ")";
    return name;
}

bool startedByLivingParent() {
    // Read once: -1 when no program said, 0 when what it said is no process.
    static const long parent = [] {
        const char* value = std::getenv(kParentVariable);
        if (!value) return -1L;
        char* end = nullptr;
        const long pid = std::strtol(value, &end, 10);
        return end != value && *end == '\0' && pid > 1 ? pid : 0L;
    }();
    return parent < 0 || ::getppid() == static_cast<pid_t>(parent);
}

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

namespace {

// While a companion runs, SIGTERM, SIGINT and SIGHUP are handed on to it:
// it ends as it would (removing what it had begun) and is waited for, so
// that nothing it writes appears after this program has ended.
// Once it has ended and is reaped, the signal ends this program too, as it
// would have (or reaches the program's own handler).
constexpr int kHandedOn[] = {SIGTERM, SIGINT, SIGHUP};
volatile std::sig_atomic_t companionPid = 0;
volatile std::sig_atomic_t handedOn = 0;

void handOn(int signal) {
    const int saved = errno;
    handedOn = signal;
    if (companionPid > 0) ::kill(static_cast<pid_t>(companionPid), signal);
    errno = saved;
}

// Blocks the handed-on signals for the fork; restoring the mask lets any
// that came meanwhile through to the handler (parent) or to the program's
// own dispositions (child).
class SignalsHandedOn {
public:
    SignalsHandedOn() {
        sigset_t set;
        sigemptyset(&set);
        for (int signal : kHandedOn) sigaddset(&set, signal);
        ::sigprocmask(SIG_BLOCK, &set, &mask_);
    }
    void child() const { ::sigprocmask(SIG_SETMASK, &mask_, nullptr); }
    void parent(pid_t child) {
        companionPid = child;
        struct sigaction action {};
        action.sa_handler = handOn;
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < std::size(kHandedOn); ++i) {
            ::sigaction(kHandedOn[i], nullptr, &previous_[i]);
            // An ignored signal stays ignored, as the companion inherits it.
            if (previous_[i].sa_handler != SIG_IGN) ::sigaction(kHandedOn[i], &action, nullptr);
        }
        installed_ = true;
        ::sigprocmask(SIG_SETMASK, &mask_, nullptr);
    }
    // The program's own dispositions again; called once the companion has
    // ended but before it is reaped, so that no signal goes to a process
    // that reuses its number. Returns the signal handed on, if any, for the
    // caller to raise once the companion is reaped.
    int release() {
        if (installed_)
            for (std::size_t i = 0; i < std::size(kHandedOn); ++i) ::sigaction(kHandedOn[i], &previous_[i], nullptr);
        installed_ = false;
        companionPid = 0;
        const int signal = handedOn;
        handedOn = 0;
        ::sigprocmask(SIG_SETMASK, &mask_, nullptr);
        return signal;
    }
    ~SignalsHandedOn() { release(); }
    SignalsHandedOn(const SignalsHandedOn&) = delete;
    SignalsHandedOn& operator=(const SignalsHandedOn&) = delete;

private:
    sigset_t mask_;
    struct sigaction previous_[std::size(kHandedOn)] {};
    bool installed_ = false;
};

}  // namespace

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
    // The companion learns which process started it, to put its output in
    // place only while that process lives.
    const pid_t parent = ::getpid();
    const std::string parentVariable = std::string(kParentVariable) + "=" + std::to_string(parent);
    std::vector<char*> envp;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, kParentVariable, std::strlen(kParentVariable)) != 0 ||
            (*e)[std::strlen(kParentVariable)] != '=')
            envp.push_back(*e);
    envp.push_back(const_cast<char*>(parentVariable.c_str()));
    envp.push_back(nullptr);
    SignalsHandedOn signals;
    const pid_t child = ::fork();
    if (child == 0) {
        // It ends with this program, even by SIGKILL: the kernel signals it
        // when the thread that forked it (the main thread) ends; a parent
        // that ended before the request leaves it to another process.
        if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) ::_exit(127);
        signals.child();
        if (captureOutput) ::dup2(output[1], STDOUT_FILENO);
        ::execve(outcome.path.c_str(), argv.data(), envp.data());
        const int error = errno;
        detail::writeAll(status[1], &error, sizeof error);
        ::_exit(127);
    }
    const int forkError = errno;
    ::close(status[1]);
    if (captureOutput) ::close(output[1]);
    if (child > 0) signals.parent(child);
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
    siginfo_t ended {};
    while (::waitid(P_PID, static_cast<id_t>(child), &ended, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
    const int handedOnSignal = signals.release();
    int wstatus = 0;
    while (::waitpid(child, &wstatus, 0) < 0 && errno == EINTR) {
    }
    if (handedOnSignal != 0) ::raise(handedOnSignal);
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
