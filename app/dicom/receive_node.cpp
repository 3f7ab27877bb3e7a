#include "app/dicom/receive_node.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmtls/tlslayer.h>
#include <dcmtk/dcmnet/dul.h>
#include <dcmtk/dcmnet/scpcfg.h>
#include <dcmtk/oflog/oflog.h>
#include <arpa/inet.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "app/dicom/receive_commitment.h"
#include "app/dicom/receive_contexts.h"
#include "app/dicom/receive_storage.h"
#include "app/dicom/receive_supervisor.h"
#include "app/dicom/receive_tls.h"
#include "app/dicom/received_object.h"

namespace trevik::dicom {

namespace {

constexpr const char* kWho = "trevik-dicom receive";
constexpr int kTlsHandshake = 0x16;      // the first byte of a TLS connection
constexpr int kAssociateRequest = 0x01;  // the first byte of a plain association request

#ifndef __SANITIZE_ADDRESS__
// The data this process has mapped (heap and private mappings, what
// RLIMIT_DATA counts), in bytes; 0 when unknown.
unsigned long long dataInUse() {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (!status) return 0;
    unsigned long long kib = 0;
    char line[256];
    while (std::fgets(line, sizeof line, status))
        if (std::sscanf(line, "VmData: %llu kB", &kib) == 1) break;
    std::fclose(status);
    return kib << 10;
}
#endif

// The limits of one connection's process: its memory (the heap and every
// private mapping), and no core file. Until the caller is identified, the
// process may grow by kPendingBytes only (raised by raiseMemoryLimit), so
// that pending connections take little of --max-memory. AddressSanitizer
// maps terabytes of shadow memory, so a build with it has no memory limit.
constexpr unsigned long long kPendingBytes = 32ull << 20;

void limitProcess(unsigned long long memory) {
#ifndef __SANITIZE_ADDRESS__
    const unsigned long long used = dataInUse();
    const rlimit data{used > 0 ? std::min(memory, used + kPendingBytes) : memory, memory};
    ::setrlimit(RLIMIT_DATA, &data);
#else
    (void)memory;
#endif
    const rlimit core{0, 0};
    ::setrlimit(RLIMIT_CORE, &core);
}

void raiseMemoryLimit() {
    rlimit data{};
    if (::getrlimit(RLIMIT_DATA, &data) != 0) return;
    data.rlim_cur = data.rlim_max;
    ::setrlimit(RLIMIT_DATA, &data);
}

// The first byte of a connection to a TLS node, before the handshake: a
// TLS record starts with 0x16 (a handshake); 0 when none came in time.
int firstByte(int connection) {
    unsigned char first = 0;
    return ::recv(connection, &first, 1, MSG_PEEK) == 1 ? first : 0;
}

// A connection without TLS on a TLS node: an association request is
// answered with a plain A-ASSOCIATE-RJ (rejected permanently by the
// service user, no reason given), and what the peer sends is read and
// dropped until it closes (at most 2 s), so that the answer is not lost to
// a reset.
void refusePlain(int connection, bool request) {
    static const unsigned char kRejected[] = {0x03, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x01, 0x01, 0x01};
    if (request) (void)!::send(connection, kRejected, sizeof kRejected, MSG_NOSIGNAL);
    ::shutdown(connection, SHUT_WR);
    connectionDeadline(2);
    char scratch[4096];
    while (::recv(connection, scratch, sizeof scratch, 0) > 0) {
    }
    connectionDeadline(0);
}

}  // namespace

ReceiveNode::ReceiveNode(ReceiveSettings settings) : settings_(std::move(settings)) {}

ReceiveNode::~ReceiveNode() = default;

void ReceiveNode::log(const std::string& line) {
    // A connection's process that has not identified its caller leaves
    // its lines to the parent, which writes one per peer a minute.
    if (connectionReport(line)) return;
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    char stamp[32] = "";
    if (::localtime_r(&now, &local)) std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    // One write, so that the lines of the node's processes never mix.
    const std::string text = std::string(stamp) + " " + printableName(line) + "\n";
    std::fflush(stderr);
    (void)!::write(STDERR_FILENO, text.data(), text.size());
}

bool ReceiveNode::stopping() const { return connectionStopping(); }

bool ReceiveNode::allowed(const std::string& title, const std::string& address, const std::string& commonName,
                          bool& titleOnly) const {
    // An entry that names the host or the certificate first: it gives the
    // caller the room of those named.
    for (const Caller& caller : settings_.allowed)
        if (caller.commonName.empty() ? !caller.host.empty() && caller.title == title && caller.addresses.count(address)
                                      : caller.commonName == commonName) {
            titleOnly = false;
            return true;
        }
    for (const Caller& caller : settings_.allowed)
        if (caller.commonName.empty() && caller.host.empty() && caller.title == title) {
            titleOnly = true;
            return true;
        }
    return false;
}

Admission ReceiveNode::admit(const std::string& calling, const std::string& called, const std::string& address,
                             const std::string& commonName) {
    if (stopping()) return {Admission::Verdict::Stopping, "the node is stopping"};
    if (called != settings_.title)
        return {Admission::Verdict::WrongCalled, "called " + called + ", but this node is " + settings_.title};
    bool titleOnly = false;
    if (!allowed(calling, address, commonName, titleOnly))
        return {Admission::Verdict::NotAllowed,
                settings_.allowed.empty() ? "no caller is allowed (no --allow given)"
                                          : calling + " from " + address +
                                                (commonName.empty() ? "" : " (certificate " + commonName + ")") +
                                                " is not allowed"};
    // Identified: the node's parent gives it a slot, or says why not.
    std::string refusal;
    if (!connectionIdentified(titleOnly, refusal)) return {Admission::Verdict::Stopping, refusal};
    raiseMemoryLimit();
    // Identified: what the request offers that the node does not take is
    // the caller's to know.
    if (!offered_.empty()) log("association from " + calling + "@" + address + ": " + offered_);
    return {};
}

void ReceiveNode::announce() {
    std::string callers;
    for (const Caller& caller : settings_.allowed)
        callers += (callers.empty() ? "" : ", ") +
                   (caller.commonName.empty() ? caller.title + (caller.host.empty() ? "" : "@" + caller.host)
                                              : "cn=" + caller.commonName);
    char address[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &settings_.listen, address, sizeof address);
    log("listening as " + settings_.title + " on " + address + " port " + std::to_string(settings_.port) +
        (tls_ ? " (DICOM TLS only)" : "") + ", inbox " + settings_.inbox +
        (settings_.keep.empty() ? "" : ", keeping objects in " + settings_.keep) + ", at most " +
        std::to_string(settings_.maxAssociations) + " associations at once (" + std::to_string(settings_.maxPerHost) +
        " per host), " + std::to_string(settings_.maxMemoryMiB) + " MiB of memory for all, objects up to " +
        std::to_string(settings_.maxObjectBytes >> 20) + " MiB");
    warnings();
    if (const std::string line = commitmentAnnouncement(settings_); !line.empty()) log(line);
    log(callers.empty() ? "no caller is allowed: every association will be refused (give --allow AET[@HOST])"
                        : "allowed to store: " + callers);
    for (const Caller& caller : settings_.allowed)
        if (caller.commonName.empty() && caller.host.empty())
            log("note: --allow " + caller.title + " admits any host that calls itself " + caller.title +
                (tls_ ? " with a certificate of the --tls-ca authority" : "") + "; AET@HOST or cn=NAME is stronger");
}

bool ReceiveNode::openFolders() {
    std::string reason;
    if (!folders_.open(settings_.inbox, settings_.keep, settings_.sync, reason)) {
        std::fprintf(stderr, "%s: %s\n", kWho, reason.c_str());
        return false;
    }
    return true;
}

// Once at the start: a folder whose files every local user may read, and
// a node that answers before its files are on the disk.
void ReceiveNode::warnings() {
    for (const auto& [fd, what] : {std::pair<int, std::string>{folders_.inbox(), "the inbox " + settings_.inbox},
                                   std::pair<int, std::string>{folders_.keep(), "the keep folder " + settings_.keep}}) {
        struct stat st {};
        if (fd >= 0 && ::fstat(fd, &st) == 0 && (st.st_mode & S_IROTH) != 0) {
            char mode[8];
            std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
            log("warning: " + what + " is readable by every local user (mode " + mode +
                "): patient data; make it 2770 (chmod 2770)");
        }
    }
    if (!settings_.sync)
        log("warning: --unsafe-no-sync: objects are answered as stored before they are on the disk; a power cut "
            "can lose studies the sender has deleted");
}

int ReceiveNode::serveConnection(int connection, const std::string& address, const DcmSharedSCPConfig& config) {
    limitProcess(settings_.memoryPerAssociation());
    connectionPlain(!tls_);
    // The whole request, with its TLS handshake, from the connection on.
    connectionDeadline(kAcseSeconds);
    if (tls_) {
        const int first = firstByte(connection);
        if (first != 0 && first != kTlsHandshake) {
            connectionDeadline(0);
            log("association request from " + address + " refused: a connection without TLS on a TLS port");
            refusePlain(connection, first == kAssociateRequest);
            return 0;
        }
    }
    dcmExternalSocketHandle.set(connection);
    T_ASC_Network* network = nullptr;
    if (ASC_initializeNetwork(NET_ACCEPTOR, settings_.port, kAcseSeconds, &network).bad()) return 1;
    if (tls_) ASC_setTransportLayer(network, tls_.get(), 0);
    T_ASC_Association* association = nullptr;
    const OFCondition condition = ASC_receiveAssociation(network, &association, ASC_DEFAULTMAXPDU, nullptr, nullptr,
                                                         tls_ ? OFTrue : OFFalse, DUL_BLOCK, kAcseSeconds);
    connectionDeadline(0);
    if (condition.bad()) {
        log("association request from " + address + " not read: " +
            (connectionTimedOut() ? "not complete within " + std::to_string(kAcseSeconds) + " s"
                                  : std::string(condition.text())));
        ASC_dropAssociation(association);
        ASC_destroyAssociation(&association);
    } else {
        offered_ = offeredWords(association->params);
        serveAssociation(*this, association, config, tls_ ? peerCommonName(association) : std::string());
    }
    ASC_dropNetwork(&network);
    return 0;
}

int ReceiveNode::run() {
    // DCMTK's own warnings and errors go to standard error beside the
    // node's lines; host names are not looked up (the allow list holds
    // addresses, and a lookup could hang an association).
    OFLog::configure(OFLogger::WARN_LOG_LEVEL);
    dcmDisableGethostbyaddr.set(OFTrue);
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);

