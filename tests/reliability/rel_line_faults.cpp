// Faults on the line while bytes stream through the DLL to a real host
// window: the peer hanging up, the adapter pulled out, Close at any moment and
// a move to another port. Each case ends with the host going on.
#include <doctest/doctest.h>

#include "plugin/OpenHost.h"
#include "reliability/Reliability.h"

#include "comrelay.h"
#include "support/ImportPatch.h"
#include "support/ProcessCounters.h"
#include <algorithm>

namespace {

// As host authors spell it: the header's bytes must be the DLL's.
const std::string ErrorText = COMRELAY_ERROR_TEXT;

bool Has(const TestHost& host, const std::string& text) {
    for (const Notification& n : host.received)
        if (n.text == text) return true;
    return false;
}

// The plug-in's own device calls, pointed at stand-ins: a driver that half
// works. While CountFails is set, ClearCommError fails (on every thread); a
// SetCommState for RefusedRate takes effect on the line and answers failure,
// as a driver that took the rate and refused a later step.
volatile LONG CountFails = 0;
DWORD RefusedRate = 0;
decltype(&ClearCommError) RealCount = nullptr;
decltype(&SetCommState) RealSetState = nullptr;
BOOL WINAPI FlakyCount(HANDLE h, LPDWORD errors, LPCOMSTAT status) {
    if (!CountFails) return RealCount(h, errors, status);
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
}
BOOL WINAPI HalfSetState(HANDLE h, LPDCB dcb) {
    return RealSetState(h, dcb) && dcb->BaudRate != RefusedRate;
}
void PatchDevice(TestHost& host) {
    if (void* real = PatchImport(host.plugin.Module(), "ClearCommError",
                                 reinterpret_cast<void*>(FlakyCount)))
        RealCount = reinterpret_cast<decltype(RealCount)>(real);
    if (void* real = PatchImport(host.plugin.Module(), "SetCommState",
                                 reinterpret_cast<void*>(HalfSetState)))
        RealSetState = reinterpret_cast<decltype(RealSetState)>(real);
    REQUIRE((RealCount && RealSetState));
}

} // namespace

TEST_CASE("a device that half works for a while: one err#, no reopen, every byte once it answers") {
    const char* const rows[] = {"the count fails", "the modem status fails"};
    for (const char* row : rows) {
        CAPTURE(row);
        OpenHost h(115200);
        PatchDevice(h.host);
        if (row == rows[0])
            InterlockedExchange(&CountFails, 1);
        else
            REQUIRE(h.peer.Fail(1, "TIOCMGET", h.peer.Uses(1, "TIOCMGET") + 1, true, "EIO"));
        REQUIRE(h.peer.Write(1, "AB"));
        h.host.Pump(3000);
        InterlockedExchange(&CountFails, 0);
        REQUIRE(h.peer.FailOff(1));
        REQUIRE(h.peer.Write(1, "CD"));
        h.host.Pump(1500);
        std::string got;
        int errors = 0;
        for (const Notification& n : h.host.received) {
            if (n.text.rfind("str#", 0) == 0) got += n.text.substr(4, n.text.size() - 5);
            errors += n.text == ErrorText;
            CHECK(n.text != "sts#Open#");
        }
        CHECK(got == "ABCD");
        CHECK(errors == 1);
        h.host.plugin.Call("Close");
    }
}

// The count fails during a long write to a device that still takes bytes:
// nothing closes the handle under the writer.
TEST_CASE("a failure during a long write: the write ends whole, told once") {
    OpenHost h(9600);
    PatchDevice(h.host);
    const std::string text(4096, 'w');
    InterlockedExchange(&CountFails, 1);
    h.host.plugin.SetFile(text.c_str());
    h.host.plugin.Call("sendstring");
    InterlockedExchange(&CountFails, 0);
    CHECK(h.peer.Read(1, 4096, 10000).size() == 4096);
    h.host.Pump(500);
    int errors = 0;
    for (const Notification& n : h.host.received)
        errors += n.text == ErrorText;
    CHECK(errors == 1);
    CheckHostGoesOn(h.host, h.peer);
}

// The driver takes the new rate and refuses the rest: the whole previous
// setting goes back on the line, and the getter tells the line's rate.
TEST_CASE("a setting refused half-way puts the previous line setting back") {
    OpenHost h(19200);
    PatchDevice(h.host);
    RefusedRate = 38400;
    h.host.plugin.SetData(38400);
    h.host.plugin.Call("setbaudrate");
    RefusedRate = 0;
    REQUIRE(WaitLast(h.host, ErrorText));
    h.host.plugin.Call("getbaudrate");
    CHECK(h.host.plugin.GetData() == 19200);
    CHECK(h.peer.Termios(1).baud == 19200);
    CheckHostGoesOn(h.host, h.peer);
}

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

