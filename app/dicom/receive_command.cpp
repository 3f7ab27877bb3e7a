// trevik-dicom receive: a DICOM node that cameras and PACS send gated SPECT
// studies to. Each NM object received by C-STORE is converted as
// `trevik-dicom import` converts a file and written as a .gsd file into
// the inbox the analysis program reads; the C-STORE response says success
// only once that file is complete there.
//
// The command is a thin main: its options (receive_options), the node that
// listens, admits and stops (receive_node), the storage service provider
// that serves each association (receive_storage).
#include "app/dicom/command.h"
#include "app/dicom/receive_node.h"
#include "app/dicom/receive_options.h"

namespace trevik::dicom {

int receiveCommand(const std::vector<std::string>& args) {
    ReceiveSettings settings;
    if (const int code = readReceiveOptions(args, settings); code != 0) return code;
    // The associations' threads use the node until the process ends.
    static ReceiveNode node(std::move(settings));
    return node.run();
}

}  // namespace trevik::dicom
