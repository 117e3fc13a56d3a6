// A host with the component built and COM1 open on a fresh line of the
// null-modem rig; the open's notification already taken.
#pragma once

#include <doctest/doctest.h>

#include "plugin/TestHost.h"
#include "support/PeerClient.h"

struct OpenHost {
    PeerClient peer;
    TestHost host;
    explicit OpenHost(int baud = 9600) {
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
