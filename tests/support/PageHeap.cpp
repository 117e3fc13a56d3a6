// A page heap for test builds, linked with
//   -Wl,--wrap=malloc,--wrap=calloc,--wrap=realloc,--wrap=free
// Every block gets pages of its own; a freed block's pages are decommitted and
// never handed out again. A write after free (or a read, or a second free)
// faults at the instruction that does it, and the handler below names the
// address and the code before the process ends. Wine's heap check finds such
// a write only at the next heap call, and cannot say whose it was. (Writes
// past a block's end are left to wine's check: the next block follows at once.)
//
// Blocks that the C runtime allocated itself (outside the arena) go back to
// it untouched.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

extern "C" {
void* __real_malloc(size_t size);
void* __real_realloc(void* block, size_t size);
void __real_free(void* block);
}

namespace {

constexpr size_t PageSize = 4096;
constexpr uint32_t LiveMark = 0x9A6E11FEu;

struct Header {
    size_t size; // as asked
    size_t pages;
    uint32_t mark;
};

SRWLOCK Lock = SRWLOCK_INIT;
char* Arena = nullptr;
size_t ArenaSize = 0;
size_t Used = 0; // bytes of the arena handed out so far

bool InArena(const void* p) {
    return Arena && p >= Arena && p < Arena + ArenaSize;
}

LONG CALLBACK ReportFault(EXCEPTION_POINTERS* e) {
    const EXCEPTION_RECORD* r = e->ExceptionRecord;
    if (r->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || r->NumberParameters < 2)
        return EXCEPTION_CONTINUE_SEARCH;
    auto* address = reinterpret_cast<const void*>(r->ExceptionInformation[1]);
    if (!InArena(address)) return EXCEPTION_CONTINUE_SEARCH;
    std::fprintf(stderr, "page heap: %s of freed memory at %p by the code at %p (thread %04lx)\n",
                 r->ExceptionInformation[0] ? "write" : "read", address, r->ExceptionAddress,
                 GetCurrentThreadId());
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_CONTINUE_SEARCH;
}

// Reserves the address space once, 512 MiB or what the process can spare (the
// DLL and the program each have an arena). A page is never handed out twice;
// once the arena is spent, further blocks come from the C runtime unguarded.
void Reserve() {
    for (size_t size = size_t(512) << 20; size >= (size_t(64) << 20) && !Arena; size /= 2) {
        Arena = static_cast<char*>(VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS));
        if (Arena) ArenaSize = size;
    }
    AddVectoredExceptionHandler(1, ReportFault);
}

void* Allocate(size_t size, bool zero) {
    // Room for the header and for rounding the block down to 8.
    size_t pages = (size + sizeof(Header) + 7 + PageSize - 1) / PageSize;
    char* base = nullptr;
    AcquireSRWLockExclusive(&Lock);
    if (!Arena) Reserve();
    if (Arena && Used + pages * PageSize <= ArenaSize) {
        base = Arena + Used;
        Used += pages * PageSize;
    }
    ReleaseSRWLockExclusive(&Lock);
    if (!base || !VirtualAlloc(base, pages * PageSize, MEM_COMMIT, PAGE_READWRITE)) {
        // The arena is spent: the rest of the run goes unguarded, and says so.
        static LONG told = 0;
        if (!InterlockedExchange(&told, 1)) {
            std::fprintf(stderr, "page heap: arena of %u MiB spent, further blocks unguarded\n",
                         static_cast<unsigned>(ArenaSize >> 20));
            std::fflush(stderr);
        }
        void* p = __real_malloc(size ? size : 1);
        if (p && zero) std::memset(p, 0, size);
        return p;
    }
    // Aligned to 8 and as close to the page end as that allows.
    char* user = base + ((pages * PageSize - size) & ~size_t(7));
    auto* h = reinterpret_cast<Header*>(user) - 1;
    h->size = size;
    h->pages = pages;
    h->mark = LiveMark;
    return user; // fresh pages are zero
}

Header* HeaderOf(void* block) {
    auto* h = static_cast<Header*>(block) - 1;
    if (h->mark != LiveMark) {
        std::fprintf(stderr, "page heap: free of %p, which is not a live block\n", block);
        std::fflush(stderr);
        TerminateProcess(GetCurrentProcess(), 3);
    }
    return h;
}

void Release(void* block) {
    Header* h = HeaderOf(block);
    h->mark = 0;
    // The header always lies on the block's first page.
    auto first = reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(h) & ~(PageSize - 1));
    VirtualFree(first, h->pages * PageSize, MEM_DECOMMIT);
}

} // namespace

extern "C" {

void* __wrap_malloc(size_t size) {
    return Allocate(size, false);
}

void* __wrap_calloc(size_t count, size_t size) {
    if (size && count > SIZE_MAX / size) return nullptr;
    return Allocate(count * size, true);
}

void __wrap_free(void* block) {
    if (!block) return;
    if (InArena(block))
        Release(block);
    else
        __real_free(block);
}

void* __wrap_realloc(void* block, size_t size) {
    if (!block) return __wrap_malloc(size);
    if (!InArena(block)) return __real_realloc(block, size);
    size_t old = HeaderOf(block)->size;
    void* grown = __wrap_malloc(size);
    if (grown) {
        std::memcpy(grown, block, old < size ? old : size);
        __wrap_free(block);
    }
    return grown;
}

} // extern "C"
