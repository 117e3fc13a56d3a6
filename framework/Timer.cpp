// The multimedia Timer: arming and disarming through timeSetEvent and
// timeKillEvent, and the callback that hands each tick to OnTimer.
//
// Threads:
// - the system's multimedia timer thread runs TimerCallback and so OnTimer;
// - any other thread (the GUI thread, a serial event thread, or the timer
//   thread itself from inside OnTimer) may call SetEnabled, and one of them
//   calls Stop or Destroy.
// Locks:
// - switchLock_ (one per timer) serialises SetEnabled and Stop on that
//   timer, so TimerId and Enabled are read and written by one switcher at a
//   time: two racing enables make one timeSetEvent, and a disable always
//   kills the ID that the enable stored. It is held across timeSetEvent and
//   timeKillEvent, which never wait for a callback (no TIME_KILL_SYNCHRONOUS),
//   so a handler that switches its own timer cannot deadlock with it.
// - TimerGate (one for the module) guards the list of live timers, the
//   callback frames and each timer's arming_/fired_ and the TimerId that
//   callbacks compare. It is never held while calling winmm or OnTimer.
// How a tick passes: winmm hands the callback the timer's address. That
// address may already be freed (timeKillEvent does not stop a callback that
// is about to run), so the callback first looks it up in the live list under
// the gate and takes the tick only for a live timer whose current ID it is.
// While another thread is inside timeSetEvent for the timer, the new ID is
// not known yet: the tick waits on ArmingDone (which releases the gate) until
// it is stored; timeSetEvent never waits for a callback, so that ends. A tick
// taken records a frame on its callback's stack; Stop (and Destroy, which
// begins with it) waits until no frame of the timer remains on another
// thread. While it waits it serves messages that other threads send to its
// own (a handler may be inside SendMessage to a window of the stopping
// thread); a handler must not wait for the stopping thread in any other way.
#include "framework/Timer.h"

#include <mmsystem.h>

#include "framework/OwnedHandle.h"

// One tick in progress, on the stack of the thread that runs it.
struct TimerCallbackFrame {
    Timer* timer;
    DWORD threadId;
    HANDLE waiter; // set by a Stop that waits for this frame
    TimerCallbackFrame* next;
};

struct TimerRegistry {
    static void Link(Timer* timer) {
        timer->liveNext_ = live;
        timer->livePrev_ = nullptr;
        if (live) live->livePrev_ = timer;
        live = timer;
    }
    static void Unlink(Timer* timer) {
        if (timer->livePrev_)
            timer->livePrev_->liveNext_ = timer->liveNext_;
        else if (live == timer)
            live = timer->liveNext_;
        if (timer->liveNext_) timer->liveNext_->livePrev_ = timer->livePrev_;
        timer->liveNext_ = timer->livePrev_ = nullptr;
    }
    // Compares addresses only: a freed timer is never dereferenced.
    static bool IsLive(const void* address) {
        for (Timer* t = live; t; t = t->liveNext_)
            if (t == address) return true;
        return false;
    }
    static void Push(TimerCallbackFrame* frame) {
        frame->next = frames;
        frames = frame;
    }
    static void Pop(TimerCallbackFrame* frame) {
        for (TimerCallbackFrame** p = &frames; *p; p = &(*p)->next)
            if (*p == frame) {
                *p = frame->next;
                return;
            }
    }
    // Frames of the timer on other threads; each gets the waiter to signal.
    static int ForeignFrames(const Timer* timer, HANDLE waiter) {
        int n = 0;
        DWORD self = GetCurrentThreadId();
        for (TimerCallbackFrame* f = frames; f; f = f->next)
            if (f->timer == timer && f->threadId != self) {
                f->waiter = waiter;
                ++n;
            }
        return n;
    }

    static Timer* live;
    static TimerCallbackFrame* frames;
};

Timer* TimerRegistry::live = nullptr;
TimerCallbackFrame* TimerRegistry::frames = nullptr;

namespace {

// Statically initialised, so they are ready before any constructor runs.
SRWLOCK TimerGate = SRWLOCK_INIT;
// Signalled under the gate whenever an arming has stored its ID.
CONDITION_VARIABLE ArmingDone = CONDITION_VARIABLE_INIT;

class GateLock {
  public:
    GateLock() { AcquireSRWLockExclusive(&TimerGate); }
    ~GateLock() { ReleaseSRWLockExclusive(&TimerGate); }
    GateLock(const GateLock&) = delete;
    GateLock& operator=(const GateLock&) = delete;
};

class SwitchLock {
  public:
    explicit SwitchLock(CRITICAL_SECTION* cs) : cs_(cs) { EnterCriticalSection(cs_); }
    ~SwitchLock() { LeaveCriticalSection(cs_); }
    SwitchLock(const SwitchLock&) = delete;
    SwitchLock& operator=(const SwitchLock&) = delete;

