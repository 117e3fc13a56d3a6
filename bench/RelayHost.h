// The received-data relay benchmarks' host: a TestHost window with the
// component built and COM1 open on a fresh rig line, plus a hook on the
// window's clicks so a benchmark can stamp or answer them itself.
#pragma once

#include "BenchClock.h"
#include "plugin/TestHost.h"
#include "support/PeerClient.h"

#include <cstdio>

struct RelayHost {
    PeerClient peer;
    TestHost host;
    bool ready = false;

    // baud goes through SetData + setbaudrate before open, as a host does it.
    explicit RelayHost(int baud) {
        if (!peer.Attach(1)) {
            std::printf("the rig's peer cannot be reached\n");
            return;
        }
        if (!host.Adopt()) {
            std::printf("the plug-in did not build its window\n");
            return;
        }
        host.plugin.SetData(baud);
        host.plugin.Call("setbaudrate");
        host.plugin.Call("open");
        if (!host.WaitNotifications(1) || host.received[0].text != "sts#Open#") {
            std::printf("COM1 did not open\n");
            return;
        }
        host.received.clear();
        host.clicks = 0;
        ready = true;
    }

    // Puts procedure in front of the host window's own; it forwards what it
    // does not handle with CallWindowProcA(Original(), ...). The TestHost
    // procedure finds its object through GWLP_USERDATA, which stays as it is.
    void Subclass(WNDPROC procedure) {
        original_ = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrA(host.window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(procedure)));
    }
    static WNDPROC Original() { return original_; }

  private:
    static inline WNDPROC original_ = nullptr;
};

// Wine's QueryPerformanceCounter may be coarse or drift on some set-ups; the
// benchmarks compare it with GetTickCount over their whole run.
struct ClockCheck {
    double qpcStart = NowMs();
    DWORD tickStart = GetTickCount();
    void Report() const {
        double qpc = NowMs() - qpcStart;
        DWORD ticks = GetTickCount() - tickStart;
        std::printf("  clock check: QueryPerformanceCounter %.0f ms, GetTickCount %lu ms over the "
                    "run (ratio %.3f)\n",
                    qpc, static_cast<unsigned long>(ticks), ticks ? qpc / ticks : 0.0);
    }
};
