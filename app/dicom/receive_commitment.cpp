#include "app/dicom/receive_commitment.h"

#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/dcmtrans.h>
#include <dcmtk/dcmnet/scu.h>
#include <dcmtk/dcmtls/tlslayer.h>
#include <dcmtk/oflog/oflog.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "app/dicom/command.h"
#include "app/dicom/receive_node.h"
#include "app/dicom/tls.h"

namespace trevik::dicom {

namespace {

constexpr Uint16 kNoSuchClass = 0x0118;
constexpr Uint16 kInvalidInstance = 0x0117;
constexpr Uint16 kNoSuchAction = 0x0123;
constexpr Uint16 kNotAuthorized = 0x0124;
constexpr Uint16 kResourceLimitation = 0x0213;
constexpr Uint16 kRequestCommitment = 1;  // the Action Type ID of a request
// Each wait of a report's association: connecting, the association's
// answer, the report's answer and every PDU.
constexpr int kConnectSeconds = 10;
constexpr int kNetworkSeconds = 30;
// The waits before each retry: the report is tried at once, then after
// 1, 2.5 and 5 minutes.
constexpr int kRetrySeconds[kRetries] = {60, 90, 150};

std::string hex(Uint16 value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

OFList<OFString> uncompressed() {
    OFList<OFString> syntaxes;
    for (const char* syntax : {UID_LittleEndianExplicitTransferSyntax, UID_BigEndianExplicitTransferSyntax,
                               UID_LittleEndianImplicitTransferSyntax})
        syntaxes.push_back(syntax);
    return syntaxes;
}

// HOST as one IPv4 address (a name is resolved now, once).
bool resolve(const std::string& host, std::string& address) {
    in_addr numeric{};
    if (::inet_pton(AF_INET, host.c_str(), &numeric) == 1) {
        address = host;
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (host.empty() || ::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return false;
    char text[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr, text, sizeof text);
    ::freeaddrinfo(found);
    address = text;
    return true;
}

// One of kMostReporters places, held by a socket bound to an abstract name
// of the node's (its parent's process id) until the reporter ends: -1
// when every one is taken.
int takeSlot() {
    for (int slot = 0; slot < kMostReporters; ++slot) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return -1;
        sockaddr_un name{};
        name.sun_family = AF_UNIX;
        const int length = std::snprintf(name.sun_path + 1, sizeof name.sun_path - 1, "trevik-commitment-%d-%d",
                                         static_cast<int>(::getppid()), slot);
        const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&name), size) == 0) return fd;
        ::close(fd);
    }
    return -1;
}

volatile sig_atomic_t told = 0;
void onStop(int) { told = 1; }

// Waits `seconds`; false when the node (process `node`) ended or this
// process was told to stop before.
bool waitWhileRunning(int nodeFd, pid_t node, int seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!told) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return true;
        pollfd watch{nodeFd, POLLIN, 0};
        // Without a descriptor of the node's process, a look each second.
        const int ready = ::poll(&watch, nodeFd >= 0 ? 1 : 0, nodeFd >= 0 ? static_cast<int>(left.count()) : 1000);
        if (ready > 0 || (nodeFd < 0 && ::kill(node, 0) != 0 && errno == ESRCH)) return false;
    }
    return false;
}

class Scu : public DcmSCU {
public:
    using DcmSCU::useSecureConnection;
};

// One attempt to deliver the report: true once the requester answered it
// with success; else false with the reason.
bool deliver(const ReceiveSettings& settings, const Peer& peer, DcmTransportLayer* tls, Uint16 eventType,
             DcmDataset& report, std::string& why) {
    Scu scu;
    scu.setAETitle(settings.title.c_str());
    scu.setPeerAETitle(peer.title.c_str());
    scu.setPeerHostName(peer.address.c_str());
    scu.setPeerPort(peer.port);
    scu.setConnectionTimeout(kConnectSeconds);
    dcmSocketSendTimeout.set(kNetworkSeconds);
    dcmSocketReceiveTimeout.set(kNetworkSeconds);
    scu.setACSETimeout(kNetworkSeconds);
    scu.setDIMSETimeout(kNetworkSeconds);
    scu.setDIMSEBlockingMode(DIMSE_NONBLOCKING);
    // The node is the service provider of this class: it proposes the
    // context in that role.
    scu.addPresentationContext(UID_StorageCommitmentPushModelSOPClass, uncompressed(), ASC_SC_ROLE_SCP);
    OFCondition condition = scu.initNetwork();
    if (condition.good() && tls) condition = scu.useSecureConnection(tls);
    if (condition.good()) condition = scu.negotiateAssociation();
    if (condition.bad()) {
        why = std::string("no association: ") + condition.text();
        return false;
    }
    const T_ASC_PresentationContextID context = scu.findAnyPresentationContextID(
        UID_StorageCommitmentPushModelSOPClass, UID_LittleEndianExplicitTransferSyntax);
    Uint16 status = 0xFFFF;
    if (context == 0) {
        why = "the requester did not accept the Storage Commitment context";
        scu.releaseAssociation();
        return false;
    }
    condition =
        scu.sendEVENTREPORTRequest(context, UID_StorageCommitmentPushModelSOPInstance, eventType, &report, status);
    scu.releaseAssociation();
    if (condition.bad()) why = std::string("not answered: ") + condition.text();
    else if (status != 0) why = "answered with status " + hex(status);
    return condition.good() && status == 0;
}

