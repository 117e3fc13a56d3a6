// EventThread: the thread of an open port that waits for line events and
// calls the port's hooks for them in a fixed order.
#pragma once

#include "framework/BaseObject.h"
#include "framework/OwnedHandle.h"
#include "framework/WorkerThread.h"
#include <cstdint>

class ComPort;

class EventThread : public BaseObject {
  public:
    // The stop sequence: stop request, wait for the thread, free it.
    void Destroy() override;
    // The wait loop; runs on the event thread.
    virtual DWORD Loop();

    // Calls the hooks (or sends the messages) for LastEvents, by SyncMethod.
    void DispatchEvents();

    ComPort* Owner = nullptr; // not counted
    // Set by the owner's thread to ask the loop to end. Owned here, closed
    // after the thread has ended, so a loop that ended on its own never
    // leaves a dead handle behind for the stop sequence.
    EventHandle StopEvent;
    std::uint16_t LastEvents = 0; // the event thread's alone
    WorkerThread* Thread = nullptr;
};

// Sets the device's event mask from the port's Events and returns a running
// event thread.
EventThread* StartEventThread(ComPort* port);
