// The event thread of an open port: the wait loop, the dispatch of events to
// the port's hooks, and the stop sequence.
//
// Threads: the owner's thread runs StartEventThread and Destroy (the stop
// sequence, from Close); the event thread runs Loop and DispatchEvents, and
// through them the port's event hooks, InputCount and ModemSignals. The owner
// asks the loop to end by setting StopEvent and then waits for the thread to
// end; nothing else passes between them. LastEvents and the wait's OVERLAPPED
// and mask belong to the event thread alone.
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
    port->Device->SetCommMask(port->Handle, EventsToCommMask(port->Events));
    t->Thread = NewThreadWithExecute(RunLoop, t);
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
    BaseObject::Destroy();
}

DWORD EventThread::Loop() {
    ComDevice* device = Owner->Device;
    HANDLE h = Owner->Handle;
    CommWait* wait = new CommWait;
    HANDLE waitList[2] = {StopEvent.Get(), wait->done.Get()};

    bool issued = false; // a wait was started and its end not yet collected
    bool failed = false; // the device cannot be waited on: only stop is left
    int failedWakes = 0;
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
        DWORD r = WaitForMultipleObjects(failed ? 1 : 2, waitList, FALSE, INFINITE);
        if (r != WAIT_OBJECT_0 + 1) break; // stop request, or the wait failed
        issued = false;
        DWORD unused = 0;
        if (device->GetOverlappedResult(h, &wait->overlapped, &unused, FALSE)) {
            failedWakes = 0;
            LastEvents = CommMaskToEvents(wait->mask);
            DispatchEvents();
        } else if (++failedWakes >= FailedWakeLimit) {
            reportFailure();
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

    if (events & ComEvents::RxChar) {
        std::int32_t n = port->InputCount();
        if (n > 0) port->OnRxChar(port, n);
    }
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
