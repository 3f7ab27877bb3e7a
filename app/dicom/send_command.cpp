// trevik-dicom send: stores DICOM files and projection sources (exported
// in memory) in a PACS with C-STORE, all over one association.
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/dcmtrans.h>
#include <dcmtk/dcmnet/diutil.h>
#include <dcmtk/dcmnet/scu.h>
#include <dcmtk/dcmtls/tlslayer.h>
#include <dcmtk/oflog/oflog.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "app/dicom/command.h"
#include "app/dicom/tls.h"
#include "reader/dicom/nesting.h"
#include "reader/projection/element_stream.h"
#include "writer/output_file.h"

namespace trevik::dicom {

namespace {

constexpr const char* kWho = "trevik-dicom send";
constexpr int kConnectSeconds = 10;
constexpr std::size_t kMostContexts = 128;  // odd presentation context IDs 1 to 255

struct Destination {
    std::string aet;
    std::string host;
    Uint16 port = 0;
};

// AET@HOST:PORT; the title may itself hold "@", the host ":" (IPv6 in
// brackets is not needed on the loopback tests, but a bare name or address is).
bool parseDestination(const std::string& text, Destination& to) {
    const std::size_t at = text.rfind('@');
    const std::size_t colon = text.rfind(':');
    if (at == std::string::npos || colon == std::string::npos || colon < at) return false;
    to.aet = text.substr(0, at);
    to.host = text.substr(at + 1, colon - at - 1);
    const std::string port = text.substr(colon + 1);
    unsigned value = 0;
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (port.empty() || error != std::errc{} || end != port.data() + port.size() || value < 1 || value > 65535)
        return false;
    to.port = static_cast<Uint16>(value);
    return validAeTitle(to.aet) && !to.host.empty();
}

// One file to store: its SOP class and the transfer syntax it is in.
struct Item {
    std::string path;
    bool projection = false;
    std::string sopClass;
    std::string transferSyntax;
};

// What a file is, decided before the association; false with a reason
// when it is neither a DICOM file nor a projection source.
bool classify(Item& item, std::string& reason) {
    // Opened without waiting (a FIFO without a writer), then looked at.
    const detail::UniqueFd fd(::open(item.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0) {
        reason = std::string("cannot be read: ") + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        reason = "not a regular file";
        return false;
    }
    if (isProjectionFile(fd.get())) {
        item.projection = true;
        item.sopClass = kNmImageStorage;
        item.transferSyntax = UID_LittleEndianExplicitTransferSyntax;
        return true;
    }
    // DCMTK's parser recurses into sequences: too deep a nesting is refused
    // before it reads anything (the store reads the whole file later).
    if (const Status nesting = checkNestingOfFile(item.path.c_str()); !nesting.ok()) {
        reason = statusWords(nesting);
        return false;
    }
    DcmFileFormat file;
    if (file.loadFile(item.path.c_str(), EXS_Unknown, EGL_noChange, DCM_MaxReadLength, ERM_metaOnly).bad()) {
        reason = "neither a DICOM file nor a projection file";
        return false;
    }
    OFString sopClass, syntax;
    file.getMetaInfo()->findAndGetOFString(DCM_MediaStorageSOPClassUID, sopClass);
    file.getMetaInfo()->findAndGetOFString(DCM_TransferSyntaxUID, syntax);
    if (sopClass.empty() || syntax.empty()) {
        reason = "a DICOM file without its SOP class or transfer syntax";
        return false;
    }
    item.sopClass = sopClass.c_str();
    item.transferSyntax = syntax.c_str();
    return true;
}

bool uncompressed(const std::string& syntax) {
    return syntax == UID_LittleEndianExplicitTransferSyntax || syntax == UID_LittleEndianImplicitTransferSyntax ||
           syntax == UID_BigEndianExplicitTransferSyntax;
}

// C-STORE statuses that still mean "stored": success, and the warnings.
bool storedStatus(Uint16 status) {
    return status == 0x0000 || (status & 0xF000) == 0xB000 || status == 0x0001 || status == 0x0107 ||
           status == 0x0116;
}

// SIGINT: the association is aborted at once. The handler sends an A-ABORT
// on the association's socket and shuts it down, both safe in a handler,
// so that whatever DCMTK waits for ends; the command then reports it.
volatile std::sig_atomic_t interrupted = 0;
volatile std::sig_atomic_t associationSocket = -1;
volatile std::sig_atomic_t plainAbort = 1;  // not over TLS, where only the shutdown is safe
const unsigned char kAbort[10] = {0x07, 0, 0, 0, 0, 4, 0, 0, 0, 0};  // A-ABORT by the user

void onInterrupt(int signal) {
    const int fd = associationSocket;
    if (fd < 0) {
        // No association yet: end as the signal would.
        ::signal(signal, SIG_DFL);
        ::raise(signal);
        return;
    }
    interrupted = 1;
    if (plainAbort) {
        [[maybe_unused]] const ssize_t n = ::write(fd, kAbort, sizeof kAbort);
    }
    ::shutdown(fd, SHUT_RDWR);
}

// The sockets this process holds open.
std::set<int> openSockets() {
    std::set<int> sockets;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* entry = ::readdir(dir)) {
            const int fd = std::atoi(entry->d_name);
            struct stat info {};
            if (entry->d_name[0] != '.' && ::fstat(fd, &info) == 0 && S_ISSOCK(info.st_mode)) sockets.insert(fd);
        }
        ::closedir(dir);
    }
    return sockets;
}

// A failure of the association itself rather than of one file: nothing
// more can be sent over it.
bool associationLost(const OFCondition& condition) {
    return condition == DUL_PEERABORTEDASSOCIATION || condition == DUL_NETWORKCLOSED ||
           condition == DUL_READTIMEOUT || condition == DUL_PEERREQUESTEDRELEASE || condition == DUL_UNEXPECTEDPDU ||
           condition == DIMSE_NODATAAVAILABLE || condition == DIMSE_READPDVFAILED || condition == DIMSE_SENDFAILED ||
           condition == DIMSE_RECEIVEFAILED || condition == DIMSE_ILLEGALASSOCIATION;
}

// A write that failed while the connection still stands with data waiting
// to go out: the PACS stopped taking data for the socket's time-out.
bool peerStoppedReading() {
    const int fd = associationSocket;
    tcp_info info {};
    socklen_t size = sizeof info;
    int queued = 0;
    return fd >= 0 && ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) == 0 &&
           info.tcpi_state == TCP_ESTABLISHED && ::ioctl(fd, SIOCOUTQ, &queued) == 0 && queued > 0;
}

