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
    // The RxChar step announces RxCount, which the loop has just read.
    void DispatchEvents();
    // Reads the queue count into RxCount; true when bytes came since the
    // last time it answered true.
    bool TakeNewBytes();
    // Owner's thread, around each read from the device: BeginRead before the
    // bytes leave the queue, EndRead with the count once they have. EndRead
    // ends the loop's hold on received bytes that it has announced.
    void BeginRead();
    void EndRead(std::int32_t bytes);

    ComPort* Owner = nullptr; // not counted
    // The device's event mask for the port's Events; set before the thread
    // starts, then read by the loop only.
    DWORD FullMask = 0;
    // Set by the owner's thread to ask the loop to end. Owned here, closed
    // after the thread has ended, so a loop that ended on its own never
    // leaves a dead handle behind for the stop sequence.
    EventHandle StopEvent;
    // Set by the owner's thread as a read ends (EndRead); the loop resets it.
    EventHandle ReadDone;
    // Written by the owner's thread only (interlocked), read by the loop:
    // bytes read since the thread started, and a count bumped as each read
    // begins and again as it ends, so odd while one is under way.
    volatile LONG BytesRead = 0;
    volatile LONG ReadSeq = 0;
    // The event thread's alone:
    std::uint16_t LastEvents = 0;
    std::int32_t RxCount = 0;         // bytes waiting at the last RxChar wake
    std::uint32_t AnnouncedTotal = 0; // BytesRead + waiting, at the last announcement
    WorkerThread* Thread = nullptr;
};

// Sets the device's event mask from the port's Events and returns a running
// event thread; null (and the mask left as it was) when the thread or its
// events could not be created.
EventThread* StartEventThread(ComPort* port);
