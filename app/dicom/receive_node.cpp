#include "app/dicom/receive_node.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/dul.h>
#include <dcmtk/dcmnet/scpcfg.h>
#include <dcmtk/oflog/oflog.h>
#include <pthread.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <system_error>
#include <thread>

#include "app/dicom/receive_storage.h"

namespace trevik::dicom {

namespace {

constexpr const char* kWho = "trevik-dicom receive";

// The node's presentation contexts: NM objects in the uncompressed and the
// compressed transfer syntaxes, Verification in the uncompressed ones.
bool addContexts(DcmSharedSCPConfig& config) {
    OFList<OFString> uncompressed, nm;
    for (const char* syntax : {UID_LittleEndianExplicitTransferSyntax, UID_BigEndianExplicitTransferSyntax,
                               UID_LittleEndianImplicitTransferSyntax})
        uncompressed.push_back(syntax), nm.push_back(syntax);
    // Compressed objects are taken too: the conversion decodes the lossless
    // ones and refuses the lossy ones with its reason, and --keep keeps them.
    for (const char* syntax : {UID_JPEGProcess14SV1TransferSyntax, UID_JPEGProcess14TransferSyntax,
                               UID_JPEGLSLosslessTransferSyntax, UID_RLELosslessTransferSyntax,
                               UID_JPEGProcess1TransferSyntax, UID_JPEGProcess2_4TransferSyntax,
                               UID_JPEGLSLossyTransferSyntax, UID_JPEG2000LosslessOnlyTransferSyntax,
                               UID_JPEG2000TransferSyntax, UID_DeflatedExplicitVRLittleEndianTransferSyntax})
        nm.push_back(syntax);
    return config->addPresentationContext(UID_NuclearMedicineImageStorage, nm).good() &&
           config->addPresentationContext(UID_VerificationSOPClass, uncompressed).good();
}

}  // namespace

void ReceiveNode::log(const std::string& line) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    char stamp[32] = "";
    if (::localtime_r(&now, &local)) std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    const std::lock_guard<std::mutex> hold(logLock_);
    std::fprintf(stderr, "%s %s\n", stamp, printableName(line).c_str());
    std::fflush(stderr);
}

bool ReceiveNode::allowed(const std::string& title, const std::string& address) const {
    for (const Caller& caller : settings_.allowed)
        if (caller.title == title && (caller.host.empty() || caller.addresses.count(address))) return true;
    return false;
}

Admission ReceiveNode::admit(const std::string& calling, const std::string& called,
                             const std::string& address) const {
    if (stopping_) return {Admission::Verdict::Stopping, "the node is stopping"};
    if (called != settings_.title)
        return {Admission::Verdict::WrongCalled, "called " + called + ", but this node is " + settings_.title};
    if (!allowed(calling, address))
        return {Admission::Verdict::NotAllowed, settings_.allowed.empty()
                                                    ? "no caller is allowed (no --allow given)"
                                                    : calling + " from " + address + " is not allowed"};
    return {};
}

void ReceiveNode::objectStarts() {
    const std::lock_guard<std::mutex> hold(flightLock_);
    ++inFlight_;
}

void ReceiveNode::objectEnds() {
    const std::lock_guard<std::mutex> hold(flightLock_);
    if (--inFlight_ == 0) landed_.notify_all();
}

int ReceiveNode::awaitObjects(int seconds) {
    std::unique_lock<std::mutex> hold(flightLock_);
    landed_.wait_for(hold, std::chrono::seconds(seconds), [this] { return inFlight_ == 0; });
    return inFlight_;
}

void ReceiveNode::endWrites() {
    writeLock_.lock();  // held until the process ends
    ended_ = true;
}

void ReceiveNode::awaitStop(sigset_t signals) {
    int signal = 0;
    while (::sigwait(&signals, &signal) != 0) {
    }
    stopping_ = true;
    log(std::string("stopping (") + (signal == SIGINT ? "SIGINT" : "SIGTERM") +
        "): no new associations; objects in flight may finish within " + std::to_string(kStopSeconds) + " s");
    const int left = awaitObjects(kStopSeconds);
    if (left > 0)
        log(std::to_string(left) + " object(s) still in flight after " + std::to_string(kStopSeconds) +
            " s: abandoned, nothing of them is kept");
    endWrites();
    log("stopped");
    std::_Exit(0);
}

