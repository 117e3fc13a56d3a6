// Linked into a test copy of the DLL only (comrelay_win7.dll). Loaded, it
// plays Windows 7's rules for wake masks in its own imports and in those of
// the program that loaded it, and prints each function's first verdict on
// the program's standard output: "wake: NAME 0xMASK passed|rejected".
#include "support/WakeMaskShim.h"

#include <cstdio>

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

// One line per function and verdict, so that a spinning loop does not flood
// the pipe.
void PrintFirst(const char* function, UINT mask, bool rejected) {
    static const char* told[2][8] = {};
    for (const char*& slot : told[rejected]) {
        if (slot == function) return;
        if (slot) continue;
        slot = function;
        char line[96];
        int n = std::snprintf(line, sizeof line, "wake: %s 0x%X %s\n", function, mask,
                              rejected ? "rejected" : "passed");
        DWORD written;
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, static_cast<DWORD>(n), &written, nullptr);
        return;
    }
}

struct Seam {
    Seam() {
        WakeMaskShim::Report = PrintFirst;
        WakeMaskShim::Install(reinterpret_cast<HMODULE>(&__ImageBase));
        WakeMaskShim::Install(GetModuleHandleA(nullptr));
    }
} seam;

} // namespace