namespace {

// "err#" notices from index `from` on.
int ErrorsFrom(const TestHost& host, size_t from) {
    int n = 0;
    for (size_t i = from; i < host.received.size(); ++i)
        if (host.received[i].text == ErrorText) ++n;
    return n;
}

} // namespace

TEST_CASE("a line error is told once whatever failed and recovered before it") {
    // The device fails at one moment (a long failure of the modem-status call
    // behind wine's wait, or one failed look at the error counters), then
    // bytes flow both ways, and gapMs later a framing error comes. After an
    // earlier line error the counters no longer start at 0.
    enum When { AsItOpens, WhileOpen, AfterALineError, WithTheError };
    struct Row {
        const char* name;
        const char* call;
        bool always;
        When when;
        DWORD gapMs;
        long times = 0; // fails for this many uses, then works
    };
    const Row rows[] = {
        {"the wait fails for 2 s as the port opens", "TIOCMGET", true, AsItOpens, 3000},
        {"the wait fails for 2 s after a line error", "TIOCMGET", true, AfterALineError, 3000},
        {"the wait fails for 2 s while open", "TIOCMGET", true, WhileOpen, 3000},
        {"the error counters fail for 2 s while open", "TIOCGICOUNT", true, WhileOpen, 3000},
        {"the error counters fail for 2 s after a line error", "TIOCGICOUNT", true, AfterALineError,
         3000},
        {"one error-counter look fails a second before", "TIOCGICOUNT", false, AfterALineError,
         1000},
        {"one error-counter look fails as the error comes", "TIOCGICOUNT", false, WithTheError, 0},
        {"the status fails 8 uses after the open, an error 0.1 s on", "TIOCMGET", false, WhileOpen,
         3000, 8},
    };
    for (const Row& row : rows) {
        CAPTURE(row.name);
        PeerClient peer;
        TestHost host;
        REQUIRE(host.Adopt());
        REQUIRE(peer.Attach(1));
        host.plugin.SetData(115200);
        host.plugin.Call("setbaudrate");
        if (row.when == AsItOpens) REQUIRE(peer.Fail(1, row.call, 1, row.always, "EIO"));
        host.plugin.Call("open");
        REQUIRE(host.PumpUntil([&] { return Has(host, "sts#Open#"); }, 5000));
        if (row.when != AsItOpens && row.when != WhileOpen) {
            host.Pump(200);
            size_t from = host.received.size();
            REQUIRE(peer.Error(1, "frame"));
            REQUIRE(host.PumpUntil([&] { return ErrorsFrom(host, from) > 0; }, 3000));
            host.Pump(300);
        }
        // Past the open's own uses (wine's settings calls read the status too).
        const long nth = peer.Uses(1, row.call) + 1;
        if (row.times) { // the error comes 0.1 s after the last failure, in the pause after it
            REQUIRE(peer.FailFor(1, row.call, nth, row.times, "EIO"));
            REQUIRE(host.PumpUntil([&] { return peer.Uses(1, row.call) >= nth + row.times - 1; },
                                   5000));
            host.Pump(100);
            size_t from = host.received.size();
            REQUIRE(peer.Error(1, "frame"));
            CHECK(host.PumpUntil([&] { return ErrorsFrom(host, from) > 0; }, 3000));
        } else if (row.when == AfterALineError || row.when == WhileOpen) {
            REQUIRE(peer.Fail(1, row.call, nth, row.always, "EIO"));
        }
        if (row.always) {
            host.Pump(2000);
            REQUIRE(peer.FailOff(1));
        }
        // Bytes flow both ways again.
        REQUIRE(peer.Write(1, "back"));
        REQUIRE(host.PumpUntil([&] { return Has(host, "str#back#"); }, 5000));
        host.plugin.SetFile("out");
        host.plugin.Call("sendstring");
        CHECK(peer.Read(1, 3, 3000) == "out");
        host.Pump(row.gapMs);

        size_t from = host.received.size();
        if (row.when == WithTheError)
            REQUIRE(peer.Fail(1, row.call, peer.Uses(1, row.call) + 1, row.always, "EIO"));
        REQUIRE(peer.Error(1, "frame"));
        host.PumpUntil([&] { return ErrorsFrom(host, from) > 0; }, 3000);
        host.Pump(500); // a second notice would have come by now
        CHECK(ErrorsFrom(host, from) == 1);
        REQUIRE(peer.FailOff(1));
        host.plugin.Call("Close");
        host.Pump(100);
    }
}