    DcmSharedSCPConfig config;
    config->setAETitle(settings_.title.c_str());
    config->setACSETimeout(kAcseSeconds);
    config->setDIMSEBlockingMode(DIMSE_NONBLOCKING);
    config->setDIMSETimeout(static_cast<Uint32>(settings_.idleSeconds));
    config->setHostLookupEnabled(OFFalse);
    config->setProgressNotificationMode(OFTrue);  // the object size limit is checked as data arrives
    if (!addContexts(config) || !addCommitmentContext(config, settings_)) {
        std::fprintf(stderr, "%s: the presentation contexts cannot be set up\n", kWho);
        return kCannotOpen;
    }
    std::string reason;
    if (!settings_.tlsKey.empty() &&
        !(tls_ = makeTlsLayer(NET_ACCEPTOR, {settings_.tlsKey, settings_.tlsCert, settings_.tlsCa}, reason))) {
        std::fprintf(stderr, "%s: %s\n", kWho, reason.c_str());
        return kCannotOpen;
    }
    SupervisorSettings limits;
    limits.address = settings_.listen;
    limits.port = settings_.port;
    limits.maxAssociations = settings_.maxAssociations;
    limits.maxPerHost = settings_.maxPerHost;
    limits.associationSeconds = settings_.associationSeconds;
    // Pending connections of hosts not named: at most half the slots in
    // all, two of them from one host (fewer when the limits are lower).
    limits.pendingInAll = std::max(1, settings_.maxAssociations / 2);
    limits.pendingPerHost = std::max(1, std::min(2, settings_.maxPerHost));
    bool named = false;
    for (const Caller& caller : settings_.allowed) {
        limits.namedHosts.insert(caller.addresses.begin(), caller.addresses.end());
        named = named || !caller.host.empty() || !caller.commonName.empty();
    }
    // Callers allowed by a title alone hold at most half the slots when
    // some are named by host or certificate: the rest are kept for those.
    if (named) limits.mostByTitleOnly = std::max(1, settings_.maxAssociations / 2);
    Supervisor supervisor(limits, [this](const std::string& line) { log(line); });
    if (!supervisor.listen(reason)) {
        std::fprintf(stderr, "%s: cannot listen on port %u: %s\n", kWho, settings_.port, reason.c_str());
        return kCannotOpen;
    }
    if (!openFolders()) return kCannotOpen;
    announce();
    // The processes that send storage commitment reports outlive the
    // association that asked: the node reaps them.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    return supervisor.run(
        [&](int connection, const std::string& address) { return serveConnection(connection, address, config); },
        [&](int pid) {
            NewFile::removeLeftovers(folders_.inbox(), pid);
            NewFile::removeLeftovers(folders_.keep(), pid);
        });
}

}  // namespace trevik::dicom
