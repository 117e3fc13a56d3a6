// The event thread of an open port: the wait loop, the dispatch of events to
// the port's hooks, and the stop sequence.
//
// Threads: the owner's thread runs StartEventThread, BeginRead and EndRead
// (from ReadText) and Destroy (the stop sequence, from Close); the event
// thread runs Loop and DispatchEvents, and through them the port's event
// hooks, InputCount and ModemSignals. The owner asks the loop to end by
// setting StopEvent and then waits for the thread to end. The one other
// hand-over is the owner's reads: BeginRead and EndRead bump ReadSeq and add
// to BytesRead (interlocked; the loop only reads them), and EndRead sets
// ReadDone (the loop resets it). LastEvents, RxCount, AnnouncedTotal and the
// wait's OVERLAPPED and mask belong to the event thread alone.
//
// EV_RXCHAR comes in two kinds. Windows raises it once per arrival. Wine with
// a real serial port raises it for as long as bytes wait, so a new wait ends
// at once, again and again, until the owner reads; the plug-in reads on a
// 50 ms relay tick, and the loop would burn a core meanwhile. So the loop
// announces only bytes that are new: it keeps the total ever received
// (BytesRead plus bytes waiting) at the last announcement, and calls
// OnRxChar only when that total has changed. A wake that brings nothing new is
// a repeat. Windows can give one repeat in a row (bytes that arrived during
// a dispatch and were counted by it) but never two, since it keeps a single
// pending event while no wait is issued; so the loop reacts only to a second
// repeat in a row. It then pauses before the next wait until the owner reads
// (ReadDone) or RepeatPause has passed. The bytes it leaves unannounced
// meanwhile are already due to be read: the owner was told of the queue and
// its reader batches for 50 ms anyway. Under Windows' behaviour nothing
// changes: every wake that finds new bytes is dispatched at once.
#include "comport/EventThread.h"

#include "comport/ComDevice.h"
#include "comport/ComPort.h"

namespace {

// The OVERLAPPED and mask of the pending WaitCommEvent. The driver writes into
// them when the wait completes (wine does so from a helper thread), so they
// live on the heap and go only once the wait is known to be over.
struct CommWait {
    OVERLAPPED overlapped{};
    DWORD mask = 0;
    // Created signalled; each WaitCommEvent that starts resets it. One that
    // never starts leaves it set, which the loop catches instead of waiting.
    EventHandle done = NewManualEvent(true);
    CommWait() { overlapped.hEvent = done.Get(); }
};

// Consecutive wakes whose result cannot be read before the device is taken
// for failed; a sound device never gives even one.
constexpr int FailedWakeLimit = 8;

// The longest pause after repeated EV_RXCHAR wakes: the plug-in's relay
// batches for as long, so a reader that fetched nothing by then is stalled
// (its bytes stay announced) and one more look costs little.
constexpr DWORD RepeatPause = 50;

// How long a wait may take to end after SetCommMask(h, 0), and again after
// CancelIo, before its storage is left behind rather than freed under it.
constexpr DWORD WaitEndTimeout = 2000;

DWORD RunLoop(void* context, BaseObject*) {
    return static_cast<EventThread*>(context)->Loop();
}

// Dispatch order, with each member's Win32 value for SyncWindow.
struct DispatchStep {
    std::uint16_t member;
    WPARAM win32;
};
constexpr DispatchStep DispatchOrder[] = {
    {ComEvents::RxChar, EV_RXCHAR}, {ComEvents::TxEmpty, EV_TXEMPTY},
    {ComEvents::Break, EV_BREAK},   {ComEvents::Ring, EV_RING},
    {ComEvents::CTS, EV_CTS},       {ComEvents::DSR, EV_DSR},
    {ComEvents::RxFlag, EV_RXFLAG}, {ComEvents::RLSD, EV_RLSD},
    {ComEvents::Error, EV_ERR},     {ComEvents::Rx80Full, EV_RX80FULL},
};

} // namespace

EventThread* StartEventThread(ComPort* port) {
    EventThread* t = NewObject<EventThread>();
    t->Owner = port;
    t->StopEvent = NewManualEvent(false);
    t->ReadDone = NewManualEvent(false);
    if (t->StopEvent && t->ReadDone) {
        port->Device->SetCommMask(port->Handle, EventsToCommMask(port->Events));
        t->Thread = port->Device->StartThread(RunLoop, t);
    }
    if (!t->Thread || !t->Thread->ThreadHandle) {
        // Nothing runs the loop: the stop sequence below has nothing to end.
        Free(t);
        return nullptr;
    }
    return t;
}

void EventThread::Destroy() {
    if (StopEvent) SetEvent(StopEvent.Get());
    Sleep(0);
    if (Thread) {
        Thread->Resume(); // no effect on a running thread
        Thread->WaitFor();
        FreeAndNil(Thread);
    }
    StopEvent.Reset();
    ReadDone.Reset();
    BaseObject::Destroy();
}

void EventThread::BeginRead() {
    InterlockedIncrement(&ReadSeq);
}

void EventThread::EndRead(std::int32_t bytes) {
    if (bytes > 0) InterlockedExchangeAdd(&BytesRead, bytes);
    InterlockedIncrement(&ReadSeq);
    if (bytes > 0) SetEvent(ReadDone.Get());
}

