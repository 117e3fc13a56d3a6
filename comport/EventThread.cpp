// The event thread of an open port: the wait loop, the dispatch of events to
// the port's hooks, and the stop sequence. Its threads and states are set out
// in EventThread.h.
//
// One wake per batch. The owner reads received bytes in batches (the
// plug-in every 50 ms), so once the loop has announced bytes (OnRxChar) it
// holds: it takes EV_RXCHAR out of the device's mask until the owner has read
// (ReadDone), so that further arrivals, which Windows raises one by one and
// wine with a real port raises for as long as bytes wait, do not wake it.
// Line events and errors stay in the mask and come at once. When the owner
// has read, the loop counts the queue: bytes that came since the last count
// are announced at once (the hold goes on). An empty queue ends the hold but
// not yet the mask: in a stream the next bytes come within a relay interval,
// and putting EV_RXCHAR back ends the device's wait and starts another, twice
// a batch (under wine each wait is a thread of its own). So for RxWatch the
// loop counts the queue every RxWatchStep itself, as often as wine's own poll
// looks, and announces an arrival as soon as a wait would have; only a queue
// that stays empty that long gets EV_RXCHAR back, with one more count, since
// an arrival while it was out of the mask raised nothing. The device's wait
// for line events and errors stays pending throughout. If the owner has not
// read within RxRecheck (its tick can be lost: a host loop may drop the
// message), the loop announces the waiting bytes again, announced or not,
// which re-arms it.
// "New" is judged by the total ever received (BytesRead plus bytes waiting),
// which only grows, so reads that race with the count never hide an arrival.
//
// Errors fold. A line that keeps failing (a wrong baud rate makes every byte
// a framing error) raises EV_ERR at every look; after one OnError the loop
// takes EV_ERR out of the mask for ErrorInterval, so the owner hears at most
// one error per interval and the loop does not spin, while bytes go on. A
// failure report folds the same way. Some drivers latch a line error in the
// flags that counting the queue returns (ClearCommError) without raising
// EV_ERR; each count notes them (TakeLineErrors) and the loop tells them as
// it tells EV_ERR.
//
// A failed wait never makes the port deaf. A wait that cannot start, a wake
// whose result cannot be read (wine's poll of the line failed) or a failed
// wait for events is retried after RetryPause, and after FailureLimit of them
// in a row every SlowRetry (at once when a failing modem status answers),
// until the device answers again. Each failure, and the first answer after
// them, is reported to the owner as it happens (OnLinkFailure), which also
// meets failures in its own reads and decides what to tell; a port without
// that hook hears a run of FailureLimit as one OnError. Only a loop that
// cannot even wait for the stop request ends early, reported. A driver that
// cannot count its queue raises no EV_RXCHAR, so while a wait is pending and
// no bytes are followed the loop counts the queue every QuietLook, and a
// count that fails is announced as bytes, for the owner's read to try.
#include "comport/EventThread.h"

#include "comport/ComDevice.h"
#include "comport/ComPort.h"

#include <cassert>

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

// How long announced bytes may wait unread before the loop looks again: a few
// of the plug-in's 50 ms relay intervals.
constexpr DWORD RxRecheck = 150;
// After a read that emptied the queue: how long the loop watches the queue
// itself, one relay interval, and how often it counts (wine's event poll
// looks about once a millisecond, so an arrival is told no later).
constexpr DWORD RxWatch = 50;
constexpr DWORD RxWatchStep = 1;
// At most one OnError per interval: the plug-in's relay interval, so a host
// is told of a failing line no faster than it is given its bytes.
constexpr DWORD ErrorInterval = 50;
// After a failed wait: a short pause, and after FailureLimit in a row a slow
// pace, until the device answers again.
constexpr DWORD RetryPause = 20;
constexpr DWORD SlowRetry = 500;
constexpr int FailureLimit = 3;
// While the modem status fails, a pause after a failed wait looks at it this
// often, as often as wine's own poll of a pending wait does.
constexpr DWORD StatusLook = 1;
// A wait that stays pending this long after failures shows a device that
// answers again: the next failure starts afresh.
constexpr DWORD SettledAfter = 1000;
// While the line is quiet the loop counts the queue itself this often: a
// driver that cannot count its queue raises no EV_RXCHAR either, and bytes
// would wait unseen; the count that fails is announced, so that the owner's
// read tries and tells a failure that persists.
constexpr DWORD QuietLook = 500;
// Wakes with nothing set, in a row, that count as one failure: a mask change
// ends a wait so, but a driver that gives nothing else would spin.
constexpr int EmptyWakeLimit = 8;

