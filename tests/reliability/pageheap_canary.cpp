// A program with a known fault (a write to a block after its free), linked
// with the page heap, to prove that the page-heap run catches one.
#include <cstdio>
#include <cstdlib>

int main() {
    auto* block = static_cast<unsigned char*>(std::malloc(16));
    std::free(block);
    // volatile: the compiler must not drop the faulty store.
    volatile unsigned char* p = block;
    p[4] = 0x5A;
    std::puts("canary done");
    return 0;
}
