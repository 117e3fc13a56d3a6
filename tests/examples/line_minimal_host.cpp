// examples/minimal_host.exe on the serial line rig: the exchange it promises
// host authors against an echoing far end, and its answer to a dead port.
#include <doctest/doctest.h>

#include "refhost/HostProcess.h"
#include "support/PeerClient.h"

TEST_CASE("the line goes out, comes back through the clicks, and the port closes") {
    PeerClient peer;
    REQUIRE(peer.Attach(1));
    REQUIRE(peer.Echo(1, true));
    HostProcess host;
    REQUIRE(host.Start("COM1 \"caf\xE9 #1\"", "minimal_host.exe"));
    CHECK(host.WaitExit() == 0);
    INFO(host.Output());
    // The echo may come back in more than one batch; its first bytes open a
    // data text, and the end of the line closes one.
    CHECK(host.InOrder({"-> open COM1", "<- sts#Open#", "-> send caf\\xE9 #1\\r\\n", "<- str#caf",
                        "\\r\\n#", "-> Close", "<- sts#Close#", "the line came back"}));
    peer.Echo(1, false);
}

TEST_CASE("a port that does not open ends the run with status 1") {
    PeerClient peer;
    REQUIRE(peer.Detach(3));
    HostProcess host;
    REQUIRE(host.Start("COM3", "minimal_host.exe"));
    CHECK(host.WaitExit() == 1);
    INFO(host.Output());
    CHECK(host.InOrder({"-> open COM3", "no echo"}));
    // Told of the failure, it sends nothing into the dead port.
    if (host.Output().find("<- err#") != std::string::npos)
        CHECK(host.Output().find("-> send") == std::string::npos);
}

// Binary bytes, dense in zero bytes and "#", then the echo of the line: the
// data texts that the example prints, read by its own rule and joined, are
// the line's bytes exactly.
TEST_CASE("binary bytes dense in zeros and \"#\" arrive exact through the example's own rule") {
    PeerClient peer;
    REQUIRE(peer.Attach(1));
    HostProcess host;
    REQUIRE(host.Start("COM1 ping", "minimal_host.exe"));
    REQUIRE(host.WaitFor("-> send"));
    std::string sent;
    unsigned seed = 12345;
    for (int i = 0; i < 800; ++i) {
        seed = seed * 1103515245 + 12345;
        unsigned pick = (seed >> 16) % 3;
        sent += pick == 0 ? '\0' : pick == 1 ? '#' : char(seed >> 24);
    }
    sent += "ping\r\n";
    REQUIRE(peer.Write(1, sent));
    CHECK(host.WaitExit() == 0);
    // Each "<- str#...#" line, unescaped: \r, \n and \xNN.
    std::string got, out = host.Output();
    for (size_t at = out.find("<- str#"); at != std::string::npos; at = out.find("<- str#", at)) {
        size_t end = out.find('\n', at);
        std::string text = out.substr(at + 7, end - at - 7);
        while (!text.empty() && text.back() == '\r')
            text.pop_back();
        for (size_t i = 0; i + 1 < text.size(); ++i) {
            if (text[i] != '\\') {
                got += text[i];
            } else if (text[++i] == 'x') {
                got += char(std::stoi(text.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                got += text[i] == 'r' ? '\r' : '\n';
            }
        }
        at = end;
    }
    CHECK(got == sent);
}
