// A host that did serial work of its own before it loads the plug-in: the
// load must return. Under wine 8.0 every completed WaitCommEvent is a thread
// that ends without the loader's thread detach; loading a module with a TLS
// directory after many of them spun in the loader for good.
#include <doctest/doctest.h>

#include "support/PeerClient.h"
#include "support/SerialWaitCycle.h"

#include <cstdio>
#include <windows.h>

namespace {

DWORD WINAPI Nothing(void*) {
    return 0;
}

DWORD WINAPI Load(void*) {
    return LoadLibraryA("comrelay.dll") != nullptr;
}

// Threads come and go meanwhile, as in a host.
void RunThread() {
    HANDLE t = CreateThread(nullptr, 0, Nothing, nullptr, 0, nullptr);
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
}

} // namespace

TEST_CASE("loading the plug-in after 400 serial waits of the host's own returns") {
    PeerClient peer;
    REQUIRE(peer.Attach(1));
    REQUIRE(GetModuleHandleA("comrelay.dll") == nullptr);
    // A host is a windowed program: its window, and the system DLLs behind
    // it, come before its serial work.
    HWND window = CreateWindowExA(0, "STATIC", "host", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                                  nullptr, nullptr, nullptr);
    REQUIRE(window);
    for (int i = 0; i < 400; ++i) {
        REQUIRE(SerialWaitCycle(1, EV_RXCHAR, RunThread) != WaitCycle::NoPort);
        RunThread();
    }
    HANDLE loader = CreateThread(nullptr, 0, Load, nullptr, 0, nullptr);
    bool returned = WaitForSingleObject(loader, 20000) == WAIT_OBJECT_0;
    CHECK(returned);
    if (!returned) {
        // The stuck load holds the loader lock: the process could not exit.
        std::fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 1);
    }
    CloseHandle(loader);
    DestroyWindow(window);
}
