// Timers that reach windows of the GUI thread from the timer thread, as the
// plug-in's start-up tick does, and a Free that meets such a handler midway.
#include <doctest/doctest.h>

#include "WindowTests.h"
#include "framework/OwnedHandle.h"
#include "framework/Timer.h"

namespace {

struct StartupTick {
    Timer* timer = nullptr;
    WindowObject* form = nullptr;
    HWND host = nullptr;
    volatile LONG ticks = 0;
    static void OnTimer(void* context, BaseObject*) {
        auto* s = static_cast<StartupTick*>(context);
        s->timer->SetEnabled(false);
        SetParent(s->form->Handle, s->host);
        s->form->SetVisible(true);
        InterlockedIncrement(&s->ticks);
    }
};

struct SendingHandler {
    HWND target = nullptr;
    EventHandle entered = NewManualEvent(false);
    volatile LONG answered = 0;
    static void OnTimer(void* context, BaseObject*) {
        auto* s = static_cast<SendingHandler*>(context);
        SetEvent(s->entered.Get());
        Sleep(100);
        // Waits until the GUI thread serves it; that thread is inside Free.
        if (SendMessageA(s->target, WM_APP + 9, 0, 0) == 99) InterlockedExchange(&s->answered, 1);
    }
};

bool Answer99(WindowObject*, MSG& m, LRESULT& result) {
    if (m.message != WM_APP + 9) return false;
    result = 99;
    return true;
}

} // namespace

TEST_CASE("a start-up tick moves a form into the host's window and shows it") {
    HWND host = CreateWindowExA(0, "STATIC", "host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 50, 50, 400,
                                300, nullptr, nullptr, nullptr, nullptr);
    REQUIRE(host != nullptr);
    WindowObject* form = NewForm(nullptr, "Form1");
    form->SetHasBorder(false);
    form->SetClientSize(231, 89);
    form->SetStyle(WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN);
    form->Hide();
    StartupTick tick;
    tick.form = form;
    tick.host = host;
    tick.timer = NewTimer(200);
    tick.timer->OnTimer.Set(StartupTick::OnTimer, &tick);
    AddToAutoFree(form, tick.timer);
    tick.timer->SetEnabled(true);

    // The timer thread's SetParent and ShowWindow wait for this thread.
    for (int i = 0; i < 500 && tick.ticks == 0; ++i) {
        DrainQueue();
        Sleep(10);
    }
    DrainQueue();
    CHECK(tick.ticks == 1);
    CHECK(GetParent(form->Handle) == host);
    CHECK(IsWindowVisible(form->Handle));
    DestroyWindow(host); // takes the form, and the form its timer
    DrainQueue();
}

TEST_CASE("Free of a timer serves the messages its running handler sends meanwhile") {
    WindowObject* form = NewForm(nullptr, "target");
    form->AttachMessageHook(Answer99);
    SendingHandler handler;
    handler.target = form->GetWindowHandle();
    Timer* t = NewTimer(10);
    t->OnTimer.Set(SendingHandler::OnTimer, &handler);
    t->SetEnabled(true);
    REQUIRE(WaitForSingleObject(handler.entered.Get(), 5000) == WAIT_OBJECT_0);
    Free(t);
    CHECK(handler.answered == 1);
    Free(form);
}
