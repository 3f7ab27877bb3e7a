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
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "app/dicom/receive_storage.h"
#include "app/dicom/receive_supervisor.h"
#include "app/dicom/receive_tls.h"
#include "app/dicom/received_object.h"

namespace trevik::dicom {

namespace {

constexpr const char* kWho = "trevik-dicom receive";

// The node's presentation contexts: NM objects in the uncompressed and the
// compressed transfer syntaxes, Verification in the uncompressed ones.
// A deflated data set is taken: it is written to a file as it came and
// inflated when read, under the association's memory limit.
bool addContexts(DcmSharedSCPConfig& config) {
    OFList<OFString> uncompressed, nm;
    for (const char* syntax : {UID_LittleEndianExplicitTransferSyntax, UID_BigEndianExplicitTransferSyntax,
                               UID_LittleEndianImplicitTransferSyntax})
        uncompressed.push_back(syntax), nm.push_back(syntax);
    // Compressed objects only in the syntaxes the reader decodes, so that a
    // sender that prefers another falls back to one of these: the lossless
    // JPEG, JPEG-LS and RLE syntaxes and JPEG 2000 (its reversible wavelet;
    // a lossy codestream or an object flagged lossy is refused with its
    // reason, and --keep keeps it). The lossy-only JPEG and JPEG-LS
    // syntaxes are not offered: their counts are no longer the camera's.
    for (const char* syntax : {UID_JPEGProcess14SV1TransferSyntax, UID_JPEGProcess14TransferSyntax,
                               UID_JPEGLSLosslessTransferSyntax, UID_RLELosslessTransferSyntax,
                               UID_JPEG2000LosslessOnlyTransferSyntax, UID_JPEG2000TransferSyntax,
                               UID_DeflatedExplicitVRLittleEndianTransferSyntax})
        nm.push_back(syntax);
    return config->addPresentationContext(UID_NuclearMedicineImageStorage, nm).good() &&
           config->addPresentationContext(UID_VerificationSOPClass, uncompressed).good();
}

// The limits of one connection's process: its memory (the heap and every
// private mapping), and no core file. AddressSanitizer maps terabytes of
// shadow memory, so a build with it has no memory limit.
void limitProcess(unsigned long long memory) {
#ifndef __SANITIZE_ADDRESS__
    const rlimit data{memory, memory};
    ::setrlimit(RLIMIT_DATA, &data);
#else
    (void)memory;
#endif
    const rlimit core{0, 0};
    ::setrlimit(RLIMIT_CORE, &core);
}

}  // namespace

ReceiveNode::ReceiveNode(ReceiveSettings settings) : settings_(std::move(settings)) {}

ReceiveNode::~ReceiveNode() = default;

void ReceiveNode::log(const std::string& line) {
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

bool ReceiveNode::allowed(const std::string& title, const std::string& address, const std::string& commonName) const {
    for (const Caller& caller : settings_.allowed) {
        if (!caller.commonName.empty()) {
            if (caller.commonName == commonName) return true;
        } else if (caller.title == title && (caller.host.empty() || caller.addresses.count(address))) {
            return true;
        }
    }
    return false;
}

Admission ReceiveNode::admit(const std::string& calling, const std::string& called, const std::string& address,
                             const std::string& commonName) const {
    if (stopping()) return {Admission::Verdict::Stopping, "the node is stopping"};
    if (called != settings_.title)
        return {Admission::Verdict::WrongCalled, "called " + called + ", but this node is " + settings_.title};
    if (!allowed(calling, address, commonName))
        return {Admission::Verdict::NotAllowed,
                settings_.allowed.empty() ? "no caller is allowed (no --allow given)"
                                          : calling + " from " + address +
                                                (commonName.empty() ? "" : " (certificate " + commonName + ")") +
                                                " is not allowed"};
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
    dcmExternalSocketHandle.set(connection);
    T_ASC_Network* network = nullptr;
    if (ASC_initializeNetwork(NET_ACCEPTOR, settings_.port, kAcseSeconds, &network).bad()) return 1;
    if (tls_) ASC_setTransportLayer(network, tls_.get(), 0);
    T_ASC_Association* association = nullptr;
    connectionDeadline(kAcseSeconds);
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
    if (!addContexts(config)) {
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
    Supervisor supervisor(limits, [this](const std::string& line) { log(line); });
    if (!supervisor.listen(reason)) {
        std::fprintf(stderr, "%s: cannot listen on port %u: %s\n", kWho, settings_.port, reason.c_str());
        return kCannotOpen;
    }
    if (!openFolders()) return kCannotOpen;
    announce();
    return supervisor.run(
        [&](int connection, const std::string& address) { return serveConnection(connection, address, config); },
        [&](int pid) {
            NewFile::removeLeftovers(folders_.inbox(), pid);
            NewFile::removeLeftovers(folders_.keep(), pid);
        });
}

}  // namespace trevik::dicom