  private:
    CRITICAL_SECTION* cs_;
};

// Waits for the event while serving messages that other threads send to this
// one: a handler on the timer thread may be inside SendMessage to a window of
// this thread (ShowWindow, SetParent), and would otherwise never return.
void WaitServingSentMessages(HANDLE event) {
    for (;;) {
        DWORD r = MsgWaitForMultipleObjects(1, &event, FALSE, INFINITE, QS_SENDMESSAGE);
        if (r != WAIT_OBJECT_0 + 1) return;
        MSG message;
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

} // namespace

void CALLBACK TimerCallback(UINT id, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
    Timer* timer = reinterpret_cast<Timer*>(user);
    TimerCallbackFrame frame = {timer, GetCurrentThreadId(), nullptr, nullptr};
    EventSlot<void()> onTimer;
    {
        GateLock gate;
        // While an arming is in progress on another thread the new ID is not
        // known yet: this tick may be the new timer's first or a late one of
        // a killed ID, so it waits until the ID is stored.
        while (TimerRegistry::IsLive(timer) && timer->arming_ &&
               timer->armingThread_ != frame.threadId)
            SleepConditionVariableSRW(&ArmingDone, &TimerGate, INFINITE, 0);
        // A stale tick: the timer is gone, or was disarmed (and maybe armed
        // again under a new ID) after winmm picked this tick.
        if (!TimerRegistry::IsLive(timer)) return;
        if (timer->TimerId != id) return;
        if (!timer->Periodic) timer->fired_ = true;
        onTimer = timer->OnTimer;
        TimerRegistry::Push(&frame);
    }
    onTimer(timer);
    // The timer may be freed by now (Destroy from inside OnTimer): only the
    // frame is touched from here on.
    GateLock gate;
    TimerRegistry::Pop(&frame);
    if (frame.waiter) SetEvent(frame.waiter);
}

void Timer::Init() {
    InitializeCriticalSection(&switchLock_);
    GateLock gate;
    TimerRegistry::Link(this);
}

void Timer::SetEnabled(bool enabled) {
    SwitchLock lock(&switchLock_);
    if ((TimerId != 0) == enabled) {
        Enabled = enabled;
        return;
    }
    if (enabled) {
        if (dying_) return;
        {
            GateLock gate;
            arming_ = true;
            armingThread_ = GetCurrentThreadId();
            fired_ = false;
        }
        UINT id =
            timeSetEvent(Interval, Resolution, TimerCallback, reinterpret_cast<DWORD_PTR>(this),
                         (Periodic ? TIME_PERIODIC : TIME_ONESHOT) | TIME_CALLBACK_FUNCTION);
        GateLock gate;
        TimerId = id;
        arming_ = false;
        WakeAllConditionVariable(&ArmingDone);
    } else {
        UINT id = TimerId;
        bool fired;
        {
            GateLock gate;
            TimerId = 0;
            fired = fired_;
            fired_ = false;
        }
        // winmm forgets a one-shot timer once it has fired, and may hand its
        // ID to the next timeSetEvent; killing it again could stop a stranger.
        if (!fired) timeKillEvent(id);
    }
    Enabled = enabled;
}

void Timer::Stop() {
    {
        SwitchLock lock(&switchLock_);
        dying_ = true;
    }
    SetEnabled(false);
    // From here on no new tick gets through: the ID it would carry is no
    // longer the timer's, and no new one is armed. A tick running on another
    // thread finishes first. The one running on this thread, if Stop comes
    // from inside OnTimer, touches nothing of the timer once its handler
    // returns.
    EventHandle waiter;
    for (;;) {
        int running;
        {
            GateLock gate;
            running = TimerRegistry::ForeignFrames(this, waiter.Get());
        }
        if (running == 0) break;
        if (!waiter) {
            // Made only when needed; the next pass hands it to the frames.
            waiter = EventHandle(CreateEventA(nullptr, FALSE, FALSE, nullptr));
            if (!waiter) Sleep(1);
            continue;
        }
        WaitServingSentMessages(waiter.Get());
    }
}

void Timer::Destroy() {
    Stop();
    {
        GateLock gate;
        TimerRegistry::Unlink(this);
    }
    DeleteCriticalSection(&switchLock_);
    BaseObject::Destroy();
}

Timer* NewTimer(UINT interval) {
    Timer* timer = NewObject<Timer>();
    timer->Interval = interval;
    timer->Periodic = 1;
    return timer;
}
