// FreeLibrary while the component lives and its port is open: the host must
// neither crash nor hang, and no plug-in code may run after its code is gone.
#include <doctest/doctest.h>

#include "plugin/OpenHost.h"

TEST_CASE("FreeLibrary with the component built and the port open") {
    OpenHost h;
    PeerClient& peer = h.peer;
    TestHost& host = h.host;
    peer.Write(1, "data before unload");
    host.Pump(20);
    host.plugin.Unload();      // the host's last reference
    host.answerClicks = false; // this host no longer calls the library
    // Timers, the event thread and Form1 go on safely; more bytes arrive.
    peer.Write(1, "more");
    host.Pump(400);
    CHECK(IsWindow(host.Form1()));
    // The host ends its window: the component ends, the port closes.
    DestroyWindow(host.window);
    host.Pump(300);
    CHECK(peer.Write(1, "after"));
    host.Pump(200);
}

TEST_CASE("the library loads and unloads again after a component has ended") {
    for (int i = 0; i < 3; ++i) {
        TestHost host;
        REQUIRE(host.Adopt());
        host.Pump(300);
        DestroyWindow(host.window);
        host.Pump(50);
        host.plugin.SetData(i); // the next export drops the library's own hold
        CHECK(host.plugin.GetData() == i);
    }
}
