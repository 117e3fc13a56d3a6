// The program's own operator new/delete over the C heap: every allocation is
// zero-filled (new objects rely on it) and no C++ runtime is linked in.
#include <cstddef>
#include <cstdlib>

void* operator new(std::size_t size) {
    return std::calloc(1, size ? size : 1);
}
void* operator new[](std::size_t size) {
    return std::calloc(1, size ? size : 1);
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
