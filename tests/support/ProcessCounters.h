// What the test process holds, for checks that repeated work leaks nothing.
#pragma once

#include <windows.h>
#include <psapi.h>

// Wine 8 fills neither PrivateUsage (always 0) nor a PagefileUsage that
// follows allocations, so there the committed private memory is summed from
// the address space itself, as Windows counts it.
inline SIZE_T PrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX pmc = {};
    pmc.cb = sizeof pmc;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&pmc),
                         sizeof pmc);
    if (pmc.PrivateUsage) return pmc.PrivateUsage;
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION m;
    // The first 64 KiB are never mapped; wine fails a query of address 0.
    for (auto* p = reinterpret_cast<char*>(0x10000); VirtualQuery(p, &m, sizeof m) == sizeof m;) {
        if (m.State == MEM_COMMIT && m.Type == MEM_PRIVATE) total += m.RegionSize;
        char* next = static_cast<char*>(m.BaseAddress) + m.RegionSize;
        if (next <= p) break;
        p = next;
    }
    return total;
}

// Wine 8 answers GetProcessHandleCount with 0. Its handles are dense small
// multiples of 4, handed out lowest first: count the valid ones up to a long
// run of invalid values.
inline DWORD HandleCount() {
    DWORD n = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &n) && n) return n;
    DWORD flags, misses = 0;
    for (UINT_PTR h = 4; misses < 1024; h += 4) {
        if (GetHandleInformation(reinterpret_cast<HANDLE>(h), &flags)) {
            ++n;
            misses = 0;
        } else {
            ++misses;
        }
    }
    return n;
}
