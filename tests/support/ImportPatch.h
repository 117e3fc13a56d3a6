// Points one import of a loaded module at a stand-in, so that a test can play
// a system call's failure or an older system's rules without touching the
// product's code.
#pragma once

#include <cstring>
#include <windows.h>

// Every import slot of module named name is pointed at replacement. Answers
// the function the slots held before (the real one, also on a second patch
// with the same stand-in), or null when the module does not import name.
inline void* PatchImport(HMODULE module, const char* name, void* replacement) {
    auto* base = reinterpret_cast<BYTE*>(module);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    DWORD imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    void* real = nullptr;
    if (!imports) return real;
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports); d->Name; ++d) {
        auto* entry = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
        auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (; entry->u1.AddressOfData; ++entry, ++slot) {
            if (IMAGE_SNAP_BY_ORDINAL(entry->u1.Ordinal) ||
                std::strcmp(
                    reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + entry->u1.AddressOfData)->Name,
                    name) != 0)
                continue;
            DWORD old;
            VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old);
            if (slot->u1.Function != reinterpret_cast<ULONG_PTR>(replacement))
                real = reinterpret_cast<void*>(slot->u1.Function);
            slot->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(slot, sizeof *slot, old, &old);
        }
    }
    return real;
}
