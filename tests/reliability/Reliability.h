// Shared checks of the reliability suite: received data against the peer's
// sequence pattern, and the closing proof that a host can go on after a fault
// (open, send, receive, close on a fresh line).
#pragma once

#include <doctest/doctest.h>

#include "plugin/TestHost.h"
#include "support/PeerClient.h"
#include <string>
#include <vector>

// Follows the data texts ("str#...#") that a host received, in order, against
// the pattern of one stream. Any byte out of place (lost, doubled, reordered
// or foreign), or a data text with no bytes at all, stops it: `ordered` turns
// false and stays so.
class PatternFollower {
  public:
    explicit PatternFollower(int seed, long start = 0) : seed_(seed), position_(start) {}

    // Takes the notifications not yet seen, up to index `end`; texts other
    // than data are skipped.
    void Take(const TestHost& host, size_t end = static_cast<size_t>(-1)) {
        if (end > host.received.size()) end = host.received.size();
        for (; next_ < end && ordered_; ++next_) {
            const std::string& b = host.received[next_].bytes;
            if (b.rfind("str#", 0) != 0) continue;
            if (b.size() < 6) ordered_ = false; // "str##" tells nothing
            for (size_t i = 4; i + 1 < b.size(); ++i, ++position_)
                if (static_cast<unsigned char>(b[i]) != PeerClient::PatternByte(seed_, position_)) {
                    ordered_ = false;
                    return;
                }
        }
    }
    // Forgets the texts received so far (they belonged to another stream).
    void SkipTo(const TestHost& host) { next_ = host.received.size(); }
    void SkipTo(size_t index) { next_ = index; }

    long position() const { return position_; }
    bool ordered() const { return ordered_; }

  private:
    int seed_;
    long position_;
    bool ordered_ = true;
    size_t next_ = 0;
};

// Pumps the host until `total` bytes of the pattern have come, a byte is out
// of place, or timeoutMs has passed.
inline bool ReceiveWhole(TestHost& host, PatternFollower& follower, long total,
                         DWORD timeoutMs = 120000) {
    DWORD deadline = GetTickCount() + timeoutMs;
    while (follower.ordered() && follower.position() < total &&
           static_cast<LONG>(deadline - GetTickCount()) > 0) {
        host.Pump(10);
        follower.Take(host);
    }
    return follower.ordered() && follower.position() == total;
}

// Pumps until the follower has passed `position` (or found a fault).
inline bool StreamPast(TestHost& host, PatternFollower& follower, long position) {
    return host.PumpUntil(
        [&] {
            follower.Take(host);
            return !follower.ordered() || follower.position() > position;
        },
        30000);
}

// Pumps until the newest notification is `text`.
inline bool WaitLast(TestHost& host, const std::string& text, DWORD timeoutMs = 5000) {
    return host.PumpUntil(
        [&] { return !host.received.empty() && host.received.back().text == text; }, timeoutMs);
}

// The end of every reliability case: after the fault the same host, with the
// same library, opens COM1 on a fresh line, sends, receives an exact stream
// and closes, each with its notification.
inline void CheckHostGoesOn(TestHost& host, PeerClient& peer, int seed = 99) {
    host.plugin.Call("Close");
    host.Pump(100);
    REQUIRE(peer.Attach(1));
    host.plugin.SetFile("COM1");
    host.plugin.Call("setport");
    host.plugin.SetData(115200);
    host.plugin.Call("setbaudrate");
    host.received.clear();
    host.plugin.Call("open");
    REQUIRE(WaitLast(host, "sts#Open#"));

    host.plugin.SetFile("still here\r\n");
    host.plugin.Call("sendstring");
    CHECK(peer.Read(1, 100, 3000) == "still here\r\n");

    const long total = 20000;
    PatternFollower follower(seed);
    follower.SkipTo(host);
    REQUIRE(peer.Stream(1, total, seed));
    CHECK(ReceiveWhole(host, follower, total, 30000));
    CHECK(follower.position() == total);

    host.plugin.Call("Close");
    CHECK(WaitLast(host, "sts#Close#"));
}
