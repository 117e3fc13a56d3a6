// The program's own operator new/delete over the C heap: every allocation is
// zero-filled (new objects rely on it) and no C++ runtime is linked in. Any
// thread may allocate: the C heap has its own lock.
#include <cstddef>
#include <cstdlib>

namespace {

// Constructors write through what they get, and nothing here throws: a heap
// that cannot serve a request ends the program on the spot.
void* ZeroedBlock(std::size_t size) {
    void* p = std::calloc(1, size ? size : 1);
    if (!p) std::abort();
    return p;
}

} // namespace

void* operator new(std::size_t size) {
    return ZeroedBlock(size);
}
void* operator new[](std::size_t size) {
    return ZeroedBlock(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

extern "C" void __cxa_pure_virtual() {
    std::abort();
}
