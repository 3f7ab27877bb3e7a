// The receiving node of `trevik-dicom receive`: it listens, admits or
// refuses each association, hands every admitted one to a storage service
// provider on a thread of its own, and stops on SIGTERM or SIGINT.
//
// One thread listens; each association runs in a thread of its own (at
// most --max-associations at once). Files are written one at a time under
// one lock, which also lets the end wait for the write in progress.
// SIGTERM and SIGINT are taken by a thread of their own (sigwait): no new
// association or object is accepted, the objects in flight finish (for at
// most 30 s), then the process ends with 0.
#pragma once

#include <signal.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <string>

#include "app/dicom/receive_options.h"
#include "study/status.h"

struct T_ASC_Network;
class DcmSharedSCPConfig;

namespace trevik::dicom {

// What the node says to one association request.
struct Admission {
    enum class Verdict { Admit, Stopping, WrongCalled, NotAllowed };
    Verdict verdict = Verdict::Admit;
    std::string refusal;  // the log's words when it is not admitted
};

class ReceiveNode {
public:
    static constexpr int kStopSeconds = 30;
    static constexpr int kAcseSeconds = 10;   // also bounds a connection that never asks
    static constexpr int kDimseSeconds = 60;  // a caller silent this long is aborted

    explicit ReceiveNode(ReceiveSettings settings) : settings_(std::move(settings)) {}
    const ReceiveSettings& settings() const { return settings_; }

    // Listens and serves until a stop signal ends the process (with 0);
    // returns only when the node cannot start, with the exit code. The
    // node must outlive the process's threads: one node per process.
    int run();

    // One line on standard error, with the local time; lines of different
    // threads never mix.
    void log(const std::string& line);

    // Whether `calling` from `address` may store on this node, called as
    // `called`.
    Admission admit(const std::string& calling, const std::string& called, const std::string& address) const;
    bool stopping() const { return stopping_; }

    // An object is in flight from its C-STORE request to its response.
    void objectStarts();
    void objectEnds();

    // Writes one file with the lock held; CannotWrite (ECANCELED) once the
    // node has ended.
    template <typename Write>
    Status write(Write&& body) {
        const std::lock_guard<std::mutex> hold(writeLock_);
        if (ended_) return statusOf(Reason::CannotWrite, ECANCELED);
        return body();
    }

private:
    bool allowed(const std::string& title, const std::string& address) const;
    // Waits until no object is in flight, at most `seconds`; the number
    // still in flight.
    int awaitObjects(int seconds);
    // Waits for the write in progress and lets no other start.
    void endWrites();
    // The signal thread: waits for SIGTERM or SIGINT, then ends the node.
    [[noreturn]] void awaitStop(sigset_t signals);
    void announce();
    // Takes association requests until the process ends.
    [[noreturn]] void admitConnections(T_ASC_Network* network, const DcmSharedSCPConfig& config);

    const ReceiveSettings settings_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> associations_{0};
    std::mutex logLock_;
    std::mutex flightLock_;
    std::condition_variable landed_;
    int inFlight_ = 0;
    std::mutex writeLock_;
    bool ended_ = false;
};

}  // namespace trevik::dicom
