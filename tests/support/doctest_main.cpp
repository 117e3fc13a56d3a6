// The one main() of every doctest program. Output is unbuffered: a program
// that dies (wine's heap checking stops it at the first corrupt block) still
// shows how far it got.
#define DOCTEST_CONFIG_IMPLEMENT
#include <doctest/doctest.h>

#include <cstdio>

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    return doctest::Context(argc, argv).run();
}
