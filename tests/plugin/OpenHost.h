// A host with the component built and COM1 open on a fresh line of the
// null-modem rig; the open's notification already taken.
#pragma once

#include <doctest/doctest.h>

#include "plugin/TestHost.h"
#include "support/PeerClient.h"

struct OpenHost {
    PeerClient peer;
    TestHost host;
    explicit OpenHost(int baud = 9600, TestHost::Loop loop = TestHost::Loop::Thread) {
        host.loop = loop;
        REQUIRE(peer.Attach(1));
        REQUIRE(host.Adopt());
        host.plugin.SetData(baud);
        host.plugin.Call("setbaudrate");
        host.plugin.Call("open");
        REQUIRE(host.WaitNotifications(1));
        REQUIRE(host.received[0].text == "sts#Open#");
        host.received.clear();
        host.clicks = 0;
    }
};

// The data texts received from index `from` on continue the peer's pattern at
// `position`.
inline bool FollowsPattern(const TestHost& host, size_t from, long& position, int seed) {
    for (size_t k = from; k < host.received.size(); ++k) {
        const std::string& b = host.received[k].bytes;
        if (b.rfind("str#", 0) != 0 || b.size() < 6) return false; // "str##" tells nothing
        for (size_t i = 4; i + 1 < b.size(); ++i, ++position)
            if (static_cast<unsigned char>(b[i]) != PeerClient::PatternByte(seed, position))
                return false;
    }
    return true;
}

// Pumps until `total` bytes of the peer's pattern have come in the data texts
// from index `from` on, a byte is out of place, or timeoutMs has passed.
// Answers whether every byte so far was in place; `position` counts them.
inline bool FollowStream(TestHost& host, size_t from, long total, int seed, DWORD timeoutMs,
                         long& position) {
    position = 0;
    bool ordered = true;
    DWORD deadline = GetTickCount() + timeoutMs;
    while (ordered && (position < total) && static_cast<LONG>(deadline - GetTickCount()) > 0) {
        host.Pump(10);
        ordered = FollowsPattern(host, from, position, seed);
        from = host.received.size();
    }
    return ordered;
}
