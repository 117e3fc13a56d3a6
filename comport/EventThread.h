// EventThread: the thread of an open port that waits for line events and
// calls the port's hooks for them in a fixed order.
//
// Threads: the owner's thread runs StartEventThread, BeginRead and EndRead
// (from ReadText) and Destroy (the stop sequence, from Close); the event
// thread runs Loop and DispatchEvents, and through them the port's event
// hooks and the port calls listed in ComPort.h. The hand-overs:
// - Stop: the owner sets StopEvent and waits for the thread to end. Every wait
//   and pause of the loop includes StopEvent (only a driver that will not end
//   a wait at a mask change delays it, by a bounded time).
// - Reads: BeginRead and EndRead bump ReadSeq and add to BytesRead
//   (interlocked; the loop only reads them); EndRead sets ReadDone, which the
//   loop waits for while it holds announced bytes and resets as it counts.
// - FullMask and Owner are set before the thread starts and never change.
// LastEvents, RxCount, AnnouncedTotal and the loop's state below belong to
// the event thread alone.
//
// The loop's state, three parts that change independently:
//
// RxPhase, the receive side, with one deadline (RxDue):
//   Listening --bytes announced--> Holding --owner read, queue empty--> Watching
//   Watching --arrival announced--> Holding;  Watching --empty RxWatch--> Listening
//   Holding --queue found empty (purged)--> Listening
//   Listening: EV_RXCHAR and EV_RXFLAG in the mask; RxDue is the quiet look.
//   Holding:   both out of the mask; RxDue is the look again if the owner
//              has not read; the loop also waits for ReadDone.
//   Watching:  both out of the mask; RxDue is the next count of the queue.
//   Holding and Watching happen only when Events holds RxChar.
// ErrorFold, line errors and failure reports (deadline ErrorFoldEnds, armed
// only in Quiet):
//   Open --error, told--> Quiet --ErrorInterval--> Open
//   Quiet: EV_ERR out of the mask; an error found meanwhile (in a wake that
//   carries other events, or in the driver's error flags) joins the one told.
// WaitHealth, whether the device's waits work (deadline WaitsSettle, armed
// only while a wait is pending outside Healthy):
//   Healthy --failed wait--> Retrying(count) --FailureLimit in a row--> Slow
//   Retrying, Slow --events, or a wait pending SettledAfter--> Healthy
//   Healthy has a count of 0 and only Healthy has; no wait is pending in the
//   pause after a failure, which ends as soon as a failing modem status
//   answers again (under wine a wait counts line errors from its start on,
//   so the pause would hide one); Slow retries at the slow pace. The count
//   paces the retries and nothing else: each failed wait, and the first
//   wait that answers after failures, is reported to the owner as it
//   happens (OnLinkFailure true, false), and whether the device fails, and
//   whether it is gone, the owner decides (the plug-in's DeviceLink), from
//   these reports and from its own reads. A port without OnLinkFailure hears
//   FailureLimit failures in a row as one OnError.
//
// Abandon (the owner's thread, from ComPort::Abandon) shuts the owner out:
// afterwards the loop calls no hook and touches no field of the port (it
// counts on Handle, its own copy), so the port may go while the loop ends.
// Gate serialises that with the loop's every use of the port.
#pragma once

#include "framework/BaseObject.h"
#include "framework/OwnedHandle.h"
#include "framework/WorkerThread.h"
#include <cstdint>

class ComPort;

enum class RxPhase : std::uint8_t { Listening, Holding, Watching };
enum class ErrorFold : std::uint8_t { Open, Quiet };
enum class WaitHealth : std::uint8_t { Healthy, Retrying, Slow };

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
    // The loop's uses of the owner, each through the gate: a failed wait
    // (failing) or the first that answers after failures, reported through
    // OnLinkFailure (false when the owner hears none); the owner's line
    // errors; the queue count into RxCount on Handle (false when it fails).
    bool ReportWaits(bool failing);
    bool TakeLineErrors();
    bool ReadInputCount();

    // The owner's thread: from now on the loop calls no hook and reads
    // nothing of the owner. Waits for a hook under way.
    void Abandon();

    ComPort* Owner = nullptr;             // not counted; not read once Abandoned
    HANDLE Handle = INVALID_HANDLE_VALUE; // the device's, set before the thread starts
    SRWLOCK Gate = SRWLOCK_INIT;          // held by the loop while it uses the owner
    bool Abandoned = false;               // under Gate
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
