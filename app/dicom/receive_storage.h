// The storage service provider of the receiving node: one association on
// DCMTK's DcmThreadSCP, its C-ECHO and C-STORE requests, and what becomes
// of each object received (received into a file as it came, kept with
// --keep, converted through the conversion flow, written into the inbox).
#pragma once

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmnet/assoc.h>
#include <dcmtk/dcmnet/scpcfg.h>

#include <string>

#include "app/dicom/receive_node.h"

namespace trevik::dicom {

// Serves the `association` received on this process's connection to its
// end, with the node's shared configuration; `commonName` is that of the
// peer's TLS certificate (empty without TLS). The association is the
// provider's from here on.
void serveAssociation(ReceiveNode& node, T_ASC_Association* association, const DcmSharedSCPConfig& config,
                      const std::string& commonName);

}  // namespace trevik::dicom
