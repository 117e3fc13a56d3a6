// Faults on the line while bytes stream through the DLL to a real host
// window: the peer hanging up, the adapter pulled out, Close at any moment and
// a move to another port. Each case ends with the host going on.
#include <doctest/doctest.h>

#include "plugin/OpenHost.h"
#include "reliability/Reliability.h"

#include "comrelay.h"

namespace {

// As host authors spell it: the header's bytes must be the DLL's.
const std::string ErrorText = COMRELAY_ERROR_TEXT;

bool Has(const TestHost& host, const std::string& text) {
    for (const Notification& n : host.received)
        if (n.text == text) return true;
    return false;
}

} // namespace

TEST_CASE("the peer hangs up in the middle of a stream") {
    OpenHost h(115200);
    PatternFollower follower(21);
    REQUIRE(h.peer.Stream(1, 2000000, 21));
    REQUIRE(StreamPast(h.host, follower, 30000));
    REQUIRE(h.peer.Detach(1));
    h.host.Pump(1000);
    follower.Take(h.host);
    // What came before the hang-up came whole and in order; nothing after it.
    CHECK(follower.ordered());
    long got = follower.position();
    h.host.Pump(500);
    follower.Take(h.host);
    CHECK(follower.position() == got);
    CheckHostGoesOn(h.host, h.peer);
}

TEST_CASE("the adapter is pulled out while open, then plugged in and the port reopened") {
    OpenHost h(115200);
    PatternFollower follower(22);
    REQUIRE(h.peer.Stream(1, 2000000, 22));
    REQUIRE(StreamPast(h.host, follower, 30000));
    REQUIRE(h.peer.Vanish(1, true));
    // Reported, and not hidden by a relay that found the bytes gone.
    REQUIRE(h.host.PumpUntil([&] { return Has(h.host, ErrorText); }, 5000));
    h.host.Pump(300);
    follower.Take(h.host);
    CHECK(follower.ordered());

    // Still missing: the open fails with an error and no "sts#Open#".
    h.host.plugin.Call("Close");
    REQUIRE(WaitLast(h.host, "sts#Close#"));
    h.host.received.clear();
    h.host.plugin.Call("open");
    REQUIRE(WaitLast(h.host, ErrorText));
    h.host.Pump(200);
    CHECK(!Has(h.host, "sts#Open#"));

    // Plugged in again: the same port opens and carries data.
    REQUIRE(h.peer.Vanish(1, false));
    h.host.received.clear();
    h.host.plugin.Call("open");
    REQUIRE(WaitLast(h.host, "sts#Open#"));
    REQUIRE(h.peer.Write(1, "back"));
    CHECK(WaitLast(h.host, "str#back#"));
    CheckHostGoesOn(h.host, h.peer);
}

TEST_CASE("Close while a relay is pending or bytes stream, at varying moments") {
    PeerClient peer;
    TestHost host;
    REQUIRE(host.Adopt());
    host.plugin.SetData(115200);
    host.plugin.Call("setbaudrate");
    // 0 ms: the first bytes have not come; 10-40 ms: the relay is armed and
    // not yet due; later: the stream is in full flow, reads in progress.
    const DWORD delays[] = {0, 10, 25, 40, 60, 90, 150, 300};
    int seed = 30;
    for (DWORD delay : delays) {
        CAPTURE(delay);
        REQUIRE(peer.Attach(1));
        host.received.clear();
        host.plugin.Call("open");
        REQUIRE(WaitLast(host, "sts#Open#"));
        PatternFollower follower(++seed);
        follower.SkipTo(host);
        REQUIRE(peer.Stream(1, 1000000, seed));
        host.Pump(delay);
        host.plugin.Call("Close");
        host.Pump(300);
        follower.Take(host);
        CHECK(follower.ordered());
        // Once closed, no data text follows the close notification.
        size_t closedAt = host.received.size();
        for (size_t i = 0; i < host.received.size(); ++i)
            if (host.received[i].text == "sts#Close#" && i < closedAt) closedAt = i;
        REQUIRE(closedAt < host.received.size());
        for (size_t i = closedAt; i < host.received.size(); ++i)
            CHECK(host.received[i].text.rfind("str#", 0) != 0);
    }
    CheckHostGoesOn(host, peer);
}

TEST_CASE("setport to another line while bytes stream") {
    PeerClient peer;
    REQUIRE(peer.Attach(1));
    REQUIRE(peer.Attach(2));
    TestHost host;
    REQUIRE(host.Adopt());
    host.plugin.SetData(115200);
    host.plugin.Call("setbaudrate");
    host.plugin.Call("open");
    REQUIRE(WaitLast(host, "sts#Open#"));

    PatternFollower one(41), two(42);
    one.SkipTo(host);
    REQUIRE(peer.Stream(1, 2000000, 41));
    // COM2's bytes wait in its line until the port comes over.
    const long total2 = 60000;
    REQUIRE(peer.Stream(2, total2, 42));
    REQUIRE(StreamPast(host, one, 20000));
    size_t moved = host.received.size();
    host.plugin.SetFile("COM2");
    host.plugin.Call("setport");
    // What came from COM1 up to its close is whole and in order: a data text
    // still unfetched at the move is fetched before the close and open
    // notifications (which read "sts#Open#" both when nothing was
    // unfetched), and every data text after them is COM2's.
    REQUIRE(host.PumpUntil(
        [&] {
            for (size_t i = moved; i < host.received.size(); ++i)
                if (host.received[i].text == "sts#Open#") return true;
            return false;
        },
        10000));
    size_t closedAt = moved;
    while (host.received[closedAt].text.rfind("sts#", 0) != 0)
        ++closedAt;
    one.Take(host, closedAt);
    CHECK(one.ordered());
    two.SkipTo(closedAt);

    // Everything COM2 sends arrives, and nothing more of COM1.
    CHECK(ReceiveWhole(host, two, total2, 60000));
    CHECK(two.position() == total2);
    host.plugin.SetFile("which line");
    host.plugin.Call("sendstring");
    CHECK(peer.Read(2, 100, 3000) == "which line");
    CHECK(peer.Read(1, 100, 200).empty());
    CheckHostGoesOn(host, peer);
}
