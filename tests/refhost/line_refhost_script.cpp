// comrelay-host's scripted mode on the serial line rig: the transcript of an
// echoed exchange, received zero bytes, ports that fail to open.
#include <doctest/doctest.h>

#include "refhost/HostProcess.h"
#include "support/PeerClient.h"

#include <cstdlib>
#include <psapi.h>
#include <string>

using namespace std::string_literals;

TEST_CASE("scripted mode: open, send, echo, close, every notification printed") {
    PeerClient peer;
    REQUIRE(peer.Attach(1));
    REQUIRE(peer.Echo(1, true));
    HostProcess host;
    REQUIRE(host.Start("--port COM1 --baud 19200 --send hello --wait-for hello\\r\\n "
                       "--eol none --send-hex \"63 61 66 E9\" --wait-for caf\\xE9 --close --exit"));
    CHECK(host.WaitExit() == 0);
    INFO(host.Output());
    CHECK(host.InOrder({"SetParentWindow", "Draw(0, ", "getport: COM1", "getbaudrate: 19200",
                        "-> open", "<- sts#Open#", "-> SetFile(\"hello\\r\\n\"); sendstring",
                        "<- str#hello", "received \"hello\\r\\n\"",
                        "-> SetFile(\"caf\\xE9\"); sendstring", "received \"caf\\xE9\"", "-> Close",
                        "<- sts#Close#"}));
    // Each line starts with the seconds since start.
    CHECK(host.Output().find("   0.") != std::string::npos);
    peer.Echo(1, false);
}

TEST_CASE("received zero and non-ASCII bytes reach the transcript whole") {
    PeerClient peer;
    REQUIRE(peer.Attach(1));
    HostProcess host;
    REQUIRE(host.Start("--port COM1 --open --wait-for end\\r\\n --close --exit"));
    REQUIRE(host.WaitFor("<- sts#Open#"));
    REQUIRE(peer.Write(1, "a\0b#\xE9 end\r\n"s));
    CHECK(host.WaitExit() == 0);
    INFO(host.Output());
    CHECK(host.InOrder({"<- str#a\\x00b#\\xE9 end", "received \"end\\r\\n\"", "<- sts#Close#"}));
}

TEST_CASE("a port that cannot be opened is reported, and the program goes on") {
    struct Case {
        const char* name;
        bool (*spoil)(PeerClient&);
    } cases[] = {
        {"missing", [](PeerClient& p) { return p.Detach(3); }},
        {"in use", [](PeerClient& p) { return p.Attach(3) && p.Busy(3, true); }},
        {"pulled out", [](PeerClient& p) { return p.Attach(3) && p.Vanish(3, true); }},
    };
    for (const Case& c : cases) {
        std::string name = c.name;
        CAPTURE(name);
        PeerClient peer;
        REQUIRE(c.spoil(peer));
        REQUIRE(peer.Attach(1));
        REQUIRE(peer.Echo(1, true));
        HostProcess host;
        REQUIRE(host.Start("--port COM3 --open --send lost --port COM1 --send hi --wait-for hi "
                           "--close --exit"));
        // A step failed, so the status says so; the later steps still ran.
        CHECK(host.WaitExit() == 1);
        INFO(host.Output());
        CHECK(host.InOrder({"getport: COM3", "-> open",
                            "<- err#\\xEE\\xF8\\xE8\\xE1\\xEA\\xE0 "
                            "\\xEF\\xEE\\xF0\\xF2\\xE0#",
                            "!! the port did not open", "!! not sent", "getport: COM1",
                            "<- sts#Open#", "received \"hi\"", "<- sts#Close#"}));
        CHECK(host.Output().find("sendstring") == host.Output().rfind("sendstring"));
        peer.Echo(1, false);
        peer.Busy(3, false);
        peer.Detach(3);
    }
}

TEST_CASE("a wrong command line or a missing plug-in ends at once with status 2") {
    for (const char* args :
         {"--baud 230400 --open", "--send-hex \"41 00\"", "--dll nothere.dll --open"}) {
        std::string line = args;
        CAPTURE(line);
        HostProcess host;
        REQUIRE(host.Start(args));
        CHECK(host.WaitExit() == 2);
        CHECK(host.Output().find("comrelay-host: ") != std::string::npos);
        CHECK(host.Output().find("-> open") == std::string::npos);
    }
}

