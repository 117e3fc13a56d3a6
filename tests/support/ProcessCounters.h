// What the test process holds, for checks that repeated work leaks nothing.
#pragma once

#include <windows.h>
#include <psapi.h>

// Committed private memory, summed from the address space as Windows counts
// it. Wine 8 fills PrivateUsage from the Linux swap figure (0 without swap),
// so it can't show growth; VirtualQuery sees every committed private page
// wine hands out, heaps and thread stacks included.
inline SIZE_T PrivateBytes() {
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

// Bytes in live heap blocks of every heap of the process: tells a leak of
// allocations (this grows) from address space that wine keeps (it does not).
inline SIZE_T HeapInUse() {
    HANDLE heaps[64];
    DWORD n = GetProcessHeaps(64, heaps);
    SIZE_T total = 0;
    for (DWORD i = 0; i < n && i < 64; ++i) {
        if (!HeapLock(heaps[i])) continue;
        PROCESS_HEAP_ENTRY e = {};
        while (HeapWalk(heaps[i], &e))
            if (e.wFlags & PROCESS_HEAP_ENTRY_BUSY) total += e.cbData;
        HeapUnlock(heaps[i]);
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
