// One raw serial wait, as an event thread does it: open the line, one
// WaitCommEvent pending, ended by SetCommMask(h, 0) and waited for, close.
// Under wine each such wait is served by a thread of wine's own, which is why
// the footprint and loader checks repeat it.
#pragma once

#include <cstdio>
#include <windows.h>

enum class WaitCycle { NoPort, NoWait, Done };

// meanwhile (if given) runs while the wait is pending.
inline WaitCycle SerialWaitCycle(int com, DWORD mask, void (*meanwhile)() = nullptr) {
    char path[16];
    std::snprintf(path, sizeof path, "\\\\.\\COM%d", com);
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) return WaitCycle::NoPort;
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED o = {};
    o.hEvent = done;
    DWORD seen = 0;
    SetCommMask(h, mask);
    bool ended = false;
    if (!WaitCommEvent(h, &seen, &o) && GetLastError() == ERROR_IO_PENDING) {
        if (meanwhile) meanwhile();
        SetCommMask(h, 0);
        // Wine writes the mask and status before it signals: only then may
        // they go.
        ended = WaitForSingleObject(done, 5000) == WAIT_OBJECT_0;
    }
    CloseHandle(done);
    CloseHandle(h);
    return ended ? WaitCycle::Done : WaitCycle::NoWait;
}
