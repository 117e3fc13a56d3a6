// Timer: a multimedia timer (timeSetEvent) whose OnTimer runs on the system's
// timer thread, periodic or one-shot. It may be switched from several threads,
// and Stop and Destroy return only when no callback of it can still run.
#pragma once

#include <windows.h>

#include "framework/BaseObject.h"
#include "framework/EventSlot.h"

class Timer : public BaseObject {
  public:
    void Init() override;
    // Stop, then frees the timer. Safe from inside the timer's own OnTimer.
    void Destroy() override;
    // Enabling a running timer does not restart it; a one-shot timer that has
    // fired still counts as running until it is disabled.
    virtual void SetEnabled(bool enabled);
    // Disables the timer for good (a later SetEnabled(true) does nothing) and
    // returns when no callback of it runs on another thread. For an owner
    // that must know that no tick can reach what it frees next. Safe from
    // inside the timer's own OnTimer.
    void Stop();

    UINT TimerId = 0;     // 0: not running
    bool Enabled = false; // last value given to SetEnabled
    UINT Interval = 0;    // milliseconds
    EventSlot<void()> OnTimer;
    UINT Resolution = 0; // milliseconds, handed to timeSetEvent
    BYTE Periodic = 1;   // 1: TIME_PERIODIC, 0: TIME_ONESHOT; set before enabling

  private:
    friend void CALLBACK TimerCallback(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);
    friend struct TimerRegistry;

    CRITICAL_SECTION switchLock_; // serialises SetEnabled and Destroy
    bool dying_ = false;          // Stop has begun: no more arming
    // Guarded by the registry's gate lock (Timer.cpp):
    bool arming_ = false;       // timeSetEvent in progress, ID not stored yet
    DWORD armingThread_ = 0;    // the thread inside that timeSetEvent
    bool fired_ = false;        // a one-shot arming has delivered its tick
    Timer* liveNext_ = nullptr; // the list of timers that callbacks may reach
    Timer* livePrev_ = nullptr;
};

// A periodic timer, not running, with an empty OnTimer.
Timer* NewTimer(UINT interval);
