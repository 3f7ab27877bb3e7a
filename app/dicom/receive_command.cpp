// trevik-dicom receive: a DICOM node that cameras and PACS send gated SPECT
// studies to. Each NM object received by C-STORE is converted as
// `trevik-dicom import` converts a file and written as a .gsd file into
// the inbox the analysis program reads; the C-STORE response says success
// only once that file is complete there.
//
// One thread listens; each association runs in a thread of its own (at
// most --max-associations at once), on DCMTK's DcmThreadSCP. Files are
// written one at a time under one lock, which also lets the end wait for
// the write in progress. SIGTERM and SIGINT are taken by a thread of their
// own (sigwait): no new association or object is accepted, the objects in
// flight finish (for at most 30 s), then the process ends with 0.
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcvrlo.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/diutil.h>
#include <dcmtk/dcmnet/dul.h>
#include <dcmtk/dcmnet/scpthrd.h>
#include <dcmtk/oflog/oflog.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/dicom/command.h"
#include "app/dicom/received_object.h"
#include "writer/dicom/nm_object.h"
#include "writer/gsd/gsd_writer.h"

namespace trevik::dicom {

namespace {

constexpr const char* kWho = "trevik-dicom receive";
constexpr int kStopSeconds = 30;
constexpr int kAcseSeconds = 10;  // also bounds a connection that never asks
constexpr int kDimseSeconds = 60;  // a caller silent this long is aborted
constexpr int kMostAssociations = 64;
// The largest object taken, in MiB, unless --max-object-size says less or
// more: twice the largest uncompressed object the conversion reads (8192
// frames of 128 x 128 16-bit samples, 256 MiB), so nothing convertible is
// refused while a sender cannot fill the node's memory with one object.
constexpr int kDefaultObjectMiB = 512;
constexpr int kMostObjectMiB = 4095;
constexpr std::size_t kMostComment = 64;  // Error Comment is LO
constexpr Uint16 kSuccess = 0x0000;
constexpr Uint16 kOutOfResources = 0xA700;
constexpr Uint16 kCannotUnderstand = 0xC000;

// A calling AE title that may store, from any host or from the addresses
// its host name had at start.
struct Caller {
    std::string title;
    std::string host;
    std::set<std::string> addresses;
};

struct Settings {
    std::string title;
    Uint16 port = 0;
    std::string inbox;
    std::string keep;
    std::vector<Caller> allowed;
    int maxAssociations = 4;
    unsigned long long maxObjectBytes = static_cast<unsigned long long>(kDefaultObjectMiB) << 20;
};

std::string trimmed(const char* text) {
    std::string s = text;
    const std::size_t first = s.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

// What the whole node shares: its settings, the log, the objects in
// flight, and the lock every file is written under.
class Node {
public:
    explicit Node(Settings settings) : settings_(std::move(settings)) {}
    const Settings& settings() const { return settings_; }

    // One line on standard error, with the local time; lines of different
    // threads never mix.
    void log(const std::string& line) {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        char stamp[32] = "";
        if (::localtime_r(&now, &local)) std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
        const std::lock_guard<std::mutex> hold(logLock_);
        std::fprintf(stderr, "%s %s\n", stamp, printableName(line).c_str());
        std::fflush(stderr);
    }

    bool allowed(const std::string& title, const std::string& address) const {
        for (const Caller& caller : settings_.allowed)
            if (caller.title == title && (caller.host.empty() || caller.addresses.count(address))) return true;
        return false;
    }

    std::atomic<bool> stopping{false};

    // An object is in flight from its C-STORE request to its response.
    void objectStarts() {
        const std::lock_guard<std::mutex> hold(flightLock_);
        ++inFlight_;
    }
    void objectEnds() {
        const std::lock_guard<std::mutex> hold(flightLock_);
        if (--inFlight_ == 0) landed_.notify_all();
    }
    // Waits until no object is in flight, at most `seconds`; the number
    // still in flight.
    int awaitObjects(int seconds) {
        std::unique_lock<std::mutex> hold(flightLock_);
        landed_.wait_for(hold, std::chrono::seconds(seconds), [this] { return inFlight_ == 0; });
        return inFlight_;
    }

    // Writes one file with the lock held; false once the node has ended.
    template <typename Write>
    Status write(Write&& body) {
        const std::lock_guard<std::mutex> hold(writeLock_);
        if (ended_) return statusOf(Reason::CannotWrite, ECANCELED);
        return body();
    }
    // Waits for the write in progress and lets no other start.
    void endWrites() {
        writeLock_.lock();  // held until the process ends
        ended_ = true;
    }

    std::atomic<int> associations{0};

private:
    const Settings settings_;
    std::mutex logLock_;
    std::mutex flightLock_;
    std::condition_variable landed_;
    int inFlight_ = 0;
    std::mutex writeLock_;
    bool ended_ = false;
};

Node* theNode = nullptr;

// What became of one object: the response status, the Error Comment, and
// the log line's words.
struct Outcome {
    Uint16 status = kSuccess;
    std::string comment;
    std::string words;
};

std::string errorWords(const Status& status) {
    return status.where.error ? std::strerror(status.where.error) : statusWords(status);
}

// Keeps (with --keep), converts and writes one received object.
Outcome storeObject(Node& node, std::unique_ptr<DcmDataset> received, E_TransferSyntax syntax) {
    Outcome outcome;
    const Settings& settings = node.settings();
    try {
        DcmFileFormat file(received.release(), OFFalse);
        DcmDataset& dataset = *file.getDataset();
        const std::string base = receivedBaseName(dataset);
        if (!settings.keep.empty()) {
            std::vector<unsigned char> bytes;
            Status encoded = encodeFile(file, bytes, syntax);
            std::string kept;
            const auto create = [&](const char* path) {
                return writeBytes(path, bytes, {}, detail::OutputFile::Existing::Refuse);
            };
            if (encoded.ok()) encoded = node.write([&] { return createNumbered(settings.keep, base, ".dcm", create, kept); });
            if (!encoded.ok()) {
                outcome.status = kOutOfResources;
                outcome.comment = "cannot keep the object: " + errorWords(encoded);
                outcome.words = "not stored: " + outcome.comment;
                return outcome;
            }
            outcome.words = "kept as " + kept + ", ";
        }
        std::unique_ptr<Study> study(new Study());
        Status status = convertReceived(dataset, *study);
        if (!status.ok()) {
            outcome.status = status.code == kNoMemory ? kOutOfResources : kCannotUnderstand;
            outcome.comment = statusWords(status);
            outcome.words += "not converted: " + outcome.comment;
            return outcome;
        }
        std::string name;
        const auto create = [&](const char* path) { return createGsd(path, *study); };
        status = node.write([&] { return createNumbered(settings.inbox, base, ".gsd", create, name); });
        if (!status.ok()) {
            outcome.status = kOutOfResources;
            outcome.comment = "cannot write to the inbox: " + errorWords(status);
            outcome.words += "not stored: " + outcome.comment;
            return outcome;
        }
        outcome.words += "stored as " + name;
    } catch (const std::bad_alloc&) {
        outcome.status = kOutOfResources;
        outcome.comment = "not enough memory";
        outcome.words = "not stored: not enough memory";
    }
    return outcome;
}

// One association: who calls, whether they may, and what they store.
class Receiver : public DcmThreadSCP {
public:
    explicit Receiver(Node& node) : node_(node) {}

protected:
    void notifyAssociationRequest(const T_ASC_Parameters& params, DcmSCPActionType& action) override {
        const std::string calling = trimmed(params.DULparams.callingAPTitle);
        const std::string called = trimmed(params.DULparams.calledAPTitle);
        address_ = params.DULparams.callingPresentationAddress;
        if (const std::size_t colon = address_.rfind(':'); colon != std::string::npos) address_.resize(colon);
        peer_ = calling + "@" + address_;
        if (node_.stopping) {
            refusal_ = "the node is stopping";
            action = DCMSCP_ACTION_REFUSE_ASSOCIATION;
        } else if (called != node_.settings().title) {
            refusal_ = "called " + called + ", but this node is " + node_.settings().title;
            wrongCalled_ = true;
        } else if (!node_.allowed(calling, address_)) {
            refusal_ = node_.settings().allowed.empty() ? "no caller is allowed (no --allow given)"
                                                        : calling + " from " + address_ + " is not allowed";
            notAllowed_ = true;
        }
    }
    OFBool checkCalledAETitleAccepted(const OFString&) override { return !wrongCalled_; }
    OFBool checkCallingAETitleAccepted(const OFString&) override { return !notAllowed_; }
    void refuseAssociation(const DcmRefuseReasonType reason) override {
        std::string why = refusal_;
        if (why.empty())
            why = reason == DCMSCP_NO_PRESENTATION_CONTEXTS
                      ? "it offered neither NM Image Storage nor Verification in a transfer syntax taken here"
                      : "refused by the network layer (reason " + std::to_string(static_cast<int>(reason)) + ")";
        node_.log("association from " + peer_ + " refused: " + why);
        DcmThreadSCP::refuseAssociation(reason);
    }
    void notifyAssociationAcknowledge() override { accepted_ = true; }
    void notifyReleaseRequest() override { end_ = "released"; }
    void notifyAbortRequest() override { end_ = "aborted by the caller"; }
    void notifyDIMSEError(const OFCondition& condition) override {
        if (tooLarge_)
            end_ = "aborted: an object over the size limit";
        else if (condition == DIMSE_NODATAAVAILABLE)
            end_ = "aborted: nothing received for " + std::to_string(kDimseSeconds) + " s";
        else
            end_ = std::string("aborted: ") + condition.text();
    }
    // Called as each part of an object's data set arrives (the object is
    // held in memory until it is whole): past the limit, the association
    // is aborted, which ends the receive at once.
    void notifyRECEIVEProgress(const unsigned long bytes) override {
        if (!receiving_ || tooLarge_ || bytes <= node_.settings().maxObjectBytes) return;
        tooLarge_ = true;
        abortAssociation();
    }
    void notifyAssociationTermination() override {
        if (!accepted_) return;
        node_.log("association from " + peer_ + " " + end_ + ": " + std::to_string(stored_) + " stored, " +
                  std::to_string(failed_) + " not stored");
    }

    OFCondition handleIncomingCommand(T_DIMSE_Message* message, const DcmPresentationContextInfo& info) override {
        if (message->CommandField == DIMSE_C_ECHO_RQ) {
            const OFCondition condition = DcmThreadSCP::handleIncomingCommand(message, info);
            node_.log("C-ECHO from " + peer_ + " answered");
            return condition;
        }
        if (message->CommandField != DIMSE_C_STORE_RQ) return DcmThreadSCP::handleIncomingCommand(message, info);
        T_DIMSE_C_StoreRQ& request = message->msg.CStoreRQ;
        const std::string what = "object " + std::string(request.AffectedSOPInstanceUID) + " from " + peer_;
        if (node_.stopping) {
            node_.log(what + " not received: the node is stopping (association aborted)");
            ++failed_;
            return makeOFCondition(0, 1, OF_error, "the node is stopping");
        }
        node_.objectStarts();
        struct Landed {
            Node& node;
            ~Landed() { node.objectEnds(); }
        } landed{node_};
        DcmDataset* dataset = nullptr;
        receiving_ = true;
        OFCondition condition = receiveSTORERequest(request, info.presentationContextID, dataset);
        receiving_ = false;
        std::unique_ptr<DcmDataset> received(dataset);
        if (tooLarge_) {
            received.reset();
            node_.log(what + " not received: larger than " + std::to_string(node_.settings().maxObjectBytes >> 20) +
                      " MiB (--max-object-size); association aborted");
            ++failed_;
            return condition.bad() ? condition : makeOFCondition(0, 2, OF_error, "object too large");
        }
        if (condition.bad()) {
            node_.log(what + " not received: " + condition.text());
            ++failed_;
            return condition;
        }
        const E_TransferSyntax syntax = DcmXfer(info.acceptedTransferSyntax.c_str()).getXfer();
        const Outcome outcome = storeObject(node_, std::move(received), syntax);
        DcmDataset detail;
        DcmDataset* statusDetail = nullptr;
        if (!outcome.comment.empty()) {
            std::string comment = outcome.comment;
            for (char& c : comment)
                if (c == '\\' || static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '?';
            if (comment.size() > kMostComment) comment.resize(kMostComment);
            detail.putAndInsertString(DCM_ErrorComment, comment.c_str());
            statusDetail = &detail;
        }
        condition = sendSTOREResponse(info.presentationContextID, request.MessageID, request.AffectedSOPClassUID,
                                      request.AffectedSOPInstanceUID, outcome.status, statusDetail);
        char code[8];
        std::snprintf(code, sizeof code, "0x%04X", outcome.status);
        if (outcome.status == kSuccess && condition.good())
            ++stored_;
        else
            ++failed_;
        node_.log(what + ": " + outcome.words + " (status " + code + ")" +
                  (condition.bad() ? std::string("; the response was not sent: ") + condition.text() : ""));
        return condition;
    }

private:
    Node& node_;
    std::string address_, peer_, refusal_;
    std::string end_ = "ended";
    bool wrongCalled_ = false, notAllowed_ = false, accepted_ = false;
    bool receiving_ = false, tooLarge_ = false;
    int stored_ = 0, failed_ = 0;
};

// --allow AET[@HOST]: a host name is resolved once, at start.
bool parseCaller(const std::string& text, Caller& caller, std::string& error) {
    const std::size_t at = text.rfind('@');
    caller.title = text.substr(0, at);
    if (!validAeTitle(caller.title)) {
        error = "--allow takes AET[@HOST] with an AE title of 1 to 16 characters, not \"" + text + "\"";
        return false;
    }
    caller.title = trimmed(caller.title.c_str());
    if (at == std::string::npos) return true;
    caller.host = text.substr(at + 1);
    in_addr numeric{};
    if (::inet_pton(AF_INET, caller.host.c_str(), &numeric) == 1) {
        caller.addresses.insert(caller.host);
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (caller.host.empty() || ::getaddrinfo(caller.host.c_str(), nullptr, &hints, &found) != 0) {
        error = "--allow " + text + ": the host \"" + caller.host + "\" cannot be resolved";
        return false;
    }
    for (const addrinfo* a = found; a; a = a->ai_next) {
        char address[INET_ADDRSTRLEN] = "";
        const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
        if (::inet_ntop(AF_INET, &in->sin_addr, address, sizeof address)) caller.addresses.insert(address);
    }
    ::freeaddrinfo(found);
    return true;
}

bool parseNumber(const std::string& text, int low, int high, int& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && error == std::errc{} && end == text.data() + text.size() && value >= low && value <= high;
}

// A folder the node can write into; the reason when not.
bool writableFolder(const std::string& path, std::string& reason) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(info.st_mode)) {
        reason = "not a folder";
        return false;
    }
    if (::access(path.c_str(), W_OK | X_OK) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    return true;
}

// The signal thread: waits for SIGTERM or SIGINT, then ends the node.
void awaitStop(Node& node, sigset_t signals) {
    int signal = 0;
    while (::sigwait(&signals, &signal) != 0) {
    }
    node.stopping = true;
    node.log(std::string("stopping (") + (signal == SIGINT ? "SIGINT" : "SIGTERM") +
             "): no new associations; objects in flight may finish within " + std::to_string(kStopSeconds) + " s");
    const int left = node.awaitObjects(kStopSeconds);
    if (left > 0)
        node.log(std::to_string(left) + " object(s) still in flight after " + std::to_string(kStopSeconds) +
                 " s: abandoned, nothing of them is kept");
    node.endWrites();
    node.log("stopped");
    std::_Exit(0);
}

}  // namespace

int receiveCommand(const std::vector<std::string>& args) {
    Settings settings;
    bool haveTitle = false, havePort = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string value, error;
        bool missing = false;
        int number = 0;
        if (optionValue(args, i, "--aet", value, missing)) {
            if (missing || !validAeTitle(value))
                return usageError("receive", "--aet takes an AE title of 1 to 16 characters");
            settings.title = trimmed(value.c_str());
            haveTitle = true;
        } else if (optionValue(args, i, "--port", value, missing)) {
            if (missing || !parseNumber(value, 1, 65535, number))
                return usageError("receive", "--port takes a port from 1 to 65535");
            settings.port = static_cast<Uint16>(number);
            havePort = true;
        } else if (optionValue(args, i, "--inbox", value, missing)) {
            if (missing || value.empty()) return usageError("receive", "--inbox needs a folder");
            settings.inbox = value;
        } else if (optionValue(args, i, "--keep", value, missing)) {
            if (missing || value.empty()) return usageError("receive", "--keep needs a folder");
            settings.keep = value;
        } else if (optionValue(args, i, "--allow", value, missing)) {
            Caller caller;
            if (missing) return usageError("receive", "--allow needs AET[@HOST]");
            if (!parseCaller(value, caller, error)) return usageError("receive", error);
            settings.allowed.push_back(caller);
        } else if (optionValue(args, i, "--max-associations", value, missing)) {
            if (missing || !parseNumber(value, 1, kMostAssociations, settings.maxAssociations))
                return usageError("receive", "--max-associations takes a number from 1 to " +
                                                 std::to_string(kMostAssociations));
        } else if (optionValue(args, i, "--max-object-size", value, missing)) {
            if (missing || !parseNumber(value, 1, kMostObjectMiB, number))
                return usageError("receive", "--max-object-size takes a size in MiB from 1 to " +
                                                 std::to_string(kMostObjectMiB));
            settings.maxObjectBytes = static_cast<unsigned long long>(number) << 20;
        } else {
            return usageError("receive", "unknown argument " + args[i]);
        }
    }
    if (!haveTitle || !havePort || settings.inbox.empty())
        return usageError("receive", "needs --aet AET, --port PORT and --inbox DIR");
    for (const auto& [option, folder] : {std::pair<const char*, std::string>{"inbox", settings.inbox},
                                         std::pair<const char*, std::string>{"keep", settings.keep}}) {
        std::string reason;
        if (!folder.empty() && !writableFolder(folder, reason)) {
            std::fprintf(stderr, "%s: --%s %s: %s\n", kWho, option, printableName(folder).c_str(), reason.c_str());
            return kCannotOpen;
        }
    }

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

    static Node node(settings);
    theNode = &node;
    DcmSharedSCPConfig config;
    config->setAETitle(settings.title.c_str());
    config->setACSETimeout(kAcseSeconds);
    config->setDIMSEBlockingMode(DIMSE_NONBLOCKING);
    config->setDIMSETimeout(kDimseSeconds);
    config->setHostLookupEnabled(OFFalse);
    config->setProgressNotificationMode(OFTrue);  // the object size limit is checked as data arrives
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
    if (config->addPresentationContext(UID_NuclearMedicineImageStorage, nm).bad() ||
        config->addPresentationContext(UID_VerificationSOPClass, uncompressed).bad()) {
        std::fprintf(stderr, "%s: the presentation contexts cannot be set up\n", kWho);
        return kCannotOpen;
    }

    T_ASC_Network* network = nullptr;
    OFCondition condition = ASC_initializeNetwork(NET_ACCEPTOR, settings.port, kAcseSeconds, &network);
    if (condition.bad()) {
        std::fprintf(stderr, "%s: cannot listen on port %u: %s\n", kWho, settings.port, condition.text());
        return kCannotOpen;
    }
    std::thread(awaitStop, std::ref(node), stops).detach();

    std::string callers;
    for (const Caller& caller : settings.allowed)
        callers += (callers.empty() ? "" : ", ") + caller.title + (caller.host.empty() ? "" : "@" + caller.host);
    node.log("listening as " + settings.title + " on port " + std::to_string(settings.port) + ", inbox " +
             settings.inbox + (settings.keep.empty() ? "" : ", keeping objects in " + settings.keep) + ", at most " +
             std::to_string(settings.maxAssociations) + " associations at once, objects up to " +
             std::to_string(settings.maxObjectBytes >> 20) + " MiB");
    node.log(callers.empty() ? "no caller is allowed: every association will be refused (give --allow AET[@HOST])"
                             : "allowed to store: " + callers);

    // Until the signal thread ends the process; once stopping, every
    // association request is rejected as transient, so its caller tries
    // again later (the network stays up for the associations still open).
    for (;;) {
        T_ASC_Association* association = nullptr;
        condition = ASC_receiveAssociation(network, &association, ASC_DEFAULTMAXPDU, nullptr, nullptr, OFFalse,
                                           DUL_NOBLOCK, 1);
        if (condition == DUL_NOASSOCIATIONREQUEST) {
            ASC_destroyAssociation(&association);
            continue;
        }
        if (condition.bad() || node.associations >= settings.maxAssociations || node.stopping) {
            std::string peer = "unknown";
            if (association && association->params)
                peer = trimmed(association->params->DULparams.callingAPTitle) + "@" +
                       association->params->DULparams.callingPresentationAddress;
            if (condition.bad()) {
                node.log("association request from " + peer + " not read: " + condition.text());
            } else {
                node.log("association from " + peer + " refused: " +
                         (node.stopping ? std::string("the node is stopping")
                                        : std::to_string(settings.maxAssociations) +
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
        ++node.associations;
        try {
            std::thread([association, config] {
                {
                    Receiver receiver(*theNode);
                    receiver.setSharedConfig(config);
                    receiver.run(association);
                }
                --theNode->associations;
            }).detach();
        } catch (const std::system_error& error) {
            --node.associations;
            node.log(std::string("association refused: no thread for it: ") + error.what());
            ASC_dropAssociation(association);
            ASC_destroyAssociation(&association);
        }
    }
}

}  // namespace trevik::dicom
