// The node's lines about connections it has not identified: one per peer
// address a minute, the rest counted; the names of what it takes but does
// not convert.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/dicom/receive_contexts.h"
#include "app/dicom/refusal_log.h"

namespace trevik::dicom {
namespace {

using std::chrono::seconds;

TEST(RefusalLog, OneLinePerPeerAMinuteWithACountOfTheRest) {
    std::vector<std::string> lines;
    RefusalLog log([&](const std::string& line) { lines.push_back(line); });
    const RefusalLog::Clock::time_point t0{};
    for (int i = 0; i < 50; ++i) log.add("127.0.0.2", "refused " + std::to_string(i), t0 + seconds(i));
    log.add("127.0.0.3", "refused other", t0 + seconds(1));
    log.flush(t0 + seconds(59));
    EXPECT_EQ(lines, (std::vector<std::string>{"refused 0", "refused other"}));
    // The minute over: the count of the lines not written, with the last.
    log.flush(t0 + seconds(60));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], "49 more line(s) about 127.0.0.2 in the last minute, not written (the last: refused 49)");
    // That summary starts the next minute: nothing more within it.
    log.add("127.0.0.2", "refused again", t0 + seconds(61));
    log.flush(t0 + seconds(119));
    EXPECT_EQ(lines.size(), 3u);
    // A peer quiet for a minute is forgotten: its next line is written.
    log.flush(t0 + seconds(120));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[3], "1 more line(s) about 127.0.0.2 in the last minute, not written (the last: refused again)");
    log.flush(t0 + seconds(200));
    log.add("127.0.0.2", "refused late", t0 + seconds(201));
    EXPECT_EQ(lines.back(), "refused late");
    // A line after a counted minute, before a flush: the summary takes it.
    log.add("127.0.0.3", "refused other 2", t0 + seconds(202));
    log.add("127.0.0.3", "refused other 3", t0 + seconds(203));
    log.add("127.0.0.3", "refused other 4", t0 + seconds(290));
    EXPECT_EQ(lines.back(), "2 more line(s) about 127.0.0.3 in the last minute, not written (the last: refused other 4)");
}

TEST(RefusalLog, PeersPastTheBoundShareOneCount) {
    std::size_t written = 0;
    RefusalLog log([&](const std::string&) { ++written; });
    const RefusalLog::Clock::time_point t0{};
    for (std::size_t i = 0; i < RefusalLog::kMostPeers + 100; ++i)
        log.add("10." + std::to_string(i >> 16) + "." + std::to_string((i >> 8) & 255) + "." + std::to_string(i & 255),
                "refused", t0);
    EXPECT_EQ(written, RefusalLog::kMostPeers + 1);
}

TEST(ReceiveContexts, WhatTheNodeTakesButDoesNotConvertIsNamed) {
    EXPECT_EQ(contextWords("1.2.840.10008.5.1.4.1.1.20"), "");
    EXPECT_EQ(contextWords("1.2.840.10008.5.1.4.1.1.7"),
              "of SOP class SecondaryCaptureImageStorage (1.2.840.10008.5.1.4.1.1.7)");
    EXPECT_EQ(contextWords("1.2.3.4"), "of SOP class 1.2.3.4");
    DcmSharedSCPConfig config;
    EXPECT_TRUE(addContexts(config));
}

}  // namespace
}  // namespace trevik::dicom
