#include "app/dicom/receive_supervisor.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

namespace trevik::dicom {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBacklog = 64;
constexpr int kKillSeconds = 10;  // after SIGALRM, a process that has not ended is killed
constexpr int kDrainSeconds = 2;  // a refused connection is read and closed within this
constexpr std::size_t kMostDraining = 32;
// A-ASSOCIATE-RJ: rejected (transient), by the service provider's
// presentation layer, for a local limit exceeded. Sent before the request
// is read: a refusal costs the node nothing a peer can prolong.
constexpr unsigned char kReject[] = {0x03, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x02, 0x03, 0x02};

// The parent's signals, as flags for its loop.
volatile sig_atomic_t stopSignal = 0;
volatile sig_atomic_t childEnded = 0;
void onStop(int signal) { stopSignal = signal; }
void onChild(int) { childEnded = 1; }

// A connection process's own state, for its signal handlers.
volatile sig_atomic_t busy = 0;
volatile sig_atomic_t stopping = 0;
volatile sig_atomic_t timedOut = 0;
volatile sig_atomic_t connection = -1;
void onTerm(int) {
    stopping = 1;
    if (!busy) ::shutdown(connection, SHUT_RDWR);
}
void onAlarm(int) {
    timedOut = 1;
    ::shutdown(connection, SHUT_RDWR);
}

void handle(int signal, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
}

std::string addressText(const in_addr& address) {
    char text[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

std::string endWords(int status) {
    if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
    const int signal = WTERMSIG(status);
    const char* name = ::strsignal(signal);
    return std::string("ended by signal ") + std::to_string(signal) + (name ? std::string(" (") + name + ")" : "");
}

}  // namespace

void connectionBusy(bool isBusy) { busy = isBusy ? 1 : 0; }
bool connectionStopping() { return stopping != 0; }
bool connectionTimedOut() { return timedOut != 0; }
void connectionDeadline(int seconds) { ::alarm(static_cast<unsigned>(seconds)); }

struct Supervisor::State {
    struct Child {
        std::string address;
        Clock::time_point deadline;  // SIGALRM then
        bool alarmed = false;
        Clock::time_point killAt;  // SIGKILL then, once alarmed
    };
    struct Draining {
        int fd;
        Clock::time_point until;
    };
    std::map<pid_t, Child> children;
    std::vector<Draining> draining;
    sigset_t waitMask{};
    Clock::time_point pausedUntil{};

    int from(const std::string& address) const {
        return static_cast<int>(std::count_if(children.begin(), children.end(),
                                              [&](const auto& child) { return child.second.address == address; }));
    }
};

Supervisor::~Supervisor() {
    if (listener_ >= 0) ::close(listener_);
}

bool Supervisor::listen(std::string& reason) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (listener_ < 0) {
        reason = std::strerror(errno);
        return false;
    }
    const int reuse = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr = settings_.address;
    address.sin_port = htons(settings_.port);
    if (::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, kBacklog) != 0) {
        reason = std::strerror(errno);
        ::close(listener_);
        listener_ = -1;
        return false;
    }
    return true;
}

void Supervisor::refuse(State& state, int fd, const std::string& address, const std::string& why) {
    log_("association from " + address + " refused: " + why);
    // The answer, then the peer's request read and dropped until it closes
    // (or kDrainSeconds), so that the answer is not lost to a reset.
    (void)!::send(fd, kReject, sizeof kReject, MSG_NOSIGNAL | MSG_DONTWAIT);
    ::shutdown(fd, SHUT_WR);
    if (state.draining.size() >= kMostDraining) {
        ::close(fd);
        return;
    }
    state.draining.push_back({fd, Clock::now() + std::chrono::seconds(kDrainSeconds)});
}

void Supervisor::acceptOne(State& state, const Serve& serve) {
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    const int fd = ::accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &size, 0);
    if (fd < 0) {
        // No descriptor or memory left: the connection waits in the backlog
        // while the node pauses accepting, rather than spinning on it.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            log_(std::string("cannot accept a connection for now: ") + std::strerror(errno));
            state.pausedUntil = Clock::now() + std::chrono::seconds(1);
        }
        return;
    }
    const std::string address = addressText(peer.sin_addr);
    if (static_cast<int>(state.children.size()) >= settings_.maxAssociations)
        return refuse(state, fd, address,
                      std::to_string(settings_.maxAssociations) + " associations already open (--max-associations)");
    if (state.from(address) >= settings_.maxPerHost)
        return refuse(state, fd, address,
                      std::to_string(settings_.maxPerHost) + " associations already open from " + address +
                          " (--max-per-host)");
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fd);
        log_("association from " + address + " refused: no process for it: " + std::strerror(errno));
        return;
    }
    if (pid == 0) {
        ::close(listener_);
        for (const State::Draining& d : state.draining) ::close(d.fd);
        connection = fd;
        handle(SIGTERM, onTerm);
        handle(SIGALRM, onAlarm);
        handle(SIGINT, SIG_IGN);  // a terminal's Ctrl-C reaches the parent, which stops its processes
        handle(SIGCHLD, SIG_DFL);
        // Killed outright, the node takes its connections with it.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(1);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        const int code = serve(fd, address);
        std::fflush(nullptr);
        ::_exit(code);
    }
    ::close(fd);
    State::Child child;
    child.address = address;
    child.deadline = Clock::now() + std::chrono::seconds(settings_.associationSeconds);
    state.children.emplace(pid, child);
}