DWORD EventThread::Loop() {
    ComDevice* device = Owner->Device;
    HANDLE h = Owner->Handle;
    CommWait* wait = new CommWait;
    HANDLE waitList[2] = {StopEvent.Get(), wait->done.Get()};

    bool issued = false; // a wait was started and its end not yet collected
    bool failed = false; // the device cannot be waited on: only stop is left
    int failedWakes = 0; // wakes in a row that were unreadable or empty
    int repeats = 0;     // EV_RXCHAR wakes in a row that brought no new bytes
    auto reportFailure = [&] {
        failed = true;
        LastEvents = ComEvents::Error;
        DispatchEvents();
    };
    if (!wait->done) reportFailure(); // nothing to wait on

    for (;;) {
        if (!failed) {
            wait->mask = 0;
            if (device->WaitCommEvent(h, &wait->mask, &wait->overlapped) ||
                device->GetLastError() == ERROR_IO_PENDING) {
                issued = true;
            } else {
                // A request that never started leaves the event signalled:
                // waiting on it again would spin.
                reportFailure();
            }
        }
        DWORD r = device->WaitForAny(failed ? 1 : 2, waitList, INFINITE);
        if (r == WAIT_OBJECT_0) break; // stop request
        if (r != WAIT_OBJECT_0 + 1) {
            // The wait itself failed. Report it once and wait for the stop
            // alone; if even that cannot be waited for, the loop ends here,
            // reported, and the stop sequence finds the thread gone.
            if (failed) break;
            reportFailure();
            continue;
        }
        issued = false;
        DWORD unused = 0;
        std::uint16_t events = 0;
        if (device->GetOverlappedResult(h, &wait->overlapped, &unused, FALSE))
            events = CommMaskToEvents(wait->mask);
        // A wake with nothing set is no fault by itself (a mask change ends
        // the wait so), but a driver that gives nothing else would spin.
        if (!events) {
            if (++failedWakes >= FailedWakeLimit) reportFailure();
            continue;
        }
        failedWakes = 0;
        LastEvents = events;
        if (events & ComEvents::RxChar) {
            if (TakeNewBytes() || RxCount == 0) {
                repeats = 0; // an empty queue: the next wait blocks anyway
            } else {
                LastEvents &= ~ComEvents::RxChar; // announced already
                ++repeats;
            }
        }
        DispatchEvents();
        if (repeats >= 2 && RxCount > 0) {
            // Only a driver that raises EV_RXCHAR while bytes wait gets here.
            HANDLE pauseList[2] = {StopEvent.Get(), ReadDone.Get()};
            if (device->WaitForAny(2, pauseList, RepeatPause) == WAIT_OBJECT_0) break;
        }
    }

    // SetCommMask(h, 0) also ends a pending wait; let it end before its
    // storage goes.
    device->SetCommMask(h, 0);
    bool waitOver = true;
    if (issued && WaitForSingleObject(wait->done.Get(), WaitEndTimeout) != WAIT_OBJECT_0) {
        device->CancelIo(h); // the wait was issued by this thread
        waitOver = WaitForSingleObject(wait->done.Get(), WaitEndTimeout) == WAIT_OBJECT_0;
    }
    device->PurgeComm(h, PURGE_TXCLEAR | PURGE_RXCLEAR);
    // A wait that would not end keeps its storage (and event) for good: a
    // small leak instead of a write into freed memory.
    if (waitOver) delete wait;
    return 0;
}

bool EventThread::TakeNewBytes() {
    // The total is exact only when no read ran across the count: a read that
    // has taken bytes from the queue but not yet added them to BytesRead
    // would make it low, and it could then equal the last one (a full queue
    // read and filled again) and hide new bytes for good. So look again, and
    // after a few tries take the bytes for new.
    ResetEvent(ReadDone.Get());
    bool settled = false;
    LONG read = 0;
    for (int tries = 0; tries < 3 && !settled; ++tries) {
        LONG seq = ReadSeq;
        read = BytesRead;
        RxCount = Owner->InputCount();
        settled = !(seq & 1) && seq == ReadSeq;
    }
    std::uint32_t total = std::uint32_t(read) + std::uint32_t(RxCount);
    // Also new when the total shrank: bytes were discarded unread (a purge),
    // and what waits now cannot be the bytes announced.
    bool fresh = !settled || total != AnnouncedTotal;
    AnnouncedTotal = total;
    return fresh;
}

void EventThread::DispatchEvents() {
    ComPort* port = Owner;
    std::uint16_t events = LastEvents;
    if (port->SyncMethod == SyncWindow) {
        // A bounded send: the window's thread may be the one that is closing
        // the port and waiting for this thread.
        for (const DispatchStep& step : DispatchOrder)
            if (events & step.member)
                SendMessageTimeoutA(port->NotifyWindow, ComPortEventMessage, step.win32, 0,
                                    SMTO_NORMAL, 1000, nullptr);
        return;
    }
    if (port->SyncMethod != SyncThread && port->SyncMethod != SyncNone) return;

    if ((events & ComEvents::RxChar) && RxCount > 0) port->OnRxChar(port, RxCount);
    if (events & ComEvents::TxEmpty) port->OnTxEmpty(port);
    if (events & ComEvents::Break) port->OnBreak(port);
    if (events & ComEvents::Ring) port->OnRing(port);
    if ((events & ComEvents::CTS) && port->OnCTSChange)
        port->OnCTSChange(port, port->ModemSignals() & CtsOn);
    if ((events & ComEvents::DSR) && port->OnDSRChange)
        port->OnDSRChange(port, port->ModemSignals() & DsrOn);
    if (events & ComEvents::RxFlag) port->OnRxFlag(port);
    if ((events & ComEvents::RLSD) && port->OnRLSDChange)
        port->OnRLSDChange(port, port->ModemSignals() & RlsdOn);
    // Line errors are lost data: they must not pass in silence.
    if (events & ComEvents::Error) port->OnError(port);
    if (events & ComEvents::Rx80Full) port->OnRx80Full(port);
}
