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

#include "app/dicom/refusal_log.h"

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
volatile sig_atomic_t plainConnection = 1;
int control = -1;  // the process's end of its channel to the parent
bool identified = false;
constexpr int kAnswerMilliseconds = 5000;  // the parent answers at once; this bounds a parent gone astray
constexpr std::size_t kMostMessage = 2048;

void onTerm(int) {
    stopping = 1;
    if (!busy) ::shutdown(connection, SHUT_RDWR);
}
void onAlarm(int) {
    timedOut = 1;
    ::shutdown(connection, SHUT_RDWR);
}
// A fault (or an abort) of a connection's process: the peer is told
// before the process ends as the signal would end it.
void onFault(int signal) {
    static const unsigned char kAbort[10] = {0x07, 0, 0, 0, 0, 4, 0, 0, 0, 0};  // A-ABORT by the provider
    const int fd = connection;
    if (fd >= 0) {
        if (plainConnection) {
            [[maybe_unused]] const ssize_t n = ::send(fd, kAbort, sizeof kAbort, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        ::shutdown(fd, SHUT_RDWR);
    }
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

void handle(int signal, void (*handler)(int), int flags = 0) {
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = flags;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
}

// The fault handlers run on a stack of their own: a stack overflow is a
// fault too.
void handleFaults() {
    static char stack[64 * 1024];
    stack_t alternate{};
    alternate.ss_sp = stack;
    alternate.ss_size = sizeof stack;
    ::sigaltstack(&alternate, nullptr);
    for (const int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) handle(signal, onFault, SA_ONSTACK);
}

std::string addressText(const in_addr& address) {
    char text[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

std::string endWords(int status) {
    if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
    const int signal = WTERMSIG(status);
    const char* abbreviation = ::sigabbrev_np(signal);
    const char* name = ::strsignal(signal);
    return (abbreviation ? std::string("ended by SIG") + abbreviation : "ended by signal " + std::to_string(signal)) +
           (name ? std::string(" (") + name + ")" : "");
}

}  // namespace

void connectionBusy(bool isBusy) { busy = isBusy ? 1 : 0; }
bool connectionStopping() { return stopping != 0; }
bool connectionTimedOut() { return timedOut != 0; }
void connectionDeadline(int seconds) { ::alarm(static_cast<unsigned>(seconds)); }
void connectionPlain(bool plain) { plainConnection = plain ? 1 : 0; }

bool connectionIdentified(bool titleOnly, std::string& refusal) {
    if (control < 0) return true;
    const char ask[2] = {'I', titleOnly ? 'T' : 'H'};
    char reply[kMostMessage];
    ssize_t got = -1;
    pollfd answer{control, POLLIN, 0};
    if (::send(control, ask, sizeof ask, MSG_NOSIGNAL) == sizeof ask && ::poll(&answer, 1, kAnswerMilliseconds) == 1)
        got = ::recv(control, reply, sizeof reply, 0);
    if (got >= 1 && reply[0] == 'Y') {
        identified = true;
        return true;
    }
    refusal = got > 1 ? std::string(reply + 1, static_cast<std::size_t>(got - 1)) : "the node did not give it a slot";
    return false;
}

bool connectionReport(const std::string& line) {
    if (control < 0 || identified) return false;
    std::string message(1, 'L');
    message.append(line, 0, kMostMessage - 1);
    return ::send(control, message.data(), message.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(message.size());
}

struct Supervisor::State {
    struct Child {
        std::string address;
        Clock::time_point deadline;  // SIGALRM then
        bool alarmed = false;
        Clock::time_point killAt;  // SIGKILL then, once alarmed
        int control = -1;          // the parent's end of the process's channel
        bool identified = false;   // given a slot
        bool titleOnly = false;    // allowed by a title alone
    };
    struct Draining {
        int fd;
        Clock::time_point until;
    };
    explicit State(const Log& log) : refusals(log) {}
    std::map<pid_t, Child> children;
    std::vector<Draining> draining;
    sigset_t waitMask{};
    Clock::time_point pausedUntil{};
    RefusalLog refusals;

    int count(const std::function<bool(const Child&)>& which) const {
        return static_cast<int>(
            std::count_if(children.begin(), children.end(), [&](const auto& child) { return which(child.second); }));
    }
    void closeControls() {
        for (auto& [pid, child] : children)
            if (child.control >= 0) ::close(child.control), child.control = -1;
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
    state.refusals.add(address, "association from " + address + " refused: " + why, Clock::now());
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

std::string Supervisor::slotFor(const State& state, const std::string& address) const {
    using Child = State::Child;
    const SupervisorSettings& s = settings_;
    if (state.count([](const Child& c) { return c.identified; }) >= s.maxAssociations)
        return std::to_string(s.maxAssociations) + " associations already open (--max-associations)";
    if (state.count([&](const Child& c) { return c.identified && c.address == address; }) >= s.maxPerHost)
        return std::to_string(s.maxPerHost) + " associations already open from " + address + " (--max-per-host)";
    return {};
}

std::string Supervisor::roomFor(const State& state, const std::string& address) const {
    using Child = State::Child;
    const SupervisorSettings& s = settings_;
    if (std::string why = slotFor(state, address); !why.empty()) return why;
    const int pending = state.count([&](const Child& c) { return !c.identified && c.address == address; });
    if (s.namedHosts.count(address))
        return pending >= s.maxPerHost ? std::to_string(pending) + " connections from " + address +
                                             " not yet identified (--max-per-host)"
                                       : std::string();
    if (pending >= s.pendingPerHost)
        return std::to_string(pending) + " connections from " + address +
               " not yet identified (a host not named in --allow)";
    const int strangers =
        state.count([&](const Child& c) { return !c.identified && !s.namedHosts.count(c.address); });
    if (strangers >= s.pendingInAll)
        return std::to_string(strangers) + " connections from hosts not named in --allow not yet identified";
    return {};
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
    if (const std::string why = roomFor(state, address); !why.empty()) return refuse(state, fd, address, why);
    int channel[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, channel) != 0) {
        ::close(fd);
        log_("association from " + address + " refused: no channel for it: " + std::strerror(errno));
        return;
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fd), ::close(channel[0]), ::close(channel[1]);
        log_("association from " + address + " refused: no process for it: " + std::strerror(errno));
        return;
    }
    if (pid == 0) {
        ::close(listener_);
        for (const State::Draining& d : state.draining) ::close(d.fd);
        state.closeControls();
        ::close(channel[0]);
        control = channel[1];
        connection = fd;
        handle(SIGTERM, onTerm);
        handle(SIGALRM, onAlarm);
        handle(SIGINT, SIG_IGN);  // a terminal's Ctrl-C reaches the parent, which stops its processes
        handle(SIGCHLD, SIG_DFL);
        handleFaults();
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
    ::close(channel[1]);
    State::Child child;
    child.address = address;
    child.deadline = Clock::now() + std::chrono::seconds(settings_.associationSeconds);
    child.control = channel[0];
    state.children.emplace(pid, child);
}

// A message from a connection's process: a request for a slot, or a line
// about a connection not identified.
void Supervisor::hear(State& state, int pid) {
    using Child = State::Child;
    const auto found = state.children.find(pid);
    if (found == state.children.end() || found->second.control < 0) return;
    Child& child = found->second;
    char message[kMostMessage];
    const ssize_t got = ::recv(child.control, message, sizeof message, MSG_DONTWAIT);
    if (got <= 0) {
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            ::close(child.control), child.control = -1;
        return;
    }
    if (message[0] == 'L' && !child.identified) {
        state.refusals.add(child.address, std::string(message + 1, static_cast<std::size_t>(got - 1)), Clock::now());
        return;
    }
    if (message[0] != 'I' || got != 2 || child.identified) return;
    const bool titleOnly = message[1] == 'T';
    std::string why = slotFor(state, child.address);
    const int byTitle = state.count([](const Child& c) { return c.identified && c.titleOnly; });
    if (why.empty() && titleOnly && settings_.mostByTitleOnly > 0 && byTitle >= settings_.mostByTitleOnly)
        why = std::to_string(byTitle) +
              " associations already open by callers allowed without a host (--allow AET); the other slots are "
              "kept for the hosts and certificates named in --allow";
    const std::string reply = why.empty() ? std::string("Y") : "N" + why;
    if (why.empty()) child.identified = true, child.titleOnly = titleOnly;
    (void)!::send(child.control, reply.data(), std::min(reply.size(), kMostMessage), MSG_NOSIGNAL | MSG_DONTWAIT);
}

void Supervisor::reap(State& state) {
    childEnded = 0;
    int status = 0;
    for (pid_t pid; (pid = ::waitpid(-1, &status, WNOHANG)) > 0;) {
        const auto found = state.children.find(pid);
        if (found == state.children.end()) continue;
        const State::Child& child = found->second;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            const std::string line = "association from " + child.address + " ended abnormally (" + endWords(status) +
                                     ")" + (child.identified ? ": an object it was receiving is not stored" : "");
            if (child.identified)
                log_(line);
            else
                state.refusals.add(child.address, line, Clock::now());
        }
        if (child.control >= 0) ::close(child.control);
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
    state.refusals.flush(now);
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
            // Their last lines (a caller refused as the node stops).
            for (const auto& [pid, child] : state.children)
                for (int i = 0; i < 8 && child.control >= 0; ++i) hear(state, pid);
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
    state.closeControls();
    for (const auto& [pid, child] : state.children) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        if (ended_) ended_(pid);
    }
    state.children.clear();
    state.refusals.flush(Clock::now() + RefusalLog::kWindow);
    rusage used{};
    ::getrusage(RUSAGE_CHILDREN, &used);
    log_("stopped; the largest association used at most " + std::to_string(used.ru_maxrss / 1024) + " MiB");
}

int Supervisor::run(const Serve& serve, const Ended& ended) {
    ended_ = ended;
    State state(log_);
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
        std::vector<pid_t> speaking;  // the processes whose channels follow
        for (const auto& [pid, child] : state.children)
            if (child.control >= 0) fds.push_back({child.control, POLLIN, 0}), speaking.push_back(pid);
        const timespec tick{0, 250 * 1000 * 1000};
        const int ready = ::ppoll(fds.data(), fds.size(), &tick, &state.waitMask);
        // Messages first: a process's last lines before it is reaped.
        const std::size_t first = fds.size() - speaking.size();
        for (std::size_t i = 0; ready > 0 && i < speaking.size(); ++i)
            if (fds[first + i].revents) hear(state, speaking[i]);
        if (childEnded) reap(state);
        if (stopSignal) break;
        if (ready > 0 && (fds[0].revents & POLLIN)) acceptOne(state, serve);
        enforceDeadlines(state);
    }
    stop(state);
    return 0;
}

}  // namespace trevik::dicom
