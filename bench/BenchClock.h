// Clocks for the benchmarks: CPU time of the process or of one thread
// (GetProcessTimes/GetThreadTimes, 100 ns units) and a wall clock in ms.
#pragma once

#include <windows.h>

inline ULONGLONG Join(FILETIME t) {
    return ULONGLONG(t.dwHighDateTime) << 32 | t.dwLowDateTime;
}

// Kernel plus user time of this process, in ms.
inline double ProcessCpuMs() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    return double(Join(kernel) + Join(user)) / 10000.0;
}

inline double ThreadCpuMs(HANDLE thread) {
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(thread, &created, &exited, &kernel, &user)) return -1;
    return double(Join(kernel) + Join(user)) / 10000.0;
}

inline double NowMs() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return double(now.QuadPart) * 1000.0 / double(frequency.QuadPart);
}
