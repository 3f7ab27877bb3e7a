// The parent process of the receiving node: a listening socket of its own,
// bound to one IPv4 address or to every one, a single thread that accepts
// connections, counts them per peer address and in all, refuses what is
// past a limit, and hands every admitted connection to a process of its
// own. It reads nothing a peer sends, so no peer can stall it: a slow or
// silent peer holds only its own process, and a crash or the memory limit
// of that process ends one association, never the node.
//
// A connection is pending until its process has identified the caller
// (its association request accepted by the allow list, over TLS with its
// certificate verified) and the parent has given it a slot of
// --max-associations. Pending connections have room of their own, so that
// strangers cannot hold the slots of the callers allowed: a host named in
// --allow (AET@HOST) up to maxPerHost pending connections, every other
// host up to pendingPerHost, and all other hosts together up to
// pendingInAll. Lines about connections never identified are written at
// most once per peer address per minute (RefusalLog).
//
// The parent reaps its processes, ends one that overruns the deadline of
// a whole association, and on SIGTERM or SIGINT stops admitting, lets the
// associations finish the objects in flight (at most kStopSeconds), ends
// them, and returns 0.
#pragma once

#include <netinet/in.h>

#include <functional>
#include <set>
#include <string>

namespace trevik::dicom {

struct SupervisorSettings {
    static constexpr int kStopSeconds = 30;
    in_addr address{};  // INADDR_ANY: every address
    unsigned short port = 0;
    int maxAssociations = 8;
    int maxPerHost = 4;
    int associationSeconds = 3600;
    // Pending connections of hosts not named in --allow: from one, and
    // from all of them together.
    int pendingPerHost = 2;
    int pendingInAll = 4;
    // The addresses of the hosts named in --allow.
    std::set<std::string> namedHosts;
    // Slots that callers allowed by a title alone (--allow AET) may hold
    // together; 0: every one.
    int mostByTitleOnly = 0;
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
// Whether the connection is plain (not TLS): a process that ends by a
// fault then sends an A-ABORT before it ends; over TLS it only shuts the
// connection, so the peer learns at once either way.
void connectionPlain(bool plain);
// Asks the parent for a slot once the caller is identified; `titleOnly`
// when an --allow entry without a host or certificate admitted it. False
// with the reason when there is none. True without a parent.
bool connectionIdentified(bool titleOnly, std::string& refusal);
// A line about this connection while it is not identified, handed to the
// parent, which writes it by the RefusalLog's rule; false when the line is
// the caller's to write (identified, or no parent).
bool connectionReport(const std::string& line);

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
    // Why an identified caller from `address` gets no slot; empty when it
    // gets one.
    std::string slotFor(const State& state, const std::string& address) const;
    // Why a new connection from `address` is refused; empty when it is not.
    std::string roomFor(const State& state, const std::string& address) const;
    void hear(State& state, int pid);
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
