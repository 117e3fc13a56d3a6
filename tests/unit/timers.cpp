// Multimedia timers: arming rules, periodic and one-shot ticks, switching from
// two threads, and freeing a timer whose callback runs or is about to run.
// Waits are generous (seconds) so that a busy machine does not fail them.
#include <doctest/doctest.h>

#include <windows.h>

#include "framework/OwnedHandle.h"
#include "framework/Timer.h"

// The callback that winmm calls; a test plays winmm with it.
void CALLBACK TimerCallback(UINT id, UINT message, DWORD_PTR user, DWORD_PTR, DWORD_PTR);

namespace {

struct Ticks {
    volatile LONG count = 0;
    EventHandle tick = EventHandle(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    static void OnTimer(void* context, BaseObject*) {
        auto* t = static_cast<Ticks*>(context);
        InterlockedIncrement(&t->count);
        SetEvent(t->tick.Get());
    }
    bool WaitFor(LONG n, DWORD timeoutMs = 5000) {
        DWORD start = GetTickCount();
        while (count < n) {
            if (GetTickCount() - start > timeoutMs) return false;
            WaitForSingleObject(tick.Get(), 50);
        }
        return true;
    }
};

Timer* NewCountingTimer(UINT interval, Ticks* ticks, bool periodic) {
    Timer* t = NewTimer(interval);
    t->Periodic = periodic ? 1 : 0;
    t->OnTimer.Set(Ticks::OnTimer, ticks);
    return t;
}

// A handler that stays inside the callback for a while.
struct SlowHandler {
    EventHandle entered = NewManualEvent(false);
    volatile LONG left = 0;
    static void OnTimer(void* context, BaseObject*) {
        auto* s = static_cast<SlowHandler*>(context);
        SetEvent(s->entered.Get());
        Sleep(300);
        InterlockedExchange(&s->left, 1);
    }
};

// A handler that frees its own timer.
struct SelfFreeing {
    EventHandle done = NewManualEvent(false);
    volatile LONG calls = 0;
    static void OnTimer(void* context, BaseObject* sender) {
        auto* s = static_cast<SelfFreeing*>(context);
        InterlockedIncrement(&s->calls);
        Free(sender);
        SetEvent(s->done.Get());
    }
};

// The relay pattern: a one-shot timer disarmed by its own tick.
struct Relay {
    Timer* timer = nullptr;
    volatile LONG ticks = 0;
    static void OnTimer(void* context, BaseObject*) {
        auto* r = static_cast<Relay*>(context);
        r->timer->SetEnabled(false);
        InterlockedIncrement(&r->ticks);
    }
};

struct Arming {
    Relay* relay;
    volatile LONG* stop;
};

DWORD WINAPI ArmRepeatedly(void* p) {
    auto* a = static_cast<Arming*>(p);
    while (!*a->stop) {
        a->relay->timer->SetEnabled(true);
        Sleep(1);
    }
    return 0;
}

// Late ticks of one timer ID, delivered as winmm would deliver a tick that it
// had picked just before the ID was killed.
struct LateTicks {
    Timer* timer;
    UINT id;
    volatile LONG stop;
};

DWORD WINAPI DeliverLateTicks(void* p) {
    auto* late = static_cast<LateTicks*>(p);
    while (!late->stop)
        TimerCallback(late->id, 0, reinterpret_cast<DWORD_PTR>(late->timer), 0, 0);
    return 0;
}

} // namespace

TEST_CASE("a new timer is periodic and stopped; enabling twice arms it once") {
    Ticks ticks;
    Timer* t = NewTimer(200);
    CHECK(t->Interval == 200);
    CHECK(t->Periodic == 1);
    CHECK(t->TimerId == 0);
    CHECK_FALSE(t->Enabled);
    CHECK(t->Resolution == 0);
    t->SetEnabled(true);
    UINT id = t->TimerId;
    CHECK(id != 0);
    CHECK(t->Enabled);
    t->SetEnabled(true);
    CHECK(t->TimerId == id);
    t->SetEnabled(false);
    CHECK(t->TimerId == 0);
    CHECK_FALSE(t->Enabled);
    t->SetEnabled(false); // disabling a stopped timer does nothing
    CHECK(t->TimerId == 0);
    Free(t);
}

TEST_CASE("a periodic timer ticks until it is disabled") {
    Ticks ticks;
    Timer* t = NewCountingTimer(20, &ticks, true);
    t->SetEnabled(true);
    CHECK(ticks.WaitFor(5));
    t->SetEnabled(false);
    LONG after = ticks.count;
    Sleep(300);
    CHECK(ticks.count == after);
    Free(t);
}

TEST_CASE("a one-shot timer fires once, and again only after a disable") {
    Ticks ticks;
    Timer* t = NewCountingTimer(30, &ticks, false);
    t->SetEnabled(true);
    CHECK(ticks.WaitFor(1));
    Sleep(300);
    CHECK(ticks.count == 1);
    // Fired, but still counts as running: enabling does nothing.
    CHECK(t->TimerId != 0);
    t->SetEnabled(true);
    Sleep(300);
    CHECK(ticks.count == 1);
    t->SetEnabled(false);
    t->SetEnabled(true);
    CHECK(ticks.WaitFor(2));
    Sleep(200);
    CHECK(ticks.count == 2);
    Free(t);
}

TEST_CASE("Free of a running timer stops it before the memory goes") {
    Ticks ticks;
    Timer* t = NewCountingTimer(5, &ticks, true);
    t->SetEnabled(true);
    REQUIRE(ticks.WaitFor(3));
    Free(t);
    LONG after = ticks.count;
    Sleep(300);
    CHECK(ticks.count == after);
}

TEST_CASE("Free waits for a callback of the timer that is running") {
    SlowHandler slow;
    Timer* t = NewTimer(10);
    t->OnTimer.Set(SlowHandler::OnTimer, &slow);
    t->SetEnabled(true);
    REQUIRE(WaitForSingleObject(slow.entered.Get(), 5000) == WAIT_OBJECT_0);
    Free(t);
    CHECK(slow.left == 1);
}

TEST_CASE("Stop waits for a running callback and keeps the timer from arming again") {
    SlowHandler slow;
    Timer* t = NewTimer(10);
    t->OnTimer.Set(SlowHandler::OnTimer, &slow);
    t->SetEnabled(true);
    REQUIRE(WaitForSingleObject(slow.entered.Get(), 5000) == WAIT_OBJECT_0);
    t->Stop();
    CHECK(slow.left == 1);
    CHECK(t->TimerId == 0);
    t->SetEnabled(true);
    CHECK(t->TimerId == 0);
    Free(t);
}

TEST_CASE("a handler may free its own timer") {
    SelfFreeing self;
    Timer* t = NewTimer(10);
    t->OnTimer.Set(SelfFreeing::OnTimer, &self);
    t->SetEnabled(true);
    CHECK(WaitForSingleObject(self.done.Get(), 5000) == WAIT_OBJECT_0);
    Sleep(200);
    CHECK(self.calls == 1);
}

TEST_CASE("a one-shot relay armed from one thread and disarmed by its tick ends idle") {
    Relay relay;
    relay.timer = NewTimer(2);
    relay.timer->Periodic = 0;
    relay.timer->OnTimer.Set(Relay::OnTimer, &relay);
    volatile LONG stop = 0;
    Arming arming{&relay, &stop};
    HANDLE thread = CreateThread(nullptr, 0, ArmRepeatedly, &arming, 0, nullptr);
    REQUIRE(thread != nullptr);
    // The GUI thread switches it as well.
    DWORD start = GetTickCount();
    while (GetTickCount() - start < 1500) {
        relay.timer->SetEnabled((GetTickCount() & 1) != 0);
        Sleep(3);
    }
    InterlockedExchange(&stop, 1);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CHECK(relay.ticks > 10);
    // One last arming: its tick disarms the timer, and nothing is left behind.
    relay.timer->SetEnabled(false);
    LONG before = relay.ticks;
    relay.timer->SetEnabled(true);
    for (int i = 0; i < 500 && relay.ticks == before; ++i)
        Sleep(10);
    CHECK(relay.ticks == before + 1);
    Sleep(100);
    CHECK(relay.timer->TimerId == 0);
    CHECK_FALSE(relay.timer->Enabled);
    Free(relay.timer);
}

TEST_CASE("a late tick of a killed ID is refused, also while a new ID is being armed") {
    Ticks ticks;
    // No tick of its own comes within the test: every one counted is late.
    Timer* t = NewCountingTimer(600000, &ticks, true);
    t->SetEnabled(true);
    t->SetEnabled(false);
    // winmm may hand a killed ID out again, and a tick of the ID the timer
    // holds is its own; so the late ticks carry one that it never holds.
    LateTicks late{t, 0x7FFFFFF0u, 0};
    HANDLE thread = CreateThread(nullptr, 0, DeliverLateTicks, &late, 0, nullptr);
    REQUIRE(thread != nullptr);
    bool held = false;
    DWORD start = GetTickCount();
    while (GetTickCount() - start < 1500) {
        t->SetEnabled(true);
        held = held || t->TimerId == late.id;
        t->SetEnabled(false);
    }
    InterlockedExchange(&late.stop, 1);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    REQUIRE_FALSE(held);
    CHECK(ticks.count == 0);
    Free(t);
}