// The reporter's process: the lookup, then the report until it is
// delivered, lost, or the node ends; its exit status.
int report(ReceiveNode& node, CommitmentAnswer& answer, pid_t nodePid) {
    const ReceiveSettings& settings = node.settings();
    CommitmentRequest& request = answer.request;
    const std::string what = "storage commitment " + request.transactionUid + " for " + answer.peer.title;
    // A kept object is read only up to its UIDs: DCMTK's note that it
    // stopped there is no news.
    OFLog::getLogger("dcmtk.dcmdata").setLogLevel(OFLogger::ERROR_LOG_LEVEL);
    KeptObjects kept(settings.keep);
    std::string error;
    if (!kept.open(error)) node.log(what + ": the keep folder cannot be read (" + error + "): nothing is committed");
    kept.commit(request);
    DcmDataset data;
    const Uint16 eventType = buildCommitmentReport(request, data);
    std::size_t committed = 0;
    for (const CommittedInstance& instance : request.instances) committed += instance.reason == kCommitted;
    const std::string counts = std::to_string(committed) + " committed, " +
                               std::to_string(request.instances.size() - committed) + " failed";
    TlsLayer tls;
    if (!settings.tlsKey.empty() &&
        !(tls = makeTlsLayer(NET_REQUESTOR, {settings.tlsKey, settings.tlsCert, settings.tlsCa}, error))) {
        node.log(what + ": report lost (" + counts + "): " + error);
        return 1;
    }
    const int nodeFd = static_cast<int>(::syscall(SYS_pidfd_open, nodePid, 0));
    const std::string to = answer.peer.title + " at " + answer.peer.address + ":" + std::to_string(answer.peer.port);
    for (int attempt = 0; attempt <= kRetries; ++attempt) {
        if (attempt > 0 && !waitWhileRunning(nodeFd, nodePid, kRetrySeconds[attempt - 1])) {
            node.log(what + ": report lost (" + counts + "): the node stopped before it was delivered");
            return 1;
        }
        std::string why;
        if (deliver(settings, answer.peer, tls.get(), eventType, data, why)) {
            node.log(what + ": report sent to " + to + " (" + counts + ")");
            return 0;
        }
        node.log(what + ": report not delivered to " + to + " (attempt " + std::to_string(attempt + 1) + " of " +
                 std::to_string(kRetries + 1) + "): " + why +
                 (attempt < kRetries ? "; next attempt in " + std::to_string(kRetrySeconds[attempt]) + " s" : ""));
    }
    node.log(what + ": report lost (" + counts + "): not delivered in " + std::to_string(kRetries + 1) + " attempts");
    return 1;
}

}  // namespace

bool addCommitmentContext(DcmSharedSCPConfig& config, const ReceiveSettings& settings) {
    if (settings.keep.empty()) return true;
    return config->addPresentationContext(UID_StorageCommitmentPushModelSOPClass, uncompressed()).good();
}

std::string commitmentAnnouncement(const ReceiveSettings& settings) {
    if (settings.keep.empty()) return {};
    std::string peers;
    for (const auto& [title, peer] : settings.peers)
        peers += (peers.empty() ? "" : ", ") + title + " at " + peer.address + ":" + std::to_string(peer.port);
    return peers.empty() ? "storage commitment: no --peer AET=HOST:PORT, so every request is refused"
                         : "storage commitment: reports to " + peers;
}

bool proposesCommitment(const T_ASC_Parameters& params) {
    auto& asked = const_cast<T_ASC_Parameters&>(params);
    const int count = ASC_countPresentationContexts(&asked);
    for (int i = 0; i < count; ++i) {
        T_ASC_PresentationContext context{};
        if (ASC_getPresentationContext(&asked, i, &context).good() &&
            std::strcmp(context.abstractSyntax, UID_StorageCommitmentPushModelSOPClass) == 0)
            return true;
    }
    return false;
}