// The reason a failed association or transfer gives, in words.
std::string networkReason(const OFCondition& condition, const Destination& to, int timeout) {
    if (condition == DIMSE_SENDFAILED && peerStoppedReading())
        return "the PACS took no data for " + std::to_string(timeout) + " s";
    if (condition == DUL_ASSOCIATIONREJECTED)
        return "the PACS refused the association (is " + to.aet + " its AE title, and may this one call it?)";
    if (condition == DIMSE_NODATAAVAILABLE || condition == DUL_READTIMEOUT)
        return "the PACS did not answer within " + std::to_string(timeout) + " s";
    if (condition == DUL_PEERABORTEDASSOCIATION || condition == DUL_NETWORKCLOSED || condition == DIMSE_READPDVFAILED ||
        condition == DIMSE_SENDFAILED)
        return "the connection to the PACS was lost (" + std::string(condition.text()) + ")";
    const std::string text = condition.text();
    const std::string tcp = "TCP Initialization Error: ";
    if (text.rfind(tcp, 0) == 0) return "cannot connect to " + to.host + ":" + std::to_string(to.port) + ": " + text.substr(tcp.size());
    return text;
}

class Progress {
public:
    explicit Progress(std::size_t total) : terminal_(::isatty(STDERR_FILENO) != 0), total_(total) {}
    void sending(std::size_t index, const std::string& path) const {
        if (terminal_)
            std::fprintf(stderr, "\r\033[K[%zu/%zu] sending %s", index + 1, total_, printableName(path).c_str());
    }
    void report(const std::string& path, const std::string& outcome) const {
        std::fprintf(stderr, "%s%s: %s: %s\n", terminal_ ? "\r\033[K" : "", kWho, printableName(path).c_str(),
                     outcome.c_str());
    }

private:
    bool terminal_;
    std::size_t total_;
};

