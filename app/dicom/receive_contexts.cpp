#include "app/dicom/receive_contexts.h"

#include <dcmtk/dcmdata/dcuid.h>

#include <algorithm>
#include <iterator>
#include <set>

namespace trevik::dicom {

namespace {

const char* const kUncompressed[] = {UID_LittleEndianExplicitTransferSyntax, UID_BigEndianExplicitTransferSyntax,
                                     UID_LittleEndianImplicitTransferSyntax};
// Compressed NM objects only in the syntaxes the reader decodes: the
// lossless JPEG, JPEG-LS and RLE syntaxes and JPEG 2000 (its reversible
// wavelet; a lossy codestream or an object flagged lossy is refused with
// its reason, and --keep keeps it). A deflated data set is written to a
// file as it came and inflated when read, under the association's memory
// limit.
const char* const kDecoded[] = {UID_JPEGProcess14SV1TransferSyntax, UID_JPEGProcess14TransferSyntax,
                                UID_JPEGLSLosslessTransferSyntax,   UID_RLELosslessTransferSyntax,
                                UID_JPEG2000LosslessOnlyTransferSyntax, UID_JPEG2000TransferSyntax,
                                UID_DeflatedExplicitVRLittleEndianTransferSyntax};
// The lossy-only syntaxes: taken for the other SOP classes only (an NM
// object's counts in them are no longer the camera's; a sender that offers
// NM in them and in another gets the other).
const char* const kLossy[] = {UID_JPEGProcess1TransferSyntax, UID_JPEGProcess2_4TransferSyntax,
                              UID_JPEGLSLossyTransferSyntax};

// DCMTK's list of an acceptor's contexts holds 128; NM and Verification
// take two.
constexpr int kMostOthers = 126;

template <std::size_t N>
bool holds(const char* const (&list)[N], const std::string& uid) {
    return std::any_of(std::begin(list), std::end(list), [&](const char* each) { return uid == each; });
}

// "NAME (UID)", or the UID alone when DCMTK knows no name for it.
std::string nameOf(const std::string& uid) {
    const char* name = dcmFindNameOfUID(uid.c_str(), nullptr);
    return name ? std::string(name) + " (" + uid + ")" : uid;
}

}  // namespace

bool addContexts(DcmSharedSCPConfig& config) {
    OFList<OFString> uncompressed, nm, every;
    for (const char* syntax : kUncompressed) uncompressed.push_back(syntax), nm.push_back(syntax), every.push_back(syntax);
    for (const char* syntax : kDecoded) nm.push_back(syntax), every.push_back(syntax);
    for (const char* syntax : kLossy) every.push_back(syntax);
    bool added = config->addPresentationContext(UID_NuclearMedicineImageStorage, nm).good() &&
                 config->addPresentationContext(UID_VerificationSOPClass, uncompressed).good();
    // The storage SOP classes senders commonly offer, as many as an
    // acceptor's list holds after NM and Verification.
    int others = 0;
    for (int i = 0; added && i < numberOfDcmLongSCUStorageSOPClassUIDs && others < kMostOthers; ++i)
        if (std::string(dcmLongSCUStorageSOPClassUIDs[i]) != UID_NuclearMedicineImageStorage)
            added = config->addPresentationContext(dcmLongSCUStorageSOPClassUIDs[i], every).good(), ++others;
    return added;
}

std::string contextWords(const std::string& sopClass) {
    return sopClass == UID_NuclearMedicineImageStorage ? std::string() : "of SOP class " + nameOf(sopClass);
}

std::string offeredWords(T_ASC_Parameters* params) {
    std::set<std::string> syntaxes;
    const int count = ASC_countPresentationContexts(params);
    for (int i = 0; i < count; ++i) {
        T_ASC_PresentationContext context{};
        if (ASC_getPresentationContext(params, i, &context).bad() ||
            std::string(context.abstractSyntax) != UID_NuclearMedicineImageStorage)
            continue;
        for (int t = 0; t < context.transferSyntaxCount; ++t) {
            const std::string syntax = context.proposedTransferSyntaxes[t];
            if (holds(kUncompressed, syntax) || holds(kDecoded, syntax)) return {};
            syntaxes.insert(syntax);
        }
    }
    std::string words;
    for (const std::string& syntax : syntaxes)
        words += (words.empty() ? "" : ", ") + nameOf(syntax);
    return words.empty() ? words : "NM Image Storage offered only in " + words + ", not taken here";
}

}  // namespace trevik::dicom
