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

// Binary bytes dense in zero bytes and "#", then the echo: the data texts
// that the example prints by its own rule, joined, are the bytes sent.
TEST_CASE("binary bytes dense in zeros and \"#\" arrive exact through the example's own rule") {
    PeerClient peer;
    REQUIRE(peer.Attach(1));
    HostProcess host;
    REQUIRE(host.Start("COM1 ping", "minimal_host.exe"));
    REQUIRE(host.WaitFor("-> send"));
    std::string sent, printed; // printed as the example prints
    for (unsigned i = 0, seed = 7; i < 800; ++i, seed = seed * 1103515245 + 12345) {
        unsigned char c = (seed >> 16) % 3 == 0 ? 0 : (seed >> 16) % 3 == 1 ? '#' : seed >> 24;
        sent += char(c);
        char hex[8];
        snprintf(hex, sizeof hex, "\\x%02X", c);
        printed += c == '\r'                            ? "\\r"
                   : c == '\n'                          ? "\\n"
                   : c < 0x20 || c >= 0x7F || c == '\\' ? hex
                                                        : std::string(1, char(c));
    }
    REQUIRE(peer.Write(1, sent + "ping\r\n"));
    CHECK(host.WaitExit() == 0);
    std::string joined, out = host.Output();
    for (size_t at = out.find("<- str#"); at != std::string::npos; at = out.find("<- str#", at)) {
        size_t end = out.find('\n', at);
        std::string line = out.substr(at + 7, end - at - 7);
        joined += line.substr(0, line.find_last_of('#'));
        at = end;
    }
    CHECK(joined == printed + "ping\\r\\n");
}