void ReceiveNode::announce() {
    std::string callers;
    for (const Caller& caller : settings_.allowed)
        callers += (callers.empty() ? "" : ", ") + caller.title + (caller.host.empty() ? "" : "@" + caller.host);
    log("listening as " + settings_.title + " on port " + std::to_string(settings_.port) + ", inbox " +
        settings_.inbox + (settings_.keep.empty() ? "" : ", keeping objects in " + settings_.keep) + ", at most " +
        std::to_string(settings_.maxAssociations) + " associations at once, objects up to " +
        std::to_string(settings_.maxObjectBytes >> 20) + " MiB");
    log(callers.empty() ? "no caller is allowed: every association will be refused (give --allow AET[@HOST])"
                        : "allowed to store: " + callers);
}

int ReceiveNode::run() {
    // DCMTK's own warnings and errors go to standard error beside the
    // node's lines; host names are not looked up (the allow list holds
    // addresses, and a lookup could hang an association).
    OFLog::configure(OFLogger::WARN_LOG_LEVEL);
    dcmDisableGethostbyaddr.set(OFTrue);
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    ::pthread_sigmask(SIG_BLOCK, &stops, nullptr);  // every thread inherits it; only the signal thread takes them

    DcmSharedSCPConfig config;
    config->setAETitle(settings_.title.c_str());
    config->setACSETimeout(kAcseSeconds);
    config->setDIMSEBlockingMode(DIMSE_NONBLOCKING);
    config->setDIMSETimeout(kDimseSeconds);
    config->setHostLookupEnabled(OFFalse);
    config->setProgressNotificationMode(OFTrue);  // the object size limit is checked as data arrives
    if (!addContexts(config)) {
        std::fprintf(stderr, "%s: the presentation contexts cannot be set up\n", kWho);
        return kCannotOpen;
    }

    T_ASC_Network* network = nullptr;
    const OFCondition condition = ASC_initializeNetwork(NET_ACCEPTOR, settings_.port, kAcseSeconds, &network);
    if (condition.bad()) {
        std::fprintf(stderr, "%s: cannot listen on port %u: %s\n", kWho, settings_.port, condition.text());
        return kCannotOpen;
    }
    std::thread([this, stops] { awaitStop(stops); }).detach();
    announce();
    admitConnections(network, config);
}

// Until the signal thread ends the process; once stopping, every
// association request is rejected as transient, so its caller tries again
// later (the network stays up for the associations still open).
void ReceiveNode::admitConnections(T_ASC_Network* network, const DcmSharedSCPConfig& config) {
    for (;;) {
        T_ASC_Association* association = nullptr;
        const OFCondition condition = ASC_receiveAssociation(network, &association, ASC_DEFAULTMAXPDU, nullptr,
                                                             nullptr, OFFalse, DUL_NOBLOCK, 1);
        if (condition == DUL_NOASSOCIATIONREQUEST) {
            ASC_destroyAssociation(&association);
            continue;
        }
        if (condition.bad() || associations_ >= settings_.maxAssociations || stopping_) {
            std::string peer = "unknown";
            if (association && association->params)
                peer = trimmedTitle(association->params->DULparams.callingAPTitle) + "@" +
                       association->params->DULparams.callingPresentationAddress;
            if (condition.bad()) {
                log("association request from " + peer + " not read: " + condition.text());
            } else {
                log("association from " + peer + " refused: " +
                    (stopping_ ? std::string("the node is stopping")
                               : std::to_string(settings_.maxAssociations) +
                                     " associations already open (--max-associations)"));
                T_ASC_RejectParameters reject{ASC_RESULT_REJECTEDTRANSIENT,
                                              ASC_SOURCE_SERVICEPROVIDER_PRESENTATION_RELATED,
                                              ASC_REASON_SP_PRES_LOCALLIMITEXCEEDED};
                ASC_rejectAssociation(association, &reject);
            }
            ASC_dropAssociation(association);
            ASC_destroyAssociation(&association);
            continue;
        }
        ++associations_;
        try {
            std::thread([this, association, config] {
                serveAssociation(*this, association, config);
                --associations_;
            }).detach();
        } catch (const std::system_error& error) {
            --associations_;
            log(std::string("association refused: no thread for it: ") + error.what());
            ASC_dropAssociation(association);
            ASC_destroyAssociation(&association);
        }
    }
}

}  // namespace trevik::dicom