// The command line of send.
struct SendSettings {
    Destination to;
    std::string calling = "TREVIK";
    int timeout = 60;
    NmOptions options;
    TlsFiles tls;
    std::vector<Item> items;
};

// Reads the command line into `settings`: -1 when it is complete, else the
// exit code of its usage error.
int parseSend(const std::vector<std::string>& args, SendSettings& settings) {
    bool haveDestination = false;
    const std::pair<const char*, std::string*> tlsOptions[] = {
        {"--tls-key", &settings.tls.key}, {"--tls-cert", &settings.tls.cert}, {"--tls-ca", &settings.tls.ca}};
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string value;
        bool missing = false;
        std::string* tlsFile = nullptr;
        for (const auto& [name, file] : tlsOptions) {
            if (!optionValue(args, i, name, value, missing)) continue;
            if (missing || value.empty()) return usageError("send", std::string(name) + " needs a file");
            tlsFile = file;
            break;
        }
        if (tlsFile) {
            *tlsFile = value;
        } else if (optionValue(args, i, "--to", value, missing)) {
            if (missing || !parseDestination(value, settings.to))
                return usageError("send", "--to takes AET@HOST:PORT (an AE title of 1 to 16 characters)");
            haveDestination = true;
        } else if (optionValue(args, i, "--calling-aet", value, missing)) {
            if (missing || !validAeTitle(value))
                return usageError("send", "--calling-aet takes an AE title of 1 to 16 characters");
            settings.calling = value;
        } else if (optionValue(args, i, "--timeout", value, missing)) {
            int& timeout = settings.timeout;
            const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), timeout);
            if (missing || error != std::errc{} || end != value.data() + value.size() || timeout < 1 ||
                timeout > 86400)
                return usageError("send", "--timeout takes seconds from 1 to 86400");
        } else if (const int taken = takeExportOption("send", args, i, settings.options); taken >= 0) {
            if (taken > 0) return taken;
        } else if (args[i].size() > 1 && args[i][0] == '-') {
            return usageError("send", "unknown option " + args[i]);
        } else {
            settings.items.push_back(Item{args[i], false, {}, {}});
        }
    }
    if (!haveDestination) return usageError("send", "needs --to AET@HOST:PORT");
    if (settings.tls.any() && !settings.tls.all())
        return usageError("send", "TLS needs all three of --tls-key, --tls-cert and --tls-ca");
    if (settings.items.empty()) return usageError("send", "needs at least one FILE");
    return -1;
}

using Contexts = std::map<std::pair<std::string, std::string>, bool>;

// DCMTK's SCU, with its way to a TLS transport layer made public.
class Scu : public DcmSCU {
public:
    using DcmSCU::useSecureConnection;
};