void Supervisor::reap(State& state) {
    childEnded = 0;
    int status = 0;
    for (pid_t pid; (pid = ::waitpid(-1, &status, WNOHANG)) > 0;) {
        const auto found = state.children.find(pid);
        if (found == state.children.end()) continue;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            log_("association from " + found->second.address + " ended abnormally (" + endWords(status) +
                 "): an object it was receiving is not stored");
        state.children.erase(found);
        if (ended_) ended_(pid);
    }
}

void Supervisor::enforceDeadlines(State& state) {
    const Clock::time_point now = Clock::now();
    for (auto& [pid, child] : state.children) {
        if (!child.alarmed && now >= child.deadline) {
            log_("association from " + child.address + " ended: open longer than " +
                 std::to_string(settings_.associationSeconds) + " s (--association-timeout)");
            ::kill(pid, SIGALRM);
            child.alarmed = true;
            child.killAt = now + std::chrono::seconds(kKillSeconds);
        } else if (child.alarmed && now >= child.killAt) {
            ::kill(pid, SIGKILL);
            child.killAt = now + std::chrono::hours(1);
        }
    }
    std::vector<State::Draining> kept;
    for (const State::Draining& d : state.draining) {
        char scratch[4096];
        ssize_t got = 0;
        while ((got = ::recv(d.fd, scratch, sizeof scratch, MSG_DONTWAIT)) > 0) {
        }
        const bool open = got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && now < d.until;
        if (open)
            kept.push_back(d);
        else
            ::close(d.fd);
    }
    state.draining.swap(kept);
}

// Every process told to stop, given kStopSeconds for the objects in
// flight, then its connection shut, then killed.
void Supervisor::stop(State& state) {
    ::close(listener_);
    listener_ = -1;
    for (const State::Draining& d : state.draining) ::close(d.fd);
    state.draining.clear();
    log_(std::string("stopping (") + (stopSignal == SIGINT ? "SIGINT" : "SIGTERM") +
         "): no new associations; objects in flight may finish within " +
         std::to_string(SupervisorSettings::kStopSeconds) + " s");
    for (const auto& [pid, child] : state.children) ::kill(pid, SIGTERM);
    const auto waitFor = [&](int seconds) {
        const Clock::time_point until = Clock::now() + std::chrono::seconds(seconds);
        while (!state.children.empty() && Clock::now() < until) {
            const timespec tick{0, 100 * 1000 * 1000};
            ::ppoll(nullptr, 0, &tick, &state.waitMask);
            reap(state);
        }
    };
    waitFor(SupervisorSettings::kStopSeconds);
    if (!state.children.empty()) {
        log_(std::to_string(state.children.size()) + " association(s) still busy after " +
             std::to_string(SupervisorSettings::kStopSeconds) + " s: their connections are closed");
        for (const auto& [pid, child] : state.children) ::kill(pid, SIGALRM);
        waitFor(kKillSeconds);
    }
    for (const auto& [pid, child] : state.children) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        if (ended_) ended_(pid);
    }
    state.children.clear();
    rusage used{};
    ::getrusage(RUSAGE_CHILDREN, &used);
    log_("stopped; the largest association used at most " + std::to_string(used.ru_maxrss / 1024) + " MiB");
}

int Supervisor::run(const Serve& serve, const Ended& ended) {
    ended_ = ended;
    State state;
    sigset_t blocked;
    sigemptyset(&blocked);
    for (const int signal : {SIGTERM, SIGINT, SIGCHLD}) sigaddset(&blocked, signal);
    // Taken only inside ppoll, so that the loop sees each at once.
    ::sigprocmask(SIG_BLOCK, &blocked, &state.waitMask);
    for (const int signal : {SIGTERM, SIGINT, SIGCHLD}) sigdelset(&state.waitMask, signal);
    handle(SIGTERM, onStop);
    handle(SIGINT, onStop);
    handle(SIGCHLD, onChild);
    while (!stopSignal) {
        const bool paused = Clock::now() < state.pausedUntil;
        std::vector<pollfd> fds = {{paused ? -1 : listener_, POLLIN, 0}};
        for (const State::Draining& d : state.draining) fds.push_back({d.fd, POLLIN, 0});
        const timespec tick{0, 250 * 1000 * 1000};
        const int ready = ::ppoll(fds.data(), fds.size(), &tick, &state.waitMask);
        if (childEnded) reap(state);
        if (stopSignal) break;
        if (ready > 0 && (fds[0].revents & POLLIN)) acceptOne(state, serve);
        enforceDeadlines(state);
    }
    stop(state);
    return 0;
}

}  // namespace trevik::dicom
