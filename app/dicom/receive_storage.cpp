#include "app/dicom/receive_storage.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcvrlo.h>
#include <dcmtk/dcmnet/diutil.h>
#include <dcmtk/dcmnet/scpthrd.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "app/dicom/receive_commitment.h"
#include "app/dicom/receive_contexts.h"
#include "app/dicom/receive_plan.h"
#include "app/dicom/receive_supervisor.h"
#include "app/dicom/received_object.h"
#include "app/inspect/qc_pictures.h"
#include "reader/dicom/nesting.h"
#include "reader/dicom/object_read.h"
#include "writer/dicom/nm_object.h"
#include "writer/gsd/gsd_writer.h"

namespace trevik::dicom {

namespace {

constexpr std::size_t kMostComment = 64;  // Error Comment is LO
constexpr Uint16 kSuccess = 0x0000;
constexpr Uint16 kOutOfResources = 0xA700;
constexpr Uint16 kCannotUnderstand = 0xC000;
constexpr const char* kNoMemoryWords = "not enough memory for one association (--max-memory)";
// The base of the names of an object that cannot be read.
constexpr const char* kUnknownBase = "unknown_unknown_unknown_unknown";

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

// The words of a failed write, naming a read-only folder as such.
std::string writeWords(const Status& status) {
    const int error = status.where.error;
    if (error == EROFS || error == EACCES || error == EPERM) return "the folder is read-only for the node (" + errorWords(status) + ")";
    return errorWords(status);
}

// The words of a file of the set that could not get its name: a folder
// at that name refuses the object.
std::string nameWords(const ReceiveNode& node, const InstanceFiles& files, const Status& status) {
    if (!files.refused().empty()) return files.refused() + " is a folder, which is not replaced";
    if (const std::string removed = node.folders().removed(); !removed.empty()) return removed;
    if (files.syncFailed()) return "cannot sync to the disk: " + errorWords(status);
    return writeWords(status);
}

// The log's note of what the set's names held before: a resend replaces.
std::string changed(const InstanceFiles& files) {
    const std::string words = files.changes();
    return words.empty() ? std::string() : " (" + words + ")";
}

Outcome failure(Uint16 status, const std::string& comment, const std::string& done = {}) {
    return {status, comment, done + "not stored: " + comment};
}

// Writes the .gsd files of a readable object, each of the planned windows
// and intervals, into the instance's set `files` (with --qc and
// --qc-pictures, the quality control of each); `written` names them. A
// conversion that fails ends it with that status.
Status writeStudies(ReceiveNode& node, DcmDataset& dataset, InstanceFiles& files, const std::string& calling,
                    std::string& written, bool& cannotWrite) {
    const ReceiveSettings& settings = node.settings();
    // The object is read once; each window is converted from that read.
    const std::unique_ptr<ObjectRead> read(new ObjectRead());
    if (Status s = readObject(dataset, *read); !s.ok()) return s;
    const Acquisition& acquisition = read->facts.acquisition;
    for (const PlannedGsd& planned : planReceived(acquisition, choiceFor(settings, calling), codedNuclide(acquisition))) {
        std::unique_ptr<Study> study(new Study());
        if (Status s = convertReceived(dataset, *read, *study, planned.choice); !s.ok()) return s;
        const std::string gsd = planned.suffix + ".gsd";
        {
            NewFile file(node.folders().inbox(), "writing");
            Status s = file.path().empty() ? statusOf(Reason::CannotWrite, file.error())
                                           : writeGsd(file.path().c_str(), *study);
            if (s.ok()) s = files.give(file, gsd);
            if (!s.ok()) {
                cannotWrite = true;
                return s;
            }
        }
        written += std::string(written.empty() ? "" : ", ") + files.name() + gsd;
        if (!settings.qc && !settings.qcPictures) continue;
        inspect::Inspection ins;
        ins.path = files.name() + gsd;
        std::string words;
        checkReceived(*study, planned.choice.energyWindow, ins, words);
        if (settings.qc) node.log("qc " + files.name() + gsd + ": " + words);
        if (!settings.qcPictures) continue;
        const std::string png = planned.suffix + ".qc.png";
        NewFile picture(node.folders().inbox(), "writing");
        std::string line;
        const std::string problem =
            picture.path().empty() ? std::string(std::strerror(picture.error()))
                                   : inspect::writeQcPicture(qc::PictureKind::Png, picture.path(), ins, line);
        if (!problem.empty()) {
            node.log("qc page " + files.name() + png + " not written: " + problem);
        } else if (Status s = files.give(picture, png); !s.ok()) {
            cannotWrite = true;
            return s;
        }
    }
    return {};
}

// Keeps (with --keep), converts and writes one object received into the
// file `received` from `calling`, as the files of its instance.
Outcome storeObject(ReceiveNode& node, NewFile& received, const std::string& instanceUid,
                    const std::string& calling) {
    const ReceiveSettings& settings = node.settings();
    try {
        // Why the object cannot be read at all, before any conversion.
        std::string refusal;
        // Sequences nested past what DCMTK's recursive parser survives are
        // refused by a scan of the raw bytes first, as are deflated data
        // sets that inflate past this association's memory.
        const Status nesting = checkNestingOfFile(received.path().c_str(), settings.memoryPerAssociation());
        if (!nesting.ok()) refusal = statusWords(nesting);
        DcmFileFormat file;
        if (refusal.empty()) {
            noteRead(ReadStep::Parse);
            const OFCondition loaded = file.loadFile(received.path().c_str());
            if (loaded == EC_MemoryExhausted)
                refusal = kNoMemoryWords;
            else if (loaded.bad())
                refusal = std::string("cannot be read: ") + loaded.text();
        }
        DcmDataset& dataset = *file.getDataset();
        InstanceFiles files;
        Status status =
            files.open(node.folders(), refusal.empty() ? receivedBaseName(dataset) : kUnknownBase, instanceUid);
        if (!status.ok()) return failure(kOutOfResources, "cannot write to the inbox: " + writeWords(status));
        std::string words;
        if (!settings.keep.empty()) {
            // DCMTK reads the data set from the received file as the
            // conversion needs it: the data set is loaded whole first.
            if (refusal.empty() && file.loadAllDataIntoMemory().bad()) refusal = kNoMemoryWords;
            status = files.give(received, ".dcm");
            if (!status.ok())
                return failure(kOutOfResources, "cannot keep the object: " + nameWords(node, files, status));
            words = "kept as " + files.name() + ".dcm, ";
        }
        if (!refusal.empty()) {
            if (Status synced = files.keepOnly(); !synced.ok())
                return failure(kOutOfResources, "cannot sync the kept object: " + errorWords(synced));
            return {kCannotUnderstand, refusal, words + "not converted: " + refusal + changed(files)};
        }
        std::string written;
        bool cannotWrite = false;
        const Status converted = writeStudies(node, dataset, files, calling, written, cannotWrite);
        if (!converted.ok()) files.abandon();
        if (cannotWrite && files.syncFailed()) return failure(kOutOfResources, nameWords(node, files, converted));
        if (cannotWrite)
            return failure(kOutOfResources, "cannot write to the inbox: " + nameWords(node, files, converted), words);
        if (!converted.ok()) {
            // Memory is that of one association, and the same object would
            // need the same again: not a reason to try later.
            const std::string comment = converted.code == kNoMemory ? kNoMemoryWords : statusWords(converted);
            return {kCannotUnderstand, comment, words + "not converted: " + comment};
        }
        if (Status synced = files.finish(); !synced.ok())
            return failure(kOutOfResources, "cannot sync to the disk: " + errorWords(synced));
        return {kSuccess, {}, words + "stored as " + written + changed(files)};
    } catch (const std::bad_alloc&) {
        return failure(kCannotUnderstand, kNoMemoryWords);
    }
}

// The Error Comment of a response: printable ASCII without backslashes, at
// most the 64 characters of an LO.
std::string errorComment(std::string comment) {
    for (char& c : comment)
        if (c == '\\' || static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '?';
    if (comment.size() > kMostComment) comment.resize(kMostComment);
    return comment;
}

// One association: who calls, whether the node admits them, and what they
// store.
class StorageProvider : public DcmThreadSCP {
public:
    StorageProvider(ReceiveNode& node, std::string commonName) : node_(node), commonName_(std::move(commonName)) {}

protected:
    void notifyAssociationRequest(const T_ASC_Parameters& params, DcmSCPActionType& action) override {
        const std::string calling = trimmedTitle(params.DULparams.callingAPTitle);
        const std::string called = trimmedTitle(params.DULparams.calledAPTitle);
        calling_ = calling;
        address_ = params.DULparams.callingPresentationAddress;
        if (const std::size_t colon = address_.rfind(':'); colon != std::string::npos) address_.resize(colon);
        peer_ = calling + "@" + address_;
        askedCommitment_ = proposesCommitment(params);
        const Admission admission = node_.admit(calling, called, address_, commonName_);
        refusal_ = admission.refusal;
        switch (admission.verdict) {
        case Admission::Verdict::Admit: break;
        case Admission::Verdict::Stopping: action = DCMSCP_ACTION_REFUSE_ASSOCIATION; break;
        case Admission::Verdict::WrongCalled: wrongCalled_ = true; break;
        case Admission::Verdict::NotAllowed: notAllowed_ = true; break;
        }
    }
    OFBool checkCalledAETitleAccepted(const OFString&) override { return !wrongCalled_; }
    OFBool checkCallingAETitleAccepted(const OFString&) override { return !notAllowed_; }
    void refuseAssociation(const DcmRefuseReasonType reason) override {
        std::string why = refusal_;
        const bool noKeep = askedCommitment_ && node_.settings().keep.empty();
        if (why.empty())
            why = reason == DCMSCP_NO_PRESENTATION_CONTEXTS
                      ? "it offered neither NM Image Storage nor Verification in a transfer syntax taken here" +
                            std::string(noKeep ? " (Storage Commitment is taken with --keep only)" : "")
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
        else if (connectionTimedOut())
            end_ = "ended: past a deadline (--object-timeout or --association-timeout)";
        else if (connectionStopping())
            end_ = "ended: the node is stopping";
        else if (condition == DIMSE_NODATAAVAILABLE)
            end_ = "aborted: nothing received for " + std::to_string(node_.settings().idleSeconds) + " s (--idle-timeout)";
        else
            end_ = std::string("aborted: ") + condition.text();
    }
    // Called as each part of an object's data set arrives: past the limit,
    // the association is aborted, which ends the receive at once.
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
        if (message->CommandField == DIMSE_N_ACTION_RQ) return answerCommitment(message->msg.NActionRQ, info);
        if (message->CommandField != DIMSE_C_STORE_RQ) return DcmThreadSCP::handleIncomingCommand(message, info);
        return receiveObject(message->msg.CStoreRQ, info);
    }

private:
    // A storage commitment request: answered at once, reported later.
    OFCondition answerCommitment(T_DIMSE_N_ActionRQ& request, const DcmPresentationContextInfo& info) {
        DcmDataset* data = nullptr;
        Uint16 type = 0;
        if (request.DataSetType != DIMSE_DATASET_NULL) {
            const OFCondition received = receiveACTIONRequest(request, info.presentationContextID, data, type);
            if (received.bad()) return received;
        }
        std::unique_ptr<DcmDataset> owned(data);
        CommitmentAnswer answer = checkCommitment(node_, request, info.abstractSyntax.c_str(), data, calling_, peer_);
        const OFCondition sent =
            sendACTIONResponse(info.presentationContextID, request.MessageID, UID_StorageCommitmentPushModelSOPClass,
                               UID_StorageCommitmentPushModelSOPInstance, answer.status);
        startCommitmentReport(node_, answer, sent.good());
        return sent;
    }

    // One C-STORE: the object received into a file as it came, stored,
    // answered.
    OFCondition receiveObject(T_DIMSE_C_StoreRQ& request, const DcmPresentationContextInfo& info) {
        // An object the node takes but cannot convert says what it is.
        const std::string context = contextWords(request.AffectedSOPClassUID);
        const std::string what = "object " + std::string(request.AffectedSOPInstanceUID) +
                                 (context.empty() ? "" : " " + context) + " from " + peer_;
        if (node_.stopping()) {
            node_.log(what + " not received: the node is stopping (association aborted)");
            ++failed_;
            return makeOFCondition(0, 1, OF_error, "the node is stopping");
        }
        connectionBusy(true);
        const ReceiveSettings& settings = node_.settings();
        NewFile received(node_.folders().of(!settings.keep.empty()), "receiving");
        if (received.path().empty()) {
            const std::string removed = node_.folders().removed();
            node_.log(what + " not received: no file to receive it into: " +
                      (removed.empty() ? writeWords(statusOf(Reason::CannotWrite, received.error())) : removed) +
                      " (association aborted)");
            ++failed_;
            connectionBusy(false);
            return makeOFCondition(0, 3, OF_error, "no file to receive into");
        }
        receiving_ = true;
        connectionDeadline(settings.objectSeconds);
        OFCondition condition = receiveSTORERequest(request, info.presentationContextID, OFString(received.path().c_str()));
        connectionDeadline(0);
        receiving_ = false;
        if (tooLarge_ || connectionTimedOut() || condition.bad()) {
            node_.log(what + " not received: " +
                      (tooLarge_ ? "larger than " + std::to_string(settings.maxObjectBytes >> 20) +
                                       " MiB (--max-object-size); association aborted"
                       : connectionTimedOut() ? "not whole within " + std::to_string(settings.objectSeconds) +
                                                    " s (--object-timeout); association aborted"
                                              : std::string(condition.text())));
            ++failed_;
            connectionBusy(false);
            return condition.bad() ? condition : makeOFCondition(0, 2, OF_error, "object not received");
        }
        const Outcome outcome = storeObject(node_, received, request.AffectedSOPInstanceUID, calling_);
        DcmDataset detail;
        DcmDataset* statusDetail = nullptr;
        if (!outcome.comment.empty()) {
            detail.putAndInsertString(DCM_ErrorComment, errorComment(outcome.comment).c_str());
            statusDetail = &detail;
        }
        condition = sendSTOREResponse(info.presentationContextID, request.MessageID, request.AffectedSOPClassUID,
                                      request.AffectedSOPInstanceUID, outcome.status, statusDetail);
        connectionBusy(false);
        char code[8];
        std::snprintf(code, sizeof code, "0x%04X", outcome.status);
        if (outcome.status == kSuccess && condition.good())
            ++stored_;
        else
            ++failed_;
        node_.log(what + ": " + outcome.words + " (status " + code + ")" +
                  (condition.bad() ? std::string("; the response was not sent: ") + condition.text() : ""));
        if (condition.good() && node_.stopping()) {
            end_ = "ended: the node is stopping";
            return makeOFCondition(0, 1, OF_error, "the node is stopping");
        }
        return condition;
    }

    ReceiveNode& node_;
    const std::string commonName_;
    std::string calling_, address_, peer_, refusal_;
    std::string end_ = "ended";
    bool wrongCalled_ = false, notAllowed_ = false, accepted_ = false;
    bool receiving_ = false, tooLarge_ = false, askedCommitment_ = false;
    int stored_ = 0, failed_ = 0;
};

}  // namespace

void serveAssociation(ReceiveNode& node, T_ASC_Association* association, const DcmSharedSCPConfig& config,
                      const std::string& commonName) {
    StorageProvider provider(node, commonName);
    provider.setSharedConfig(config);
    provider.run(association);
}

}  // namespace trevik::dicom