// Sets `scu` up for the destination, its time-outs, `contexts` and TLS
// (when `tls` is not null), and negotiates the association.
OFCondition openAssociation(Scu& scu, const SendSettings& settings, const Contexts& contexts,
                            DcmTransportLayer* tls) {
    const Destination& to = settings.to;
    const int timeout = settings.timeout;
    scu.setAETitle(settings.calling.c_str());
    scu.setPeerAETitle(to.aet.c_str());
    scu.setPeerHostName(to.host.c_str());
    scu.setPeerPort(to.port);
    // Every wait of the network ends after --timeout: connecting (at most
    // 10 s), the association's answer, each answer to a C-STORE, and each
    // PDU written or read (DCMTK's socket time-outs are process-wide and 60 s
    // unless set, so a PACS that stops reading would hold a write that long).
    scu.setConnectionTimeout(std::min(timeout, kConnectSeconds));
    dcmSocketSendTimeout.set(timeout);
    dcmSocketReceiveTimeout.set(timeout);
    scu.setACSETimeout(static_cast<Uint32>(timeout));
    scu.setDIMSETimeout(static_cast<Uint32>(timeout));
    scu.setDIMSEBlockingMode(DIMSE_NONBLOCKING);
    scu.setDatasetConversionMode(OFTrue);
    // Each file's own SOP class and transfer syntax; an uncompressed one
    // with the other uncompressed syntaxes, which DCMTK converts between.
    for (const auto& [key, unused] : contexts) {
        OFList<OFString> syntaxes;
        syntaxes.push_back(key.second.c_str());
        if (uncompressed(key.second))
            for (const char* other : {UID_LittleEndianExplicitTransferSyntax, UID_LittleEndianImplicitTransferSyntax,
                                      UID_BigEndianExplicitTransferSyntax})
                if (key.second != other) syntaxes.push_back(other);
        scu.addPresentationContext(key.first.c_str(), syntaxes);
    }
    OFCondition condition = scu.initNetwork();
    if (condition.good() && tls) condition = scu.useSecureConnection(tls);
    if (condition.bad()) return condition;
    const std::set<int> before = openSockets();
    condition = scu.negotiateAssociation();
    for (int fd : openSockets())
        if (!before.count(fd)) associationSocket = fd;
    plainAbort = tls == nullptr;
    // From here SIGINT aborts the association (until here it ends the
    // process as usual: there is nothing to abort).
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    return condition;
}

// Ends the association after a failure without another wait: the A-ABORT
// written without waiting (not over TLS, where a write of our own would
// break the stream; a PACS that takes no data does not get it either),
// the connection shut, and then DCMTK's own abort, which would otherwise
// wait up to the time-out for the PACS to close its end. A PACS that did
// not answer would not answer a release either.
void abortAtOnce(Scu& scu) {
    const int fd = associationSocket;
    associationSocket = -1;
    if (fd >= 0) {
        if (plainAbort) (void)!::send(fd, kAbort, sizeof kAbort, MSG_NOSIGNAL | MSG_DONTWAIT);
        ::shutdown(fd, SHUT_RDWR);
    }
    if (scu.isConnected()) scu.abortAssociation();
}

// Why the association could not be had, in words.
std::string associationReason(const OFCondition& condition, const SendSettings& settings, bool overTls) {
    if (interrupted) return "interrupted";
    const std::string reason = networkReason(condition, settings.to, settings.timeout);
    // Over TLS, a connection made and then lost before any answer is the
    // handshake's failure, on either side.
    const bool connected = std::string(condition.text()).rfind("TCP Initialization Error", 0) != 0;
    if (overTls && connected && condition != DUL_ASSOCIATIONREJECTED && condition != DUL_READTIMEOUT &&
        condition != DIMSE_NODATAAVAILABLE)
        return "the TLS handshake failed (" + reason +
               "): is it a DICOM TLS port, is the PACS's certificate signed by the --tls-ca authority, and does it "
               "trust ours?";
    return reason;
}

// The outcome of one C-STORE by the PACS's status; `stored` when it counts
// as stored.
std::string storeOutcome(Uint16 status, bool& stored) {
    char code[8];
    std::snprintf(code, sizeof code, "0x%04X", status);
    stored = storedStatus(status);
    if (status == 0x0000) return "stored";
    if (stored) return std::string("stored with warning ") + code + " (" + DU_cstoreStatusString(status) + ")";
    return std::string("not stored: status ") + code + " (" + DU_cstoreStatusString(status) + ")";
}

}  // namespace

