// Linked into a test copy of the DLL only (comrelay_stopwait.dll). While the
// test has a window of class "comrelay_stop_wait", every timer stop of a
// component's end first lets one real tick of that timer start, and the tick
// sends that window a message: the stop then waits for the tick, serving
// the message on the host's thread as it serves any message sent meanwhile.
//
// Threads: the wrapper runs on the host's thread, inside the end; SendFromTick
// on the multimedia timer thread, which sets Ticking before it sends.
#include "framework/Timer.h"

extern "C" void __attribute__((thiscall)) __real__ZN5Timer4StopEv(Timer* timer);

namespace {

HANDLE Ticking = nullptr;

void SendFromTick(void* window, BaseObject*) {
    SetEvent(Ticking);
    SendMessageA(static_cast<HWND>(window), WM_USER, 0, 0);
}

} // namespace

extern "C" void __attribute__((thiscall)) __wrap__ZN5Timer4StopEv(Timer* timer) {
    if (HWND window = FindWindowA("comrelay_stop_wait", nullptr)) {
        Ticking = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        timer->SetEnabled(false);
        timer->OnTimer.Set(SendFromTick, window);
        timer->Interval = 1;
        timer->SetEnabled(true);
        WaitForSingleObject(Ticking, 5000);
        CloseHandle(Ticking);
    }
    __real__ZN5Timer4StopEv(timer);
}
