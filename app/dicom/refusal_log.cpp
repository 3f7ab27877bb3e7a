#include "app/dicom/refusal_log.h"

namespace trevik::dicom {

namespace {

// The key of the peers past kMostPeers.
const std::string kOthers = "other addresses";

}  // namespace

void RefusalLog::summarise(const std::string& address, Peer& peer, Clock::time_point now) {
    log_(std::to_string(peer.counted) + " more line(s) about " + address +
         " in the last minute, not written (the last: " + peer.last + ")");
    peer.since = now;
    peer.counted = 0;
    peer.last.clear();
}

void RefusalLog::add(const std::string& address, const std::string& line, Clock::time_point now) {
    auto found = peers_.find(address);
    if (found == peers_.end() && peers_.size() >= kMostPeers) found = peers_.find(kOthers);
    if (found == peers_.end()) {
        const std::string& key = peers_.size() >= kMostPeers ? kOthers : address;
        peers_[key] = Peer{now, 0, {}};
        log_(line);
        return;
    }
    Peer& peer = found->second;
    if (now - peer.since < kWindow) {
        ++peer.counted;
        peer.last = line;
        return;
    }
    if (peer.counted > 0) {
        // The summary of the minute over takes this minute's line.
        ++peer.counted;
        peer.last = line;
        summarise(found->first, peer, now);
        return;
    }
    peer.since = now;
    log_(line);
}

void RefusalLog::flush(Clock::time_point now) {
    for (auto it = peers_.begin(); it != peers_.end();) {
        Peer& peer = it->second;
        if (now - peer.since < kWindow) {
            ++it;
        } else if (peer.counted > 0) {
            summarise(it->first, peer, now);
            ++it;
        } else {
            it = peers_.erase(it);
        }
    }
}

}  // namespace trevik::dicom