int sendCommand(const std::vector<std::string>& args) {
    SendSettings settings;
    if (const int code = parseSend(args, settings); code >= 0) return code;
    const Destination& to = settings.to;
    const int timeout = settings.timeout;
    const NmOptions& options = settings.options;
    std::vector<Item>& items = settings.items;

    OFLog::configure(OFLogger::OFF_LOG_LEVEL);
    ::signal(SIGPIPE, SIG_IGN);

    // Every file is looked at before the association: what is neither DICOM
    // nor a projection source is refused here.
    Progress progress(items.size());
    bool allStored = true;
    std::vector<Item> accepted;
    Contexts contexts;
    for (Item& item : items) {
        std::string reason;
        if (!classify(item, reason)) {
            progress.report(item.path, "not sent: " + reason);
            allStored = false;
            continue;
        }
        contexts[{item.sopClass, item.transferSyntax}] = true;
        accepted.push_back(item);
    }
    if (accepted.empty()) return kCannotOpen;
    if (contexts.size() > kMostContexts) {
        std::fprintf(stderr, "%s: the files need %zu presentation contexts; one association holds %zu\n", kWho,
                     contexts.size(), kMostContexts);
        return kCannotOpen;
    }

    // The TLS layer lives as long as the association.
    TlsLayer tls;
    if (settings.tls.all()) {
        std::string reason;
        tls = makeTlsLayer(NET_REQUESTOR, settings.tls, reason);
        if (!tls) {
            std::fprintf(stderr, "%s: %s\n", kWho, reason.c_str());
            return kCannotOpen;
        }
    }
    Scu scu;
    const std::string where = to.aet + "@" + to.host + ":" + std::to_string(to.port);
    OFCondition condition = openAssociation(scu, settings, contexts, tls.get());
    if (condition.bad()) {
        std::fprintf(stderr, "%s: cannot store in %s: %s\n", kWho, where.c_str(),
                     associationReason(condition, settings, tls != nullptr).c_str());
        return kCannotOpen;
    }

    std::size_t index = 0;
    for (const Item& item : accepted) {
        if (interrupted) break;
        progress.sending(index++, item.path);
        const T_ASC_PresentationContextID id =
            scu.findAnyPresentationContextID(item.sopClass.c_str(), item.transferSyntax.c_str());
        if (id == 0) {
            progress.report(item.path, "not stored: the PACS takes SOP class " + item.sopClass +
                                           " in none of the transfer syntaxes offered");
            allStored = false;
            continue;
        }
        Uint16 status = 0;
        if (item.projection) {
            DcmFileFormat file;
            const Status composed = composeSource(item.path.c_str(), options, file, kWho);
            if (!composed.ok()) {
                progress.report(item.path, "not stored: " + statusWords(composed));
                allStored = false;
                continue;
            }
            condition = scu.sendSTORERequest(id, OFFilename(), file.getDataset(), status);
        } else {
            condition = scu.sendSTORERequest(id, item.path.c_str(), nullptr, status);
        }
        if (condition.bad()) {
            // A transfer that failed for the network ends the association:
            // nothing more can be stored.
            if (interrupted) break;
            if (!scu.isConnected() || associationLost(condition)) {
                progress.report(item.path, "not stored: " + networkReason(condition, to, timeout));
                // This file and every one after it; no second association.
                std::fprintf(stderr, "%s: %zu file(s) not sent\n", kWho, accepted.size() - index + 1);
                abortAtOnce(scu);
                return kCannotOpen;
            }
            progress.report(item.path, "not stored: " + std::string(condition.text()));
            allStored = false;
            continue;
        }
        bool stored = false;
        progress.report(item.path, storeOutcome(status, stored));
        allStored = allStored && stored;
    }
    if (interrupted) {
        associationSocket = -1;
        scu.abortAssociation();
        std::fprintf(stderr, "%s%s: interrupted: the association was aborted\n",
                     ::isatty(STDERR_FILENO) ? "\r\033[K" : "", kWho);
        return kCannotOpen;
    }
    associationSocket = -1;
    scu.releaseAssociation();
    return allStored ? kOk : kCannotOpen;
}

}  // namespace trevik::dicom
