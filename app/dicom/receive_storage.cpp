#include "app/dicom/receive_storage.h"

#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcvrlo.h>
#include <dcmtk/dcmnet/diutil.h>
#include <dcmtk/dcmnet/scpthrd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "app/dicom/received_object.h"
#include "writer/dicom/nm_object.h"
#include "writer/gsd/gsd_writer.h"

namespace trevik::dicom {

namespace {

constexpr std::size_t kMostComment = 64;  // Error Comment is LO
constexpr Uint16 kSuccess = 0x0000;
constexpr Uint16 kOutOfResources = 0xA700;
constexpr Uint16 kCannotUnderstand = 0xC000;

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
Outcome storeObject(ReceiveNode& node, std::unique_ptr<DcmDataset> received, E_TransferSyntax syntax) {
    Outcome outcome;
    const ReceiveSettings& settings = node.settings();
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
    explicit StorageProvider(ReceiveNode& node) : node_(node) {}

protected:
    void notifyAssociationRequest(const T_ASC_Parameters& params, DcmSCPActionType& action) override {
        const std::string calling = trimmedTitle(params.DULparams.callingAPTitle);
        const std::string called = trimmedTitle(params.DULparams.calledAPTitle);
        address_ = params.DULparams.callingPresentationAddress;
        if (const std::size_t colon = address_.rfind(':'); colon != std::string::npos) address_.resize(colon);
        peer_ = calling + "@" + address_;
        const Admission admission = node_.admit(calling, called, address_);
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
            end_ = "aborted: nothing received for " + std::to_string(ReceiveNode::kDimseSeconds) + " s";
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
        return receiveObject(message->msg.CStoreRQ, info);
    }

private:
    // One C-STORE: the object received whole, stored, answered.
    OFCondition receiveObject(T_DIMSE_C_StoreRQ& request, const DcmPresentationContextInfo& info) {
        const std::string what = "object " + std::string(request.AffectedSOPInstanceUID) + " from " + peer_;
        if (node_.stopping()) {
            node_.log(what + " not received: the node is stopping (association aborted)");
            ++failed_;
            return makeOFCondition(0, 1, OF_error, "the node is stopping");
        }
        node_.objectStarts();
        struct Landed {
            ReceiveNode& node;
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
            detail.putAndInsertString(DCM_ErrorComment, errorComment(outcome.comment).c_str());
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

    ReceiveNode& node_;
    std::string address_, peer_, refusal_;
    std::string end_ = "ended";
    bool wrongCalled_ = false, notAllowed_ = false, accepted_ = false;
    bool receiving_ = false, tooLarge_ = false;
    int stored_ = 0, failed_ = 0;
};

}  // namespace

void serveAssociation(ReceiveNode& node, T_ASC_Association* association, const DcmSharedSCPConfig& config) {
    StorageProvider provider(node);
    provider.setSharedConfig(config);
    provider.run(association);
}

}  // namespace trevik::dicom
