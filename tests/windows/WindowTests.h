// Helpers shared by the window tests: draining the queue, recording which
// objects were destroyed, and reading back what Win32 reports.
#pragma once

#include <windows.h>

#include <cstring>
#include <string>

#include "framework/MessageLoop.h"
#include "framework/WindowObject.h"

// Handles everything queued for this thread; a WM_QUIT taken on the way is
// reported and forgotten, so that one case does not leak into the next. A
// quit ends a run of ProcessMessages, so the runs go on until none is left.
inline bool DrainQueue() {
    bool quit = false;
    for (;;) {
        QuitReceived = false;
        ProcessMessages(nullptr);
        quit = quit || QuitReceived;
        QuitReceived = false;
        MSG m;
        if (!PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE)) return quit;
        if (m.message == WM_NULL) ProcessMessage(nullptr);
    }
}

inline std::string ClassOf(HWND hwnd) {
    char name[64] = {};
    GetClassNameA(hwnd, name, sizeof name);
    return name;
}

inline DWORD StyleOf(HWND hwnd) {
    return static_cast<DWORD>(GetWindowLongA(hwnd, GWL_STYLE));
}
inline DWORD ExStyleOf(HWND hwnd) {
    return static_cast<DWORD>(GetWindowLongA(hwnd, GWL_EXSTYLE));
}

inline SIZE OuterSize(HWND hwnd) {
    RECT r;
    GetWindowRect(hwnd, &r);
    return {r.right - r.left, r.bottom - r.top};
}

inline SIZE ClientSize(HWND hwnd) {
    RECT r;
    GetClientRect(hwnd, &r);
    return {r.right, r.bottom};
}

// The position of a child window in its parent's client area.
inline POINT PlaceInParent(HWND hwnd) {
    RECT r;
    GetWindowRect(hwnd, &r);
    MapWindowPoints(nullptr, GetParent(hwnd), reinterpret_cast<POINT*>(&r), 2);
    return {r.left, r.top};
}

inline std::string WindowText(HWND hwnd) {
    char text[256] = {};
    GetWindowTextA(hwnd, text, sizeof text);
    return text;
}

// Names of destroyed objects in the order their OnDestroy ran.
struct DestroyJournal {
    std::string order;
    static void Record(void* context, BaseObject* sender);
    void Watch(BaseObject* object, char name);
};

struct Watched {
    DestroyJournal* journal;
    char name;
};

inline void DestroyJournal::Record(void* context, BaseObject*) {
    auto* w = static_cast<Watched*>(context);
    w->journal->order += w->name;
    delete w;
}

inline void DestroyJournal::Watch(BaseObject* object, char name) {
    object->OnDestroy.Set(Record, new Watched{this, name});
}

// Paints the window now, erasing its background first.
inline void PaintNow(HWND hwnd) {
    RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ERASENOW | RDW_UPDATENOW);
}