int takePeerOption(const std::vector<std::string>& args, std::size_t& i, ReceiveSettings& settings) {
    std::string value;
    bool missing = false;
    if (!optionValue(args, i, "--peer", value, missing)) return -1;
    const std::size_t equals = missing ? std::string::npos : value.rfind('=');
    const std::size_t colon = equals == std::string::npos ? std::string::npos : value.rfind(':');
    Peer peer;
    int port = 0;
    if (equals != std::string::npos) peer.title = value.substr(0, equals);
    const char* digits = colon == std::string::npos ? nullptr : value.data() + colon + 1;
    const char* end = value.data() + value.size();
    if (!validAeTitle(peer.title) || colon == std::string::npos || colon < equals ||
        std::from_chars(digits, end, port).ptr != end || digits == end || port < 1 || port > 65535)
        return usageError("receive",
                          "--peer takes AET=HOST:PORT (an AE title of 1 to 16 characters, a port from 1 to 65535)");
    peer.title = trimmedTitle(peer.title.c_str());
    peer.port = static_cast<std::uint16_t>(port);
    const std::string host = value.substr(equals + 1, colon - equals - 1);
    if (!resolve(host, peer.address))
        return usageError("receive", "--peer " + value + ": the host \"" + host + "\" cannot be resolved");
    if (!settings.peers.emplace(peer.title, peer).second)
        return usageError("receive", "--peer " + peer.title + " is given twice");
    return 0;
}

CommitmentAnswer checkCommitment(ReceiveNode& node, const T_DIMSE_N_ActionRQ& request,
                                 const std::string& abstractSyntax, DcmDataset* data, const std::string& calling,
                                 const std::string& who) {
    CommitmentAnswer answer;
    std::string why;
    const auto peer = node.settings().peers.find(calling);
    if (abstractSyntax != UID_StorageCommitmentPushModelSOPClass ||
        std::strcmp(request.RequestedSOPClassUID, UID_StorageCommitmentPushModelSOPClass) != 0) {
        answer.status = kNoSuchClass;
        why = "an N-ACTION of another SOP class";
    } else if (std::strcmp(request.RequestedSOPInstanceUID, UID_StorageCommitmentPushModelSOPInstance) != 0) {
        answer.status = kInvalidInstance;
        why = "not the well-known instance " UID_StorageCommitmentPushModelSOPInstance;
    } else if (request.ActionTypeID != kRequestCommitment) {
        answer.status = kNoSuchAction;
        why = "action type " + std::to_string(request.ActionTypeID);
    } else if (peer == node.settings().peers.end()) {
        answer.status = kNotAuthorized;
        why = "no --peer " + calling + "=HOST:PORT says where its report goes";
    } else if ((answer.status = readCommitmentRequest(data, answer.request, why)) == 0) {
        answer.peer = peer->second;
        if ((answer.slot = takeSlot()) < 0) {
            answer.status = kResourceLimitation;
            why = std::to_string(kMostReporters) + " reports already under way";
        }
    }
    if (answer.status != 0)
        node.log("storage commitment from " + who + " refused: " + why + " (status " + hex(answer.status) + ")");
    else
        node.log("storage commitment " + answer.request.transactionUid + " from " + who + ": " +
                 std::to_string(answer.request.instances.size()) + " instance(s); the report goes to " +
                 answer.peer.title + " at " + answer.peer.address + ":" + std::to_string(answer.peer.port));
    return answer;
}

void startCommitmentReport(ReceiveNode& node, CommitmentAnswer& answer, bool answered) {
    if (answer.status != 0) return;
    const std::string what = "storage commitment " + answer.request.transactionUid;
    if (!answered) {
        node.log(what + ": its answer was not sent; no report");
        ::close(answer.slot);
        return;
    }
    const pid_t nodePid = ::getppid();
    const pid_t pid = ::fork();
    if (pid < 0) node.log(what + ": report lost: no process for it: " + std::strerror(errno));
    if (pid != 0) {
        ::close(answer.slot);  // the reporter holds it
        return;
    }
    // The reporter: the association's signals and descriptors are not its
    // own (but its place among the reporters, and standard error).
    struct sigaction action {};
    action.sa_handler = onStop;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::signal(SIGALRM, SIG_IGN);
    const auto slot = static_cast<unsigned>(answer.slot);
    const bool closed = (slot <= 3 || ::close_range(3, slot - 1, 0) == 0) &&
                        ::close_range(std::max(slot + 1, 3u), ~0U, 0) == 0;
    const long most = closed ? 0 : ::sysconf(_SC_OPEN_MAX);  // one by one where close_range is refused
    for (int fd = 3; fd < most; ++fd)
        if (fd != answer.slot) ::close(fd);
    ::_exit(report(node, answer, nodePid));
}

}  // namespace trevik::dicom