// A pulled adapter whose handle fails for good, as a USB adapter's does on
// Windows, whatever code its driver gives, while its name is gone, still
// opens on the dead device, or is refused while the dead handle holds it:
// once plugged back in, the port comes back by itself, without a Close, and
// is told as opened again after its one error. Plugged back after 0.2, 1
// and 5 s, and after a minute.
TEST_CASE("a pulled adapter plugged back in carries bytes again without Close") {
    using Mode = PeerClient::PullMode;
    struct Row {
        Mode mode;
        const char* code;
        DWORD pulledFor;
    } rows[] = {
        {Mode::Gone, "EIO", 200},        {Mode::Gone, "EACCES", 1000},
        {Mode::Gone, "ENODEV", 5000},    {Mode::Opens, "EIO", 1000},
        {Mode::Opens, "EACCES", 5000},   {Mode::Opens, "ENODEV", 200},
        {Mode::Refused, "EIO", 5000},    {Mode::Refused, "EACCES", 200},
        {Mode::Refused, "ENODEV", 1000}, {Mode::Gone, "EIO", 60000},
    };
    for (const Row& r : rows) {
        INFO("mode ", int(r.mode), " ", r.code, " pulled for ", r.pulledFor, " ms");
        OpenHost h(115200);
        REQUIRE(h.peer.Write(1, "before"));
        REQUIRE(WaitLast(h.host, "str#before#"));
        REQUIRE(h.peer.Pull(1, r.code, r.mode));
        REQUIRE(WaitLast(h.host, ErrorText));
        h.host.Pump(r.pulledFor);
        REQUIRE(h.peer.Vanish(1, false));
        // Looked for twice a second: back well within a few seconds.
        REQUIRE(WaitLast(h.host, "sts#Open#", 10000));
        // The error came once, before the open; nothing between them.
        size_t errors = 0;
        for (const Notification& n : h.host.received)
            errors += n.text == ErrorText;
        CHECK(errors == 1);
        CHECK(h.host.received.size() == 3);
        REQUIRE(h.peer.Write(1, "back"));
        CHECK(WaitLast(h.host, "str#back#"));
        h.host.plugin.SetFile("out");
        h.host.plugin.Call("sendstring");
        CHECK(h.peer.Read(1, 100, 3000) == "out");
        CheckHostGoesOn(h.host, h.peer);
    }
}

// Never plugged back: one error, then the search alone, which neither holds
// nor grows anything while it looks.
TEST_CASE("a pulled adapter never plugged back: one err#, and nothing grows") {
    using Mode = PeerClient::PullMode;
    for (Mode mode : {Mode::Gone, Mode::Opens, Mode::Refused}) {
        CAPTURE(int(mode));
        OpenHost h(115200);
        REQUIRE(h.peer.Pull(1, "EIO", mode));
        REQUIRE(WaitLast(h.host, ErrorText));
        h.host.Pump(3000); // the dead handle let go, the search under way
        DWORD handles = HandleCount();
        SIZE_T heap = HeapInUse();
        h.host.Pump(6000);
        CHECK(HandleCount() <= handles + 2);
        CHECK(HeapInUse() <= heap + 16384);
        CHECK(h.host.received.size() == 1);
        h.host.plugin.Call("Close");
        CHECK(WaitLast(h.host, "sts#Close#"));
    }
}

// The slowest of the host's short pumps over 1.5 s.
DWORD SlowestPump(TestHost& host) {
    DWORD slowest = 0;
    for (DWORD start = GetTickCount(); GetTickCount() - start < 1500;) {
        DWORD before = GetTickCount();
        host.Pump(10);
        slowest = std::max<DWORD>(slowest, GetTickCount() - before);
    }
    return slowest;
}