// How long a wait may take to end after a mask change, and again after
// CancelIo, before its storage is left behind rather than freed under it.
constexpr DWORD WaitEndTimeout = 2000;

DWORD RunLoop(void* context, BaseObject*) {
    return static_cast<EventThread*>(context)->Loop();
}

// Whether the tick count has reached deadline (wrap-safe).
bool Reached(DWORD now, DWORD deadline) {
    return LONG(now - deadline) >= 0;
}

// The receive events that leave the mask while the loop follows received
// bytes itself: with event character 0, Windows raises EV_RXFLAG for every
// zero byte, so binary data would wake the loop as EV_RXCHAR would.
constexpr DWORD ReceiveEvents = EV_RXCHAR | EV_RXFLAG;

// The loop's state and steps, on the event thread. See EventThread.h for
// the states, their transitions and what holds in each.
class EventLoop {
  public:
    // wait: the storage of the loop's waits, which the loop frees or, when a
    // wait would not end, leaves behind.
    EventLoop(EventThread* t, CommWait* wait)
        : t_(t), device_(t->Owner->Device), h_(t->Handle), wait_(wait), mask_(t->FullMask) {}

    void Run() {
        if (!wait_->done) {
            // Nothing to wait on: report, and wait for the stop alone.
            TellError();
            HANDLE stop = t_->StopEvent.Get();
            device_->WaitForAny(1, &stop, INFINITE);
        } else {
            RunWaits();
        }
        EndWaitForGood();
    }

  private:
    enum Deadline { RxDue, ErrorFoldEnds, WaitsSettle, DeadlineCount };
    struct Due {
        bool armed = false;
        DWORD at = 0;
    };

    void RunWaits() {
        while (!stopping_) {
            HandleDeadlines();
            SettleMask();
            if (stopping_) break;
            if (!issued_ && mask_) {
                IssueWait();
                continue;
            }
            HANDLE list[3] = {t_->StopEvent.Get()};
            DWORD count = 1, device = 0, read = 0;
            if (issued_) list[device = count++] = wait_->done.Get();
            if (rx_ == RxPhase::Holding) list[read = count++] = t_->ReadDone.Get();
            DWORD r = device_->WaitForAny(count, list, Timeout());
            if (r == WAIT_OBJECT_0) break;
            if (r == WAIT_TIMEOUT) continue; // the deadlines are handled at the top
            if (device && r == WAIT_OBJECT_0 + device)
                Collect(false);
            else if (read && r == WAIT_OBJECT_0 + read)
                OwnerRead(false);
            else if (!RetryAfterFailure())
                break;
        }
    }

    // --- the table of deadlines: the wait's time-out and their handling ---

    void Arm(Deadline d, DWORD at) { due_[d] = {true, at}; }
    void Disarm(Deadline d) { due_[d].armed = false; }
    bool IsDue(Deadline d, DWORD now) const { return due_[d].armed && Reached(now, due_[d].at); }

    // The time until the nearest deadline.
    DWORD Timeout() const {
        DWORD now = device_->TickCount();
        LONG best = -1;
        for (const Due& d : due_) {
            if (!d.armed) continue;
            LONG left = LONG(d.at - now);
            if (left < 0) left = 0;
            if (best < 0 || left < best) best = left;
        }
        return best < 0 ? INFINITE : DWORD(best);
    }

    void HandleDeadlines() {
        DWORD now = device_->TickCount();
        if (IsDue(ErrorFoldEnds, now)) EndErrorInterval();
        if (IsDue(WaitsSettle, now)) SetWaits(WaitHealth::Healthy); // pending long enough
        if (IsDue(RxDue, now)) {
            switch (rx_) {
            case RxPhase::Listening:
                Arm(RxDue, now + QuietLook);
                LookAndAnnounce(false);
                break;
            case RxPhase::Holding:
                OwnerRead(true);
                break;
            case RxPhase::Watching:
                WatchStep(now);
                break;
            }
        }
        CheckState();
    }

    // --- the device's mask and wait ---

    // The mask the device should have now.
    DWORD WantedMask() const {
        DWORD want = t_->FullMask;
        if (rx_ != RxPhase::Listening) want &= ~ReceiveEvents;
        if (fold_ == ErrorFold::Quiet) want &= ~DWORD(EV_ERR);
        return want;
    }

    // Gives the device the wanted mask. A new mask ends the pending wait (with
    // mask 0 on Windows, as cancelled under wine); events it caught before
    // that are dispatched.
    void SettleMask() {
        DWORD want = WantedMask();
        if (want == mask_) return;
        device_->SetCommMask(h_, want);
        mask_ = want;
        if (issued_ && AwaitEnd()) Collect(true);
    }

