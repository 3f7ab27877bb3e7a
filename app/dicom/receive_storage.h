// The storage service provider of the receiving node: one association on
// DCMTK's DcmThreadSCP, its C-ECHO and C-STORE requests, and what becomes
// of each object received (kept with --keep, converted through the
// conversion flow, written into the inbox).
#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/scpcfg.h>

#include "app/dicom/receive_node.h"

namespace trevik::dicom {

// Serves the accepted `association` to its end, with the node's shared
// configuration; the association is the provider's from here on.
void serveAssociation(ReceiveNode& node, T_ASC_Association* association, const DcmSharedSCPConfig& config);

}  // namespace trevik::dicom
