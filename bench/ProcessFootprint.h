// What this process holds, counted in ways that work under wine: committed
// private memory by walking the address space, and live handles by probing.
#pragma once

#include <windows.h>

// Wine 8.0 answers GetProcessHandleCount with 0 and fills PrivateUsage of
// GetProcessMemoryInfo from the Linux swap figure (0 without swap), so
// neither can show growth. VirtualQuery sees every committed private page
// that wine's virtual memory manager hands out, heaps and thread stacks
// included.
inline double CommittedPrivateBytes() {
    double total = 0;
    MEMORY_BASIC_INFORMATION info;
    for (const char* at = nullptr; VirtualQuery(at, &info, sizeof info) == sizeof info;) {
        if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE) total += double(info.RegionSize);
        const char* next = static_cast<const char*>(info.BaseAddress) + info.RegionSize;
        if (next <= at) break; // the top of the address space
        at = next;
    }
    return total;
}

// Handles are small multiples of 4 and wine hands out the lowest free one, so
// a long run of invalid values means the end of the table.
inline double LiveHandles() {
    int count = 0, misses = 0;
    for (ULONG_PTR value = 4; misses < 4096; value += 4) {
        DWORD flags;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            ++count;
            misses = 0;
        } else {
            ++misses;
        }
    }
    return count;
}