    void IssueWait() {
        wait_->mask = 0;
        if (device_->WaitCommEvent(h_, &wait_->mask, &wait_->overlapped) ||
            device_->GetLastError() == ERROR_IO_PENDING) {
            issued_ = true;
            DWORD now = device_->TickCount();
            if (rx_ == RxPhase::Listening) Arm(RxDue, now + QuietLook);
            if (waits_ != WaitHealth::Healthy) Arm(WaitsSettle, now + SettledAfter);
        } else if (!RetryAfterFailure()) { // a request that never started
            stopping_ = true;
        }
    }

    // Waits for the issued wait to end after a mask change; false when the
    // stop came first or the wait would not end (its storage is then left
    // behind and a new one taken).
    bool AwaitEnd() {
        HANDLE list[2] = {t_->StopEvent.Get(), wait_->done.Get()};
        DWORD r = WaitForMultipleObjects(2, list, FALSE, WaitEndTimeout);
        if (r == WAIT_OBJECT_0 + 1) return true;
        if (r == WAIT_OBJECT_0) {
            stopping_ = true;
            return false;
        }
        device_->CancelIo(h_); // the wait was issued by this thread
        if (WaitForSingleObject(wait_->done.Get(), WaitEndTimeout) == WAIT_OBJECT_0) return true;
        wait_ = new CommWait; // a small leak instead of a write into freed memory
        WaitEnded();
        if (!wait_->done) {
            TellError();
            stopping_ = true;
        }
        return false;
    }

    void WaitEnded() {
        issued_ = false;
        Disarm(WaitsSettle);
    }

    // The issued wait has ended: what it brought. endedHere: the loop's own
    // mask change ended it, so an empty or failed result is no fault.
    void Collect(bool endedHere) {
        WaitEnded();
        DWORD unused = 0;
        bool ok = device_->GetOverlappedResult(h_, &wait_->overlapped, &unused, FALSE);
        std::uint16_t events = ok ? CommMaskToEvents(wait_->mask) : 0;
        if (events) {
            DeviceAnswered();
            Dispatch(events);
        } else if (endedHere) {
            return;
        } else if (!ok || ++emptyWakes_ >= EmptyWakeLimit) {
            emptyWakes_ = 0;
            if (!RetryAfterFailure()) stopping_ = true;
        }
    }

    // Dispatches one wake: RxChar only for bytes not yet announced (or for an
    // empty queue, which no hook hears), Error folded, and with it any line
    // error that the count found.
    void Dispatch(std::uint16_t events) {
        bool rx = events & ComEvents::RxChar;
        bool error = events & ComEvents::Error;
        events &= ~(ComEvents::RxChar | ComEvents::Error);
        if (rx && (CountQueue(false) || t_->RxCount <= 0)) events |= ComEvents::RxChar;
        if (rx && t_->TakeLineErrors()) error = true;
        if (error && FoldError()) events |= ComEvents::Error;
        t_->LastEvents = events;
        t_->DispatchEvents();
    }

    // --- the receive side ---

    void EnterRx(RxPhase next, DWORD now) {
        rx_ = next;
        switch (next) {
        case RxPhase::Listening:
            Arm(RxDue, now + QuietLook);
            break;
        case RxPhase::Holding:
            Arm(RxDue, now + RxRecheck);
            break;
        case RxPhase::Watching:
            watchEnd_ = now + RxWatch;
            Arm(RxDue, now + RxWatchStep);
            break;
        }
    }

    // Counts the queue: true when its bytes are to be announced, being new
    // (or any, when force). Bytes waiting move the receive side to Holding;
    // an empty queue ends a hold.
    bool CountQueue(bool force) {
        if (!(t_->FullMask & EV_RXCHAR)) return false;
        bool fresh = t_->TakeNewBytes();
        DWORD now = device_->TickCount();
        if (t_->RxCount <= 0) {
            if (rx_ == RxPhase::Holding) EnterRx(RxPhase::Listening, now);
            return false;
        }
        bool announce = fresh || force;
        if (announce || rx_ != RxPhase::Holding) EnterRx(RxPhase::Holding, now);
        return announce;
    }

    // The one step that looks at the queue outside a wake: bytes to announce
    // are announced, and line errors that this count (or the owner's) found
    // in the driver's error flags are told, folded as EV_ERR is: some drivers
    // latch them without raising EV_ERR.
    void LookAndAnnounce(bool force) {
        std::uint16_t events = CountQueue(force) ? ComEvents::RxChar : 0;
        if (t_->TakeLineErrors() && FoldError()) events |= ComEvents::Error;
        if (!events) return;
        t_->LastEvents = events;
        t_->DispatchEvents();
    }