TEST_CASE("changing the port while it is open closes it and opens the new one") {
    PeerClient peer;
    REQUIRE(peer.Attach(1));
    REQUIRE(peer.Attach(2));
    REQUIRE(peer.Detach(3));
    REQUIRE(peer.Echo(1, true));
    REQUIRE(peer.Echo(2, true));

    HostProcess host;
    REQUIRE(host.Start("--port COM1 --send one --wait-for one --port COM2 --send two "
                       "--wait-for two --port COM3 --exit"));
    // The move to the missing COM3 fails, and the host knows it is closed.
    CHECK(host.WaitExit() == 1);
    INFO(host.Output());
    CHECK(host.InOrder({"getport: COM1", "<- sts#Open#", "received \"one\"", "-> Close",
                        "<- sts#Close#", "SetFile(\"COM2\"); setport", "-> open", "<- sts#Open#",
                        "getport: COM2", "received \"two\"", "-> Close", "<- sts#Close#",
                        "SetFile(\"COM3\"); setport", "-> open", "<- err#", "getport: COM3",
                        "!! the port did not open"}));
    // Every notification was read on its own.
    CHECK(host.Output().find("clicks, one text") == std::string::npos);
    // Closed after the failed move: the exit has no port to close.
    CHECK(host.Output().find("-> Close", host.Output().find("<- err#")) == std::string::npos);
    peer.Echo(1, false);
    peer.Echo(2, false);
}

namespace {
// The sum of the "(n bytes)" counts of the data notifications printed.
long ReceivedBytes(const std::string& out) {
    long total = 0;
    for (size_t at = out.find("<- str#"); at != std::string::npos;
         at = out.find("<- str#", at + 1)) {
        size_t end = out.find('\n', at);
        size_t count = out.rfind("  (", end);
        if (count != std::string::npos && count > at) total += std::atol(out.c_str() + count + 3);
    }
    return total;
}
} // namespace

TEST_CASE("a long stream arrives whole, and the host stays responsive and bounded") {
    PeerClient peer;
    REQUIRE(peer.Attach(1));
    HostProcess host;
    REQUIRE(host.Start("--port COM1 --open"));
    REQUIRE(host.WaitFor("<- sts#Open#"));
    HWND window = host.Window();
    REQUIRE(window);
    const long count = 400000; // more than the traffic pane keeps
    REQUIRE(peer.Stream(1, count, 5));
    // The transcript is read all along: a full pipe would stop the host.
    // Wide margins: this checks that nothing is lost or stuck, not speed.
    DWORD end = GetTickCount() + 120000;
    while (ReceivedBytes(host.Output()) < count && static_cast<LONG>(end - GetTickCount()) > 0)
        Sleep(100);
    CHECK(peer.StreamStatus(1).done);
    CHECK(ReceivedBytes(host.Output()) == count);

    DWORD_PTR result = 0;
    CHECK(SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &result) != 0);
    HWND pane = FindWindowExA(window, nullptr, "EDIT", nullptr);
    while (pane && !(GetWindowLongA(pane, GWL_STYLE) & ES_MULTILINE))
        pane = FindWindowExA(window, pane, "EDIT", nullptr);
    REQUIRE(pane);
    // The pane keeps the newest part of the traffic, at four characters a
    // byte at most, not all of it.
    LRESULT shown = SendMessageA(pane, WM_GETTEXTLENGTH, 0, 0);
    CHECK(shown > 1000);
    CHECK(shown < 4 * 300000);
    PROCESS_MEMORY_COUNTERS_EX pmc = {};
    pmc.cb = sizeof pmc;
    GetProcessMemoryInfo(host.Process(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&pmc),
                         sizeof pmc);
    CHECK(pmc.PrivateUsage < 64u << 20);
    PostMessageA(window, WM_CLOSE, 0, 0);
    CHECK(host.WaitExit() == 0);
}
