// The receiving node of `trevik-dicom receive`: it listens, admits or
// refuses each connection, serves each admitted association in a process
// of its own, and stops on SIGTERM or SIGINT.
//
// The parent process (receive_supervisor) accepts on a socket of its own,
// bound to --listen or to every address, and counts the associations per
// peer address (--max-per-host) and in all (--max-associations), and the
// connections whose caller is not yet identified in a room of their own;
// it reads nothing a peer sends, so a slow or silent peer delays no one
// else. Each
// connection's process hands the socket to DCMTK, reads the association
// request (and the TLS handshake) within kAcseSeconds, and serves the
// association with the storage service provider (receive_storage), under
// a memory limit of --max-memory / --max-associations: a peer that sends
// more than that (a huge command set, a data set that inflates) ends its
// own association only.
#pragma once

#include <memory>
#include <string>

#include "app/dicom/receive_options.h"
#include "app/dicom/set_folders.h"
#include "app/dicom/tls.h"
#include "study/status.h"

class DcmSharedSCPConfig;

namespace trevik::dicom {

// What the node says to one association request.
struct Admission {
    // Stopping: refused for now (the node is stopping, or has no slot for
    // the caller); the refusal says which.
    enum class Verdict { Admit, Stopping, WrongCalled, NotAllowed };
    Verdict verdict = Verdict::Admit;
    std::string refusal;  // the log's words when it is not admitted
};

class ReceiveNode {
public:
    static constexpr int kAcseSeconds = 10;  // the whole association request, from the connection on

    explicit ReceiveNode(ReceiveSettings settings);
    ~ReceiveNode();
    const ReceiveSettings& settings() const { return settings_; }
    // The inbox and keep folder, open from the start.
    const SetFolders& folders() const { return folders_; }

    // Listens and serves until a stop signal; returns the exit code (0
    // after a stop, else the code of what kept the node from starting).
    int run();

    // One line on standard error, with the local time, written at once.
    void log(const std::string& line);

    // Whether `calling` from `address` (with a TLS certificate of
    // `commonName`, empty without) may store on this node, called as
    // `called`.
    Admission admit(const std::string& calling, const std::string& called, const std::string& address,
                    const std::string& commonName);
    bool stopping() const;

private:
    // Whether an --allow entry admits the caller; `titleOnly` when only an
    // entry without a host or certificate does.
    bool allowed(const std::string& title, const std::string& address, const std::string& commonName,
                 bool& titleOnly) const;
    void announce();
    // Opens the folders and warns of what others may read there.
    bool openFolders();
    void warnings();
    // Serves one connection in its own process; the process's exit status.
    int serveConnection(int connection, const std::string& address, const DcmSharedSCPConfig& config);

    const ReceiveSettings settings_;
    SetFolders folders_;
    TlsLayer tls_;
    // What this connection's request offers that the node does not take,
    // in words (receive_contexts), logged once the caller is identified.
    std::string offered_;
};

}  // namespace trevik::dicom