    // The owner has read (force: or has not, for RxRecheck). While bytes
    // wait the hold goes on, announcing them again when forced or new; once
    // the queue is empty the loop watches it for RxWatch.
    void OwnerRead(bool force) {
        LookAndAnnounce(force);
        if (rx_ != RxPhase::Listening) return;
        if (!(t_->FullMask & EV_RXCHAR) || (mask_ & EV_RXCHAR)) return;
        EnterRx(RxPhase::Watching, device_->TickCount());
    }

    // A count while watching: an arrival is announced (and held); a queue
    // empty for RxWatch gets the receive events back and is counted once
    // more, since an arrival just before that raised nothing.
    void WatchStep(DWORD now) {
        LookAndAnnounce(false);
        if (rx_ != RxPhase::Watching) return; // bytes wait: the hold goes on
        if (!Reached(now, watchEnd_)) {
            Arm(RxDue, now + RxWatchStep);
            return;
        }
        EnterRx(RxPhase::Listening, now);
        SettleMask();
        if (!stopping_) LookAndAnnounce(false);
    }

    // --- line errors and failure reports: folded to one OnError per interval ---

    // An error to tell: true when it is told now, false when it is folded
    // into one told less than ErrorInterval ago.
    bool FoldError() {
        if (fold_ == ErrorFold::Quiet) return false;
        fold_ = ErrorFold::Quiet; // EV_ERR leaves the mask until the interval ends
        Arm(ErrorFoldEnds, device_->TickCount() + ErrorInterval);
        return true;
    }

    void EndErrorInterval() {
        fold_ = ErrorFold::Open;
        Disarm(ErrorFoldEnds);
    }

    void TellError() {
        t_->LastEvents = ComEvents::Error;
        t_->DispatchEvents();
    }

    // --- the waits' health ---

    // The one place the waits' health changes. The way back to Healthy
    // after failures is reported to the owner.
    void SetWaits(WaitHealth next) {
        if (next == WaitHealth::Healthy) {
            failures_ = 0;
            Disarm(WaitsSettle);
            if (waits_ != WaitHealth::Healthy) t_->ReportWaits(false);
        }
        waits_ = next;
    }

    // A wake with events: the device answers.
    void DeviceAnswered() {
        emptyWakes_ = 0;
        SetWaits(WaitHealth::Healthy);
    }

    // One more failure in a row: report once they persist, pause, then look
    // at the queue (bytes may have come meanwhile). False when the loop must
    // end: the stop came, or even it cannot be waited for.
    bool RetryAfterFailure() {
        ++failures_;
        if (waits_ == WaitHealth::Healthy) SetWaits(WaitHealth::Retrying);
        // An owner that hears each failure decides itself; one that does not
        // hears a run of them as an error, folded into one just told (then
        // at the next try).
        bool reported = t_->ReportWaits(true);
        if (waits_ == WaitHealth::Retrying && failures_ >= FailureLimit &&
            (reported || fold_ == ErrorFold::Open)) {
            if (!reported) FoldError(), TellError();
            SetWaits(WaitHealth::Slow);
        }
        CheckState();
        DWORD r = PauseAfterFailure(failures_ >= FailureLimit ? SlowRetry : RetryPause);
        if (r == WAIT_TIMEOUT) {
            LookAndAnnounce(false);
            return true;
        }
        if (r != WAIT_OBJECT_0 && waits_ != WaitHealth::Slow) TellError();
        stopping_ = true;
        return false;
    }

    // The pause after a failed wait, ended early by the stop. No wait is
    // pending meanwhile, and under wine a wait takes the line's error
    // counters as it starts, so an error in the pause would never be raised.
    // When the modem status fails (wine's waits read it) the pause looks at
    // it every StatusLook and ends once it answers: the next wait starts with
    // the device, and the next line error is raised.
    DWORD PauseAfterFailure(DWORD pause) {
        HANDLE stop = t_->StopEvent.Get();
        DWORD status = 0;
        if (device_->GetCommModemStatus(h_, &status)) return device_->WaitForAny(1, &stop, pause);
        DWORD end = device_->TickCount() + pause;
        for (;;) {
            DWORD now = device_->TickCount();
            DWORD left = Reached(now, end) ? 0 : end - now;
            DWORD step = left < StatusLook ? left : StatusLook;
            DWORD r = device_->WaitForAny(1, &stop, step);
            if (r != WAIT_TIMEOUT || step == left || device_->GetCommModemStatus(h_, &status))
                return r;
        }
    }