// Plugged back in with a port whose open takes 3 s: the tries run off the
// host's thread, and a Close during one returns at once and ends the search
// for good.
TEST_CASE("a pulled adapter whose port opens slowly") {
    // A try begins within 0.5 s of the replug and its open takes 3 s: a
    // host thread held by it, in a pump or in Close, stays held for 1.5 s or
    // more. The bounds stand on the host's slowest pump on the open port,
    // measured first, so that what a busy machine adds to every pump is not
    // taken for the search's doing.
    for (int row = 0; row < 3; ++row) {
        bool closeDuringTry = row > 0, openAfterClose = row == 2;
        CAPTURE(closeDuringTry);
        CAPTURE(openAfterClose);
        OpenHost h(115200);
        const DWORD quiet = SlowestPump(h.host);
        REQUIRE(h.peer.Pull(1, "EIO"));
        REQUIRE(WaitLast(h.host, ErrorText));
        h.host.Pump(1500);
        REQUIRE(h.peer.SlowOpen(1, 3000));
        REQUIRE(h.peer.Vanish(1, false));
        const DWORD slowest = SlowestPump(h.host);
        CAPTURE(quiet);
        CHECK(slowest < quiet + 1000);
        MESSAGE("slowest pump during the try " << slowest << " ms, on the open port " << quiet
                                               << " ms");
        if (closeDuringTry) { // without waiting for the try
            DWORD before = GetTickCount();
            h.host.plugin.Call("Close");
            CHECK(GetTickCount() - before < quiet + 750);
            // Disconnect, Connect: the open waits for the try that holds the
            // port (a port opens once), and never fails for it.
            if (openAfterClose) {
                h.host.plugin.Call("open");
                CHECK(WaitLast(h.host, "sts#Open#", 10000));
                CHECK(std::count_if(h.host.received.begin(), h.host.received.end(),
                                    [](const Notification& n) { return n.text == ErrorText; }) ==
                      1);
                REQUIRE(h.peer.SlowOpen(1, 0));
                continue;
            }
            REQUIRE(WaitLast(h.host, "sts#Close#"));
            h.host.Pump(5000);
            CHECK(h.host.received.back().text == "sts#Close#");
        } else {
            CHECK(WaitLast(h.host, "sts#Open#", 10000));
        }
        REQUIRE(h.peer.SlowOpen(1, 0));
    }
}

TEST_CASE("Close or open while a pulled adapter is looked for") {
    SUBCASE("Close stops the search: plugged back in, the port stays closed") {
        OpenHost h(115200);
        REQUIRE(h.peer.Vanish(1, true));
        REQUIRE(WaitLast(h.host, ErrorText));
        h.host.plugin.Call("Close");
        REQUIRE(WaitLast(h.host, "sts#Close#"));
        REQUIRE(h.peer.Vanish(1, false));
        h.host.Pump(2000);
        CHECK(h.host.received.back().text == "sts#Close#");
        CHECK(h.peer.Write(1, "nobody"));
        h.host.Pump(500);
        CHECK(h.host.received.back().text == "sts#Close#");
        CheckHostGoesOn(h.host, h.peer);
    }
    SUBCASE("the component's end stops the search and tells the close") {
        OpenHost h(115200);
        REQUIRE(h.peer.Vanish(1, true));
        REQUIRE(WaitLast(h.host, ErrorText));
        h.host.Pump(1000);
        PostMessageA(h.host.Form1(), WM_CLOSE, 0, 0);
        CHECK(WaitLast(h.host, "sts#Close#"));
        REQUIRE(h.peer.Vanish(1, false));
        h.host.Pump(1500);
        CHECK(h.host.received.back().text == "sts#Close#");
        REQUIRE(h.host.Adopt());
        CheckHostGoesOn(h.host, h.peer);
    }
    SUBCASE("setport moves a lost port at once, also while a slow try holds it") {
        for (bool slowTry : {false, true}) {
            CAPTURE(slowTry);
            OpenHost h(115200);
            REQUIRE(h.peer.Attach(2));
            REQUIRE(h.peer.Pull(1, "EIO"));
            REQUIRE(WaitLast(h.host, ErrorText));
            h.host.Pump(1000);
            if (slowTry) { // a 3 s try on COM1 under way
                REQUIRE(h.peer.SlowOpen(1, 3000));
                REQUIRE(h.peer.Vanish(1, false));
                h.host.Pump(700);
            }
            DWORD before = GetTickCount();
            h.host.plugin.SetFile("COM2");
            h.host.plugin.Call("setport");
            CHECK(WaitLast(h.host, "sts#Open#", 1500));
            CHECK(GetTickCount() - before < 2500); // not after the try's 3 s
            CHECK(std::count_if(h.host.received.begin(), h.host.received.end(),
                                [](const Notification& n) { return n.text == ErrorText; }) == 1);
            REQUIRE(h.peer.Write(2, "two"));
            CHECK(WaitLast(h.host, "str#two#"));
            REQUIRE(h.peer.SlowOpen(1, 0));
        }
    }
    SUBCASE("open on a port whose device failed opens afresh") {
        OpenHost h(115200);
        REQUIRE(h.peer.Vanish(1, true));
        REQUIRE(WaitLast(h.host, ErrorText));
        REQUIRE(h.peer.Vanish(1, false));
        h.host.plugin.Call("open");
        REQUIRE(WaitLast(h.host, "sts#Open#", 10000));
        REQUIRE(h.peer.Write(1, "fresh"));
        CHECK(WaitLast(h.host, "str#fresh#"));
        CheckHostGoesOn(h.host, h.peer);
    }
}
