// The command line of `trevik-dicom receive`: what the node is, where it
// writes, who may store, and its limits.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace trevik::dicom {

// A calling AE title that may store, from any host or from the addresses
// its host name had at start; or (cn=NAME) a peer whose TLS certificate,
// signed by the --tls-ca authority, has that common name, whatever AE title
// it gives.
struct Caller {
    std::string title;
    std::string host;
    std::set<std::string> addresses;
    std::string commonName;
};

// A requester of storage commitment (--peer AET=HOST:PORT): where the
// reports of the commitments that AE title asks for go (HOST resolved once,
// at start, to one IPv4 address).
struct Peer {
    std::string title;
    std::string address;
    std::uint16_t port = 0;
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
    in_addr listen{};  // INADDR_ANY unless --listen names one address
    std::string inbox;
    std::string keep;
    std::vector<Caller> allowed;
    int maxAssociations = 8;
    int maxPerHost = 4;
    // All associations together stay within this (each one's process gets
    // maxMemoryMiB / maxAssociations).
    int maxMemoryMiB = 1024;
    unsigned long long maxObjectBytes = static_cast<unsigned long long>(kDefaultObjectMiB) << 20;
    // Deadlines, in seconds: nothing received within an association; one
    // object from its request to its last byte (64 MiB at 1 Mbit/s takes
    // about 540 s); a whole association.
    int idleSeconds = 60;
    int objectSeconds = 900;
    int associationSeconds = 7200;
    // DICOM TLS: all three, or none.
    std::string tlsKey, tlsCert, tlsCa;
    // The energy window and R-R interval taken out of an object with
    // several (--energy-window N, --rr-interval N; 0: every photopeak
    // window, every interval, each into a file of its own), and those of
    // particular calling AE titles (--energy-window AET=N).
    int energyWindow = 0, rrInterval = 0;
    std::map<std::string, int> windowOf, intervalOf;
    // --qc: the quality control's verdict of each .gsd in the log;
    // --qc-pictures: its page beside the .gsd.
    bool qc = false, qcPictures = false;
    // --peer: the requesters of storage commitment, by AE title.
    std::map<std::string, Peer> peers;
    // Each stored set synced to the disk before the answer; off only with
    // --unsafe-no-sync.
    bool sync = true;

    unsigned long long memoryPerAssociation() const {
        return (static_cast<unsigned long long>(maxMemoryMiB) << 20) / static_cast<unsigned>(maxAssociations);
    }
};

// The window and interval the options take for objects from `calling`
// (0: every one).
struct ChoiceFor {
    int energyWindow = 0;
    int rrInterval = 0;
};
ChoiceFor choiceFor(const ReceiveSettings& settings, const std::string& calling);

// Reads receive's arguments into `settings`, makes a missing inbox or keep
// folder (mode 2770, set_folders.h) and checks that its folders can be
// written: 0 when the node may start, else the exit code once the
// message is on standard error (2 for a wrong command line, 1 for a folder
// the node cannot write into).
int readReceiveOptions(const std::vector<std::string>& args, ReceiveSettings& settings);

// An AE title as it came in a request or on the command line, without its
// leading and trailing spaces.
std::string trimmedTitle(const char* text);

}  // namespace trevik::dicom
