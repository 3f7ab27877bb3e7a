// The command line of `trevik-dicom receive`: what the node is, where it
// writes, who may store, and its limits.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace trevik::dicom {

// A calling AE title that may store, from any host or from the addresses
// its host name had at start.
struct Caller {
    std::string title;
    std::string host;
    std::set<std::string> addresses;
};

struct ReceiveSettings {
    // The largest object taken, in MiB, unless --max-object-size says less
    // or more: twice the largest uncompressed object the conversion reads
    // (8192 frames of 128 x 128 16-bit samples, 256 MiB), so nothing
    // convertible is refused while a sender cannot fill the node's memory
    // with one object.
    static constexpr int kDefaultObjectMiB = 512;

    std::string title;
    std::uint16_t port = 0;
    std::string inbox;
    std::string keep;
    std::vector<Caller> allowed;
    int maxAssociations = 4;
    unsigned long long maxObjectBytes = static_cast<unsigned long long>(kDefaultObjectMiB) << 20;
};

// Reads receive's arguments into `settings` and checks that its folders can
// be written: 0 when the node may start, else the exit code once the
// message is on standard error (2 for a wrong command line, 1 for a folder
// the node cannot write into).
int readReceiveOptions(const std::vector<std::string>& args, ReceiveSettings& settings);

// An AE title as it came in a request or on the command line, without its
// leading and trailing spaces.
std::string trimmedTitle(const char* text);

}  // namespace trevik::dicom
