// A program with a known heap fault (a write past the end of a block), run
// under tools/heapcheck.sh to prove that the heap-checked runs catch one.
#include <windows.h>

#include <cstdio>

int main() {
    HANDLE heap = GetProcessHeap();
    auto* block = static_cast<unsigned char*>(HeapAlloc(heap, 0, 16));
    // volatile: the compiler must not drop or fold the faulty stores.
    volatile unsigned char* p = block;
    for (int i = 0; i < 24; ++i)
        p[i] = 0x5A; // not 0xAB: wine fills block tails with that
    HeapFree(heap, 0, block);
    void* next = HeapAlloc(heap, 0, 16);
    HeapFree(heap, 0, next);
    std::puts("canary done");
    return 0;
}
