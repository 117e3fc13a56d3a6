// The benchmarks' host: a TestHost window with the component built and a COM
// port open through the exports on a fresh rig line, plus a hook on the
// window's clicks so a benchmark can stamp or answer them itself.
#pragma once

#include "BenchClock.h"
#include "plugin/TestHost.h"
#include "support/PeerClient.h"

#include <cstdio>
#include <string>

struct RelayHost {
    PeerClient peer;
    TestHost host;
    int com;
    bool ready = false;

    // The port name goes through SetFile + setport and the rate through
    // SetData + setbaudrate before open, as a host does it.
    explicit RelayHost(int baud, int comNumber = 1) : com(comNumber) {
        if (!peer.Attach(com)) {
            std::printf("the rig's peer cannot be reached\n");
            return;
        }
        if (!host.Adopt()) {
            std::printf("the plug-in did not build its window\n");
            return;
        }
        std::string name = "COM" + std::to_string(com);
        host.plugin.SetFile(name.c_str());
        host.plugin.Call("setport");
        host.plugin.SetData(baud);
        host.plugin.Call("setbaudrate");
        host.plugin.Call("open");
        if (!host.WaitNotifications(1) || host.received[0].text != "sts#Open#") {
            std::printf("%s did not open\n", name.c_str());
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

    // Dispatches messages until done() holds or timeoutMs passes, sleeping in
    // MsgWaitForMultipleObjects between them: a host that idles costs no CPU,
    // unlike TestHost::Pump, which wakes every 5 ms.
    template <class Predicate> bool WaitQuietly(Predicate done, DWORD timeoutMs) {
        DWORD start = GetTickCount();
        for (;;) {
            MSG m;
            while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&m);
                DispatchMessageA(&m);
            }
            if (done()) return true;
            DWORD spent = GetTickCount() - start;
            if (spent >= timeoutMs) return false;
            DWORD left = timeoutMs - spent;
            MsgWaitForMultipleObjects(0, nullptr, FALSE, left < 1000 ? left : 1000, QS_ALLINPUT);
        }
    }

  private:
    static inline WNDPROC original_ = nullptr;
};
