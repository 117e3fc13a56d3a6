// A host application for the end-to-end tests: a real top-level window that
// hands itself to the plug-in and answers every click with GetFile, as hosts
// do, recording what each notification carried. Hosts pump their messages in
// their own ways; the loop modes below are the ways the plug-in supports, and
// any test can choose one.
#pragma once

#include "host/HostHarness.h"
#include <cstring>
#include <string>
#include <vector>

struct Notification {
    std::string text;  // up to the first zero byte, as a host reads it
    std::string bytes; // a data text up to its closing "#" and zero, zeros kept
    const char* storage = nullptr;
    LPARAM down = 0, up = 0;
    DWORD at = 0; // GetTickCount when the click was handled
};

class TestHost {
  public:
    // How the host takes its messages.
    enum class Loop {
        Thread,     // every message of the thread, as most hosts do
        HostWindow, // only those of its window and its children (the hWnd filter)
    };
    // A job of 50 ms steps: each step posts JobMessage again until the job's
    // time is up, so the queue is never empty meanwhile. JobMessage posted to
    // the window from outside runs one step.
    static constexpr UINT JobMessage = WM_APP + 0x77;

    explicit TestHost(const char* dll = "comrelay.dll") : plugin(dll) {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = Procedure;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "comrelay_test_host";
        wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
        RegisterClassA(&wc);
        window = NewWindow();
    }
    ~TestHost() {
        if (IsWindow(window)) DestroyWindow(window);
        Pump(50);
    }
    TestHost(const TestHost&) = delete;
    TestHost& operator=(const TestHost&) = delete;

    // Another window of this host, answering clicks as the first one does.
    HWND NewWindow() {
        HWND w =
            CreateWindowExA(0, "comrelay_test_host", "host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40,
                            40, 480, 320, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
        SetWindowLongPtrA(w, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        return w;
    }

    // Dispatches the messages that the loop takes for about ms milliseconds,
    // also while the queue never runs dry; Pump(0) takes what is queued. A
    // WM_QUIT is put back for the test, which plays the outermost loop, and
    // ends the pump.
    void Pump(DWORD ms) {
        DWORD end = GetTickCount() + ms;
        do {
            MSG m;
            while ((ms == 0 || static_cast<LONG>(end - GetTickCount()) > 0) &&
                   PeekMessageA(&m, loop == Loop::HostWindow ? window : nullptr, 0, 0, PM_REMOVE)) {
                if (m.message == WM_QUIT) {
                    PostQuitMessage(static_cast<int>(m.wParam));
                    return;
                }
                TranslateMessage(&m);
                DispatchMessageA(&m);
            }
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
        } while (static_cast<LONG>(end - GetTickCount()) > 0);
    }
    void StartJob(DWORD ms) {
        jobEnd = GetTickCount() + ms;
        PostMessageA(window, JobMessage, 0, 0);
    }
    // Pumps until the predicate holds or timeoutMs has passed.
    template <class Predicate> bool PumpUntil(Predicate done, DWORD timeoutMs) {
        DWORD end = GetTickCount() + timeoutMs;
        while (!done()) {
            if (static_cast<LONG>(end - GetTickCount()) <= 0) return false;
            Pump(5);
        }
        return true;
    }
    // Dispatches everything but mouse messages until a click waits in the
    // queue: a host busy with other messages while the click is on its way.
    bool PumpUntilClickQueued(DWORD timeoutMs) {
        DWORD end = GetTickCount() + timeoutMs;
        MSG m;
        for (;;) {
            while (PeekMessageA(&m, nullptr, 0, WM_MOUSEFIRST - 1, PM_REMOVE) ||
                   PeekMessageA(&m, nullptr, WM_MOUSELAST + 1, 0xFFFFFFFF, PM_REMOVE))
                DispatchMessageA(&m);
            if (PeekMessageA(&m, nullptr, WM_LBUTTONDOWN, WM_LBUTTONDOWN, PM_NOREMOVE)) return true;
            if (static_cast<LONG>(end - GetTickCount()) <= 0) return false;
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
        }
    }
    // Waits, without dispatching, for one of the plug-in's private messages,
    // then throws away every one that waits, as a host loop that filters
    // that range away does.
    bool DropPrivate(DWORD timeoutMs = 5000) {
        DWORD end = GetTickCount() + timeoutMs;
        MSG m;
        while (!PeekMessageA(&m, nullptr, WM_APP, 0xBFFF, PM_NOREMOVE)) {
            if (static_cast<LONG>(end - GetTickCount()) <= 0) return false;
            Sleep(5);
        }
        while (PeekMessageA(&m, nullptr, WM_APP, 0xBFFF, PM_REMOVE)) {
        }
        return true;
    }
    bool WaitNotifications(size_t count, DWORD timeoutMs = 5000) {
        return PumpUntil([&] { return received.size() >= count; }, timeoutMs);
    }
    // The texts received so far, in order.
    std::vector<std::string> Texts() const {
        std::vector<std::string> t;
        for (const Notification& n : received)
            t.push_back(n.text);
        return t;
    }

    // Form1 as the host sees it: the plug-in's window inside the host window.
    HWND Form1() const { return FindWindowExA(window, nullptr, "obj_Form", "Form1"); }

    // Hands the window to the plug-in and waits for the start-up move. A host
    // window destroyed before that move would leave Form1 outside it, and the
    // component would then outlive the window.
    bool Adopt() {
        plugin.SetParentWindow(window);
        return PumpUntil([&] { return Form1() != nullptr; }, 5000);
    }

    Plugin plugin;
    HWND window = nullptr;
    std::vector<Notification> received;
    bool answerClicks = true; // false: clicks are counted but GetFile is not called
    int clicks = 0;
    Loop loop = Loop::Thread;
    // Pumps its queue for 100 ms inside its WM_ACTIVATE handler, as a host
    // that stays responsive through a slow refresh does.
    bool dispatchOnActivate = false;

  private:
    static LRESULT CALLBACK Procedure(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
        auto* self = reinterpret_cast<TestHost*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
        if (self && msg == JobMessage) {
            Sleep(50);
            if (static_cast<LONG>(self->jobEnd - GetTickCount()) > 0)
                PostMessageA(hwnd, JobMessage, 0, 0);
            return 0;
        }
        if (self && msg == WM_ACTIVATE && LOWORD(wp) != WA_INACTIVE && self->dispatchOnActivate)
            self->Pump(100);
        if (self && msg == WM_LBUTTONDOWN) {
            ++self->clicks;
            self->lastDown = lp;
            if (self->answerClicks) self->Fetch(lp);
            return 0;
        }
        if (self && msg == WM_LBUTTONUP && !self->received.empty() && self->received.back().up == 0)
            self->received.back().up = lp;
        return DefWindowProcA(hwnd, msg, wp, lp);
    }

  public:
    // What a host does on the click: GetFile and keep the text.
    void Fetch(LPARAM down = 0) {
        Notification n;
        n.storage = plugin.GetFile();
        n.text = n.storage;
        n.bytes = n.text;
        // A data text may hold zero bytes: it ends at the first "#" followed
        // by the terminating zero.
        if (n.text.rfind("str#", 0) == 0) {
            const char* p = n.storage + 4;
            while (!(p[0] == '#' && p[1] == 0))
                ++p;
            n.bytes.assign(n.storage, p + 1);
        }
        n.down = down ? down : lastDown;
        n.at = GetTickCount();
        received.push_back(n);
    }

  private:
    LPARAM lastDown = 0;
    DWORD jobEnd = 0;
};
