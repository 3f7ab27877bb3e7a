#include "app/dicom/receive_contexts.h"

#include <dcmtk/dcmdata/dcuid.h>

#include <algorithm>
#include <iterator>

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
// The lossy-only syntaxes: taken last, and refused by name (their counts
// are no longer the camera's).
const char* const kLossy[] = {UID_JPEGProcess1TransferSyntax, UID_JPEGProcess2_4TransferSyntax,
                              UID_JPEGLSLossyTransferSyntax};

// DCMTK's list of an acceptor's contexts holds 128; NM and Verification
// take two.
constexpr int kMostOthers = 126;

template <std::size_t N>
bool holds(const char* const (&list)[N], const std::string& uid) {
    return std::any_of(std::begin(list), std::end(list), [&](const char* each) { return uid == each; });
}

std::string named(const char* what, const std::string& uid) {
    const char* name = dcmFindNameOfUID(uid.c_str(), nullptr);
    return std::string(what) + " " + (name ? std::string(name) + " (" + uid + ")" : uid);
}

}  // namespace

bool addContexts(DcmSharedSCPConfig& config) {
    OFList<OFString> uncompressed, every;
    for (const char* syntax : kUncompressed) uncompressed.push_back(syntax), every.push_back(syntax);
    for (const char* syntax : kDecoded) every.push_back(syntax);
    for (const char* syntax : kLossy) every.push_back(syntax);
    bool added = config->addPresentationContext(UID_NuclearMedicineImageStorage, every).good() &&
                 config->addPresentationContext(UID_VerificationSOPClass, uncompressed).good();
    // The storage SOP classes senders commonly offer, as many as an
    // acceptor's list holds after NM and Verification.
    int others = 0;
    for (int i = 0; added && i < numberOfDcmLongSCUStorageSOPClassUIDs && others < kMostOthers; ++i)
        if (std::string(dcmLongSCUStorageSOPClassUIDs[i]) != UID_NuclearMedicineImageStorage)
            added = config->addPresentationContext(dcmLongSCUStorageSOPClassUIDs[i], every).good(), ++others;
    return added;
}

std::string contextWords(const std::string& sopClass, const std::string& transferSyntax) {
    if (sopClass != UID_NuclearMedicineImageStorage) return named("of SOP class", sopClass);
    if (holds(kLossy, transferSyntax)) return named("in the transfer syntax", transferSyntax);
    return {};
}

}  // namespace trevik::dicom
