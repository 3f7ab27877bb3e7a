// Storage commitment (push model) on the receiving node, as the service
// provider: the presentation context (with --keep only: a .gsd cannot
// give the camera its object back), the N-ACTION answered at once, and
// the N-EVENT-REPORT sent on an association of the node's own to the
// requester's --peer address.
//
// The report is sent by a process of its own, forked by the association's
// process once the N-ACTION is answered, so that neither the association
// nor the node waits for a requester that is away: it looks the instances
// up in the keep folder (commitment.h), syncs them, and delivers the
// report, retried kRetries times over about five minutes, then logged as
// lost. It ends with the node. At most kMostReporters run at once.
#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/dimse.h>
#include <dcmtk/dcmnet/scpcfg.h>

#include <string>
#include <vector>

#include "app/dicom/commitment.h"
#include "app/dicom/receive_options.h"

namespace trevik::dicom {

class ReceiveNode;

inline constexpr int kRetries = 3;
inline constexpr int kMostReporters = 16;

// Offers the Storage Commitment Push Model context when the node keeps
// objects; false when DCMTK refuses it.
bool addCommitmentContext(DcmSharedSCPConfig& config, const ReceiveSettings& settings);

// The start's line on storage commitment (empty without --keep).
std::string commitmentAnnouncement(const ReceiveSettings& settings);

// Whether an association request proposes the Storage Commitment context
// (for the words of its refusal without --keep).
bool proposesCommitment(const T_ASC_Parameters& params);

// --peer AET=HOST:PORT at args[i]: 0 when taken, the exit code of a usage
// error, or -1 when args[i] is not one.
int takePeerOption(const std::vector<std::string>& args, std::size_t& i, ReceiveSettings& settings);

// What the node answers to one N-ACTION, and what it reports later.
struct CommitmentAnswer {
    Uint16 status = 0;
    CommitmentRequest request;
    Peer peer;
    int slot = -1;  // the reporter's place among kMostReporters
};

// Checks an N-ACTION from `calling` (`who` in the log) that came on the
// context of `abstractSyntax`, with its data set `data` (null when none
// came): the answer's status, logged with its reason when it fails.
CommitmentAnswer checkCommitment(ReceiveNode& node, const T_DIMSE_N_ActionRQ& request,
                                 const std::string& abstractSyntax, DcmDataset* data, const std::string& calling,
                                 const std::string& who);

// After the N-ACTION's answer (`answered`: it was sent): starts the
// process that reports when the answer was a success.
void startCommitmentReport(ReceiveNode& node, CommitmentAnswer& answer, bool answered);

}  // namespace trevik::dicom
