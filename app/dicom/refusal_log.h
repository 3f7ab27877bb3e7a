// The node's lines about connections it has not identified (refused at
// once, refused by the allow list, or whose request never came whole):
// at most one line per peer address per minute, with a count of the rest,
// so that a peer that reconnects as fast as it is refused cannot fill the
// log.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <string>

namespace trevik::dicom {

class RefusalLog {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kWindow{60};
    // Peers remembered at once; those past it share one count.
    static constexpr std::size_t kMostPeers = 4096;

    explicit RefusalLog(std::function<void(const std::string&)> log) : log_(std::move(log)) {}

    // A line about `address`: written at once when no line of that address
    // was written in the last minute, else counted.
    void add(const std::string& address, const std::string& line, Clock::time_point now);
    // For each address whose minute is over: the count of the lines not
    // written in it, with the last of them (a line that starts the next
    // minute), or nothing when there were none.
    void flush(Clock::time_point now);

private:
    struct Peer {
        Clock::time_point since;
        long counted = 0;
        std::string last;
    };
    void summarise(const std::string& address, Peer& peer, Clock::time_point now);

    std::function<void(const std::string&)> log_;
    std::map<std::string, Peer> peers_;
};

}  // namespace trevik::dicom
