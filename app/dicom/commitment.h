// Storage commitment of the receiving node: what a requester's N-ACTION
// asks (read and checked field by field), whether each instance asked for
// is held, and the N-EVENT-REPORT that answers it.
//
// An instance is held when the keep folder has its object, kept byte for
// byte as it was received: a regular file (never reached through a
// symbolic link) named BASE-DIGEST.dcm or BASE-DIGEST-N.dcm, DIGEST that of
// the instance's UID, whose own data set carries the same SOP Instance UID
// and SOP Class UID, and which is on the disk (synced, with its folder)
// before it is reported as committed. Nothing else is consulted, so a
// commitment asked after the node restarted is answered alike.
#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdatset.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace trevik::dicom {

// The Failure Reasons of the Failed SOP Sequence (0 here: committed).
inline constexpr std::uint16_t kCommitted = 0x0000;
inline constexpr std::uint16_t kProcessingFailure = 0x0110;
inline constexpr std::uint16_t kNoSuchInstance = 0x0112;
inline constexpr std::uint16_t kClassInstanceConflict = 0x0119;

// The most instances one request may name.
inline constexpr std::size_t kMostCommitted = 10000;

struct CommittedInstance {
    std::string classUid, instanceUid;
    std::uint16_t reason = kCommitted;  // what the lookup found
};

struct CommitmentRequest {
    std::string transactionUid;
    std::vector<CommittedInstance> instances;
};

// A UID as DICOM writes it: 1 to 64 characters, numbers separated by dots,
// no number with a leading zero.
bool validUid(const std::string& uid);

// Reads the data set of an N-ACTION (Transaction UID, Referenced SOP
// Sequence with both UIDs in every item): 0 when it is whole, else the
// N-ACTION's failure status (0x0120 a missing attribute, 0x0121 an empty
// one, 0x0115 a value that is no UID, 0x0213 more than kMostCommitted
// instances) with `error` saying what.
std::uint16_t readCommitmentRequest(DcmDataset* data, CommitmentRequest& request, std::string& error);

// The kept objects of one keep folder, opened once as a directory: each
// instance's reason set by what the folder holds now.
class KeptObjects {
public:
    explicit KeptObjects(const std::string& folder);
    ~KeptObjects();
    KeptObjects(const KeptObjects&) = delete;
    KeptObjects& operator=(const KeptObjects&) = delete;

    // False (with errno's words in `error`) when the folder cannot be opened.
    bool open(std::string& error) const;
    // Sets the reason of every instance of `request`; the objects found are
    // synced, then the folder: a sync that fails fails them (0x0110).
    void commit(CommitmentRequest& request);

private:
    std::uint16_t lookUp(const CommittedInstance& instance);
    int folder_ = -1;
    int error_ = 0;
    std::map<std::string, std::vector<std::string>> byDigest_;  // digest -> names in the folder
};

// The Event Type ID of the report (1: every instance committed, 2: some
// failed) and its data set: the Transaction UID, the Referenced SOP
// Sequence of those committed, the Failed SOP Sequence of the others with
// their Failure Reason.
std::uint16_t buildCommitmentReport(const CommitmentRequest& request, DcmDataset& report);

}  // namespace trevik::dicom
