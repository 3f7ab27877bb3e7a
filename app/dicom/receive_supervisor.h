// The parent process of the receiving node: a listening socket of its own,
// bound to one IPv4 address or to every one, a single thread that accepts
// connections, counts them per peer address and in all, refuses what is
// past a limit, and hands every admitted connection to a process of its
// own. It reads nothing a peer sends, so no peer can stall it: a slow or
// silent peer holds only its own process, and a crash or the memory limit
// of that process ends one association, never the node.
//
// The parent reaps its processes, ends one that overruns the deadline of
// a whole association, and on SIGTERM or SIGINT stops admitting, lets the
// associations finish the objects in flight (at most kStopSeconds), ends
// them, and returns 0.
#pragma once

#include <netinet/in.h>

#include <functional>
#include <string>

namespace trevik::dicom {

struct SupervisorSettings {
    static constexpr int kStopSeconds = 30;
    in_addr address{};  // INADDR_ANY: every address
    unsigned short port = 0;
    int maxAssociations = 8;
    int maxPerHost = 4;
    int associationSeconds = 3600;
};

// Signals that a connection's process takes (set up by the supervisor in
// the process before `Serve` runs):
// - SIGALRM: its deadline is over (the request's, an object's, or the
//   whole association's, sent by the parent): the connection is shut at
//   once, so the association ends with what it was doing refused.
// - SIGTERM: the node stops: the connection is shut unless an object is
//   in flight (connectionBusy(true)), which is answered first.
// The connection process calls these around each object.
void connectionBusy(bool busy);
// True once SIGTERM has come: no further object is taken.
bool connectionStopping();
// True once SIGALRM has come.
bool connectionTimedOut();
// Shuts the connection at once when SIGALRM comes after `seconds` (0: no
// deadline of its own).
void connectionDeadline(int seconds);

class Supervisor {
public:
    // Serves one connection in its own process: the socket, the peer's
    // address; returns the process's exit status.
    using Serve = std::function<int(int connection, const std::string& address)>;
    using Log = std::function<void(const std::string& line)>;
    // Told of each connection process that has ended, by its id.
    using Ended = std::function<void(int pid)>;

    Supervisor(SupervisorSettings settings, Log log) : settings_(settings), log_(std::move(log)) {}
    ~Supervisor();

    // Binds the listening socket; false with the reason.
    bool listen(std::string& reason);
    // Admits connections until SIGTERM or SIGINT, then stops them all;
    // returns the exit code (0).
    int run(const Serve& serve, const Ended& ended);

private:
    struct State;
    void acceptOne(State& state, const Serve& serve);
    void reap(State& state);
    Ended ended_;
    void enforceDeadlines(State& state);
    void refuse(State& state, int connection, const std::string& address, const std::string& why);
    void stop(State& state);

    SupervisorSettings settings_;
    Log log_;
    int listener_ = -1;
};

}  // namespace trevik::dicom
