// Windows 7's rules for wake masks, played in a module's imports. Headers for
// Windows 8 and later add QS_TOUCH and QS_POINTER to QS_INPUT and QS_ALLINPUT;
// Windows 7 fails a wait or a queue query that names them, at once, so a loop
// built on such a wait spins a core there while wine lets it sleep.
#pragma once

#include "support/ImportPatch.h"

namespace WakeMaskShim {

// QS_KEY ... QS_SENDMESSAGE, QS_RAWINPUT: all that Windows 7 knows.
constexpr UINT Windows7Bits = 0x04FF;

// Calls let through and calls failed as Windows 7 fails them, over every
// module patched. Counted from any thread.
inline LONG Passed = 0, Rejected = 0;
// Told of each call, with its verdict; may be empty.
inline void (*Report)(const char* function, UINT mask, bool rejected) = nullptr;

inline decltype(&MsgWaitForMultipleObjects) RealWait = nullptr;
inline decltype(&MsgWaitForMultipleObjectsEx) RealWaitEx = nullptr;
inline decltype(&GetQueueStatus) RealQueueStatus = nullptr;
inline decltype(&PeekMessageA) RealPeekA = nullptr;
inline decltype(&PeekMessageW) RealPeekW = nullptr;

inline bool Refuses(const char* function, UINT mask) {
    bool refused = (mask & ~Windows7Bits) != 0;
    InterlockedIncrement(refused ? &Rejected : &Passed);
    if (Report) Report(function, mask, refused);
    if (refused) SetLastError(ERROR_INVALID_FLAGS);
    return refused;
}

inline DWORD WINAPI Wait(DWORD count, const HANDLE* handles, BOOL all, DWORD ms, DWORD mask) {
    if (Refuses("MsgWaitForMultipleObjects", mask)) return WAIT_FAILED;
    return RealWait(count, handles, all, ms, mask);
}
inline DWORD WINAPI WaitEx(DWORD count, const HANDLE* handles, DWORD ms, DWORD mask, DWORD flags) {
    if (Refuses("MsgWaitForMultipleObjectsEx", mask)) return WAIT_FAILED;
    return RealWaitEx(count, handles, ms, mask, flags);
}
inline DWORD WINAPI QueueStatus(UINT flags) {
    if (Refuses("GetQueueStatus", flags)) return 0;
    return RealQueueStatus(flags);
}
// PeekMessage names the wake bits in the high word of its removal flags.
inline BOOL WINAPI PeekA(MSG* m, HWND w, UINT first, UINT last, UINT remove) {
    if (Refuses("PeekMessageA", remove >> 16)) return FALSE;
    return RealPeekA(m, w, first, last, remove);
}
inline BOOL WINAPI PeekW(MSG* m, HWND w, UINT first, UINT last, UINT remove) {
    if (Refuses("PeekMessageW", remove >> 16)) return FALSE;
    return RealPeekW(m, w, first, last, remove);
}

template <typename F> void Patch(HMODULE module, const char* name, F* shim, F*& real) {
    if (void* was = PatchImport(module, name, reinterpret_cast<void*>(shim)))
        real = reinterpret_cast<F*>(was);
}

// Points module's waits and queue queries at the rules above.
inline void Install(HMODULE module) {
    Patch(module, "MsgWaitForMultipleObjects", Wait, RealWait);
    Patch(module, "MsgWaitForMultipleObjectsEx", WaitEx, RealWaitEx);
    Patch(module, "GetQueueStatus", QueueStatus, RealQueueStatus);
    Patch(module, "PeekMessageA", PeekA, RealPeekA);
    Patch(module, "PeekMessageW", PeekW, RealPeekW);
}

} // namespace WakeMaskShim