    // The invariants of EventThread.h; checked in debug builds.
    void CheckState() const {
        assert((waits_ == WaitHealth::Healthy) == (failures_ == 0));
        assert(!due_[WaitsSettle].armed || (waits_ != WaitHealth::Healthy && issued_));
        assert(due_[ErrorFoldEnds].armed == (fold_ != ErrorFold::Open));
        assert(rx_ == RxPhase::Listening || (due_[RxDue].armed && (t_->FullMask & EV_RXCHAR)));
    }

    // SetCommMask(h, 0) also ends a pending wait; let it end before its
    // storage goes.
    void EndWaitForGood() {
        device_->SetCommMask(h_, 0);
        bool waitOver = true;
        if (issued_ && WaitForSingleObject(wait_->done.Get(), WaitEndTimeout) != WAIT_OBJECT_0) {
            device_->CancelIo(h_);
            waitOver = WaitForSingleObject(wait_->done.Get(), WaitEndTimeout) == WAIT_OBJECT_0;
        }
        device_->PurgeComm(h_, PURGE_TXCLEAR | PURGE_RXCLEAR);
        // A wait that would not end keeps its storage (and event) for good: a
        // small leak instead of a write into freed memory.
        if (waitOver) delete wait_;
    }

    EventThread* t_;
    ComDevice* device_;
    HANDLE h_;
    CommWait* wait_;
    DWORD mask_;            // the device's mask as last set
    bool issued_ = false;   // a wait was started and its end not yet collected
    bool stopping_ = false; // the loop ends
    RxPhase rx_ = RxPhase::Listening;
    DWORD watchEnd_ = 0; // Watching: when the receive events go back
    ErrorFold fold_ = ErrorFold::Open;
    WaitHealth waits_ = WaitHealth::Healthy;
    int failures_ = 0;   // failed waits in a row
    int emptyWakes_ = 0; // wakes in a row with nothing set
    Due due_[DeadlineCount];
};

} // namespace

EventThread* StartEventThread(ComPort* port) {
    EventThread* t = NewObject<EventThread>();
    t->Owner = port;
    t->FullMask = EventsToCommMask(port->Events);
    t->Handle = port->Handle;
    t->StopEvent = NewManualEvent(false);
    t->ReadDone = NewManualEvent(false);
    if (t->StopEvent && t->ReadDone) {
        port->Device->SetCommMask(port->Handle, t->FullMask);
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

// The gate: the loop holds it while it uses the owner, and Abandon takes it
// to shut the owner out, so it waits for a use under way and no use starts
// after it.
namespace {
struct OwnerGate {
    EventThread* t;
    explicit OwnerGate(EventThread* thread) : t(thread) { AcquireSRWLockExclusive(&t->Gate); }
    ~OwnerGate() { ReleaseSRWLockExclusive(&t->Gate); }
    OwnerGate(const OwnerGate&) = delete;
    OwnerGate& operator=(const OwnerGate&) = delete;
};
} // namespace

void EventThread::Abandon() {
    OwnerGate gate(this);
    Abandoned = true;
}

bool EventThread::ReportWaits(bool failing) {
    OwnerGate gate(this);
    if (Abandoned || !Owner->OnLinkFailure) return false;
    Owner->OnLinkFailure(Owner, failing);
    return true;
}

bool EventThread::TakeLineErrors() {
    OwnerGate gate(this);
    return !Abandoned && Owner->TakeLineErrors();
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
    EventLoop(this, new CommWait).Run();
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
        if (!ReadInputCount()) {
            // The driver cannot count: bytes may wait all the same, and only
            // the owner's read can tell (it tries again and tells a failure
            // that persists). Announce them rather than fall silent.
            RxCount = 1;
            return true;
        }
        settled = !(seq & 1) && seq == ReadSeq;
    }
    std::uint32_t total = std::uint32_t(read) + std::uint32_t(RxCount);
    // Also new when the total shrank: bytes were discarded unread (a purge),
    // and what waits now cannot be the bytes announced.
    bool fresh = !settled || total != AnnouncedTotal;
    AnnouncedTotal = total;
    return fresh;
}

bool EventThread::ReadInputCount() {
    OwnerGate gate(this);
    return !Abandoned && Owner->ReadInputCount(Handle, RxCount);
}

void EventThread::DispatchEvents() {
    OwnerGate gate(this);
    if (Abandoned) return;
    ComPort* port = Owner;
    std::uint16_t events = LastEvents;
    if (port->SyncMethod == SyncWindow) {
        // A bounded send: the window's thread may be the one that is closing
        // the port and waiting for this thread.
        for (const ComEventBit& step : ComEventTable)
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
