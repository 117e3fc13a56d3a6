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
