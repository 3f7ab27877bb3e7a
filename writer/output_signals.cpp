#include "writer/output_signals.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "writer/output_file.h"

namespace trevik::detail {

namespace {

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM};

// The named temporary files that exist right now, for the signal handler:
// one record for each thread that is writing one (threads of a node write
// at the same time), set before the name is made and cleared once it is
// renamed or removed, always with the cleanup signals held back in that
// thread. A record is claimed and handed over through its state alone, so
// the handler, in whichever thread it runs, never sees a half-written name
// nor removes a name that is no longer ours. Relative to the directory's
// descriptor, so a directory renamed meanwhile still loses the temporary.
enum : int { kFree, kWriting, kReady };
struct Pending {
    std::atomic<int> state{kFree};
    int directory = -1;
    char name[NAME_MAX + 1] = {};
};
static_assert(std::atomic<int>::is_always_lock_free, "the handler reads the state");
constexpr int kPendingRecords = 64;  // beyond that many at once, a temporary is not removed on a signal
Pending pending[kPendingRecords];
thread_local Pending* mine = nullptr;

extern "C" void removeTemporaryAndEnd(int signal) {
    // A record taken here stays taken: the process is ending.
    for (Pending& p : pending) {
        int ready = kReady;
        if (p.state.compare_exchange_strong(ready, kWriting)) ::unlinkat(p.directory, p.name, 0);
    }
    ::signal(signal, SIG_DFL);
    ::raise(signal);  // held until the handler returns, then ends the process
}

}  // namespace

SignalsHeld::SignalsHeld() noexcept {
    sigset_t set;
    sigemptyset(&set);
    for (const int s : kCleanupSignals) sigaddset(&set, s);
    const int saved = errno;
    ::pthread_sigmask(SIG_BLOCK, &set, &previous_);
    errno = saved;
}

SignalsHeld::~SignalsHeld() {
    const int saved = errno;
    ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    errno = saved;
}

void setPending(int directory, const char* name) noexcept {
    if (mine != nullptr) {
        int ready = kReady;
        mine->state.compare_exchange_strong(ready, kFree);  // else the handler has it
        mine = nullptr;
    }
    if (name == nullptr) return;
    for (Pending& p : pending) {
        int free = kFree;
        if (!p.state.compare_exchange_strong(free, kWriting)) continue;
        p.directory = directory;
        std::strncpy(p.name, name, sizeof p.name - 1);
        p.name[sizeof p.name - 1] = '\0';
        p.state.store(kReady);
        mine = &p;
        return;
    }
}

void removeTemporaryOnSignals() {
    // One call a signal: the handler is set and the old disposition read in
    // the same call, and an ignored signal (a run started with nohup, or in
    // the background of a shell without job control) gets SIG_IGN back. The
    // signals are held meanwhile, so none that was ignored can reach the
    // handler in between: one that comes is discarded when SIG_IGN returns.
    struct sigaction action {};
    action.sa_handler = removeTemporaryAndEnd;
    sigemptyset(&action.sa_mask);
    for (const int other : kCleanupSignals) sigaddset(&action.sa_mask, other);
    sigset_t previousMask;
    ::pthread_sigmask(SIG_BLOCK, &action.sa_mask, &previousMask);
    for (const int s : kCleanupSignals) {
        struct sigaction previous {};
        if (::sigaction(s, &action, &previous) == 0 && previous.sa_handler == SIG_IGN)
            ::sigaction(s, &previous, nullptr);
    }
    ::pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
}

}  // namespace trevik::detail
