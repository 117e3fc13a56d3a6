// A recording device layer for the port's unit tests. It writes into the
// same journal as the hook recorder, so tests see device calls and hooks
// interleaved in the order they happened.
//
// Threads: the test's thread, the port's event thread and (under the plug-in)
// its search thread call the fake; the journal's critical section also
// guards the fake's state. A pending
// WaitCommEvent is completed by Raise (test thread), SetCommMask or
// CancelIo; under levelRxChar it completes at once while bytes wait. Events
// of the mask's kinds that the mask leaves out are not raised.
//
// It can also stand for a device with a name, as the plug-in meets it: opened
// once at a time (exclusive, as on Windows), pulled (the pending wait
// aborted, the old handle failing with a driver's code for good, the name
// gone, replaced, still opening on the dead device, or refused) and plugged
// back (a new device, a new handle), on a clock that runs fastClock times
// faster.
#pragma once

#include "comport/ComDevice.h"
#include "unit/comport_HookJournal.h"

#include <cstring>
#include <deque>

class FakeComDevice final : public ComDevice {
  public:
    static HANDLE DeviceHandle() { return reinterpret_cast<HANDLE>(0x4C0); }

    explicit FakeComDevice(Journal& journal) : journal_(journal) {}

    // --- what the fake answers ---
    DWORD openError = 0;        // CreateFileA fails with this when not 0
    DWORD modemStatus = 0;      // MS_* bits
    DWORD inQueue = 0;          // cbInQue of ClearCommError
    int waitStartFails = 0;     // the next N WaitCommEvent calls fail to start (-1: all)
    int resultFails = 0;        // the next N GetOverlappedResult calls fail (-1: all)
    DWORD readOverReport = 0;   // bytes a read claims beyond what it moved
    bool maskEndsWait = true;   // SetCommMask completes a pending wait with 0
    bool cancelEndsWait = true; // CancelIo completes a pending wait
    bool emptyWakes = false;    // WaitCommEvent completes at once with mask 0
    bool levelRxChar = false;   // ... with EV_RXCHAR while rxData waits, as wine
    bool errorStorm = false;    // ... with EV_ERR, as a line at a wrong baud rate
    bool threadFails = false;   // the event thread cannot be created
    bool waitsFail = false;     // the event thread's waits fail
    bool countFails = false;    // ClearCommError fails
    DWORD commErrors = 0;       // CE_* bits ClearCommError reports, then clears
    bool coarseClock = false;   // as Windows without finer timers: the clock moves in
                                // 15.6 ms steps and a timed wait lasts whole steps
    bool exclusive = true;      // a second CreateFileA fails while a handle is open, as on Windows
    DWORD statusError = 0;      // GetCommModemStatus fails with this when not 0
    bool heldCount = false;     // pulled: ClearCommError still answers from what it held
    DWORD closeBlocks = 0;      // ms a CloseHandle takes (a dead handle's, some drivers')
    DWORD openBlocks = 0;       // ms a CreateFileA takes (a Bluetooth port's)
    DWORD writeBlocks = 0;      // ms a WriteFile takes ("WriteFile done" then)
    DWORD fastClock = 1;        // timed waits last 1/fastClock of their time, and the clock
                                // runs that much faster
    std::string refused;        // "SetupComm", "SetCommState" or "SetCommTimeouts" fails
    std::string rxData;         // what reads deliver
    std::string txData;         // what writes delivered
    std::vector<DCB> dcbs;      // every DCB passed
    std::vector<COMMTIMEOUTS> timeouts;

    // Completes the pending WaitCommEvent with mask, or queues it.
    void Raise(DWORD mask) {
        EnterCriticalSection(&journal_.lock_);
        // Bits outside the ten events pass, as a driver's own would.
        DWORD raised = mask & (mask_ | ~EventsToCommMask(ComEvents::All));
        if (pendingOverlapped_ && (raised || !mask)) {
            *pendingMask_ = raised;
            SetEvent(pendingOverlapped_->hEvent);
            pendingOverlapped_ = nullptr;
        } else if (raised) {
            queued_.push_back(raised);
        }
        LeaveCriticalSection(&journal_.lock_);
    }
    // Completes the pending wait with mask 0; queues nothing.
    void EndPendingWait() {
        EnterCriticalSection(&journal_.lock_);
        if (pendingOverlapped_) Raise(0);
        LeaveCriticalSection(&journal_.lock_);
    }
    // What the name does after a pull: gone until the plug; replaced by a
    // new device at once (held by the old handle until it closes); still
    // opening, on the dead device, until the plug; refused while pulled and,
    // after the plug, for as long as the dead handle stays open.
    enum class PullMode { Gone, Replaced, Opens, Refused };
    // The device is pulled: the pending wait ends aborted, and calls on its
    // handle fail with error from now on, also after the plug.
    void Pull(DWORD error, PullMode mode = PullMode::Gone) {
        EnterCriticalSection(&journal_.lock_);
        bool replaced = mode == PullMode::Replaced;
        goneError_ = error;
        aborted_ = true;
        pullMode_ = mode;
        pulled_ = !replaced;
        generation_ += replaced;
        heldQueue_ = DWORD(rxData.size());
        EndPendingWait();
        LeaveCriticalSection(&journal_.lock_);
    }
    // Plugged back: a new device under the same name, empty, not yet open.
    void Plug() {
        EnterCriticalSection(&journal_.lock_);
        pulled_ = false;
        if (pullMode_ != PullMode::Refused) holder_ = nullptr;
        ++generation_;
        rxData.clear();
        LeaveCriticalSection(&journal_.lock_);
    }
    HANDLE Current() const { return reinterpret_cast<HANDLE>(0x4C0 + 4 * generation_); }
    // Whether a handle holds the name (exclusive).
    bool Held() {
        EnterCriticalSection(&journal_.lock_);
        bool held = holder_ != nullptr;
        LeaveCriticalSection(&journal_.lock_);
        return held;
    }
    bool WaitPending() {
        EnterCriticalSection(&journal_.lock_);
        bool pending = pendingOverlapped_ != nullptr;
        LeaveCriticalSection(&journal_.lock_);
        return pending;
    }

    // --- ComDevice ---
    HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode, DWORD creation,
                       DWORD flags) override {
        journal_.Add("CreateFileA " + std::string(path) + " " + Hex(access) + " " + Hex(shareMode) +
                     " " + Hex(creation) + " " + Hex(flags));
        Sleep(openBlocks);
        EnterCriticalSection(&journal_.lock_);
        bool refused = pullMode_ == PullMode::Refused && (pulled_ || Dead(holder_));
        bool opensDead = pulled_ && pullMode_ == PullMode::Opens;
        DWORD error = openError              ? openError
                      : refused              ? ERROR_ACCESS_DENIED
                      : opensDead            ? 0
                      : pulled_              ? ERROR_FILE_NOT_FOUND
                      : exclusive && holder_ ? ERROR_ACCESS_DENIED
                                             : 0;
        if (!error && !opensDead) holder_ = Current();
        LeaveCriticalSection(&journal_.lock_);
        SetLastError(error);
        return error ? INVALID_HANDLE_VALUE : Current();
    }
    DWORD GetLastError() override { return ::GetLastError(); }
    BOOL CloseHandle(HANDLE h) override {
        journal_.Add("CloseHandle" + Who(h));
        Sleep(closeBlocks);
        EnterCriticalSection(&journal_.lock_);
        if (h == holder_) holder_ = nullptr;
        LeaveCriticalSection(&journal_.lock_);
        return TRUE;
    }
    BOOL SetupComm(HANDLE h, DWORD in, DWORD out) override {
        journal_.Add("SetupComm" + Who(h) + " " + std::to_string(in) + " " + std::to_string(out));
        return !Dead(h) && refused != "SetupComm";
    }
    BOOL SetCommState(HANDLE h, const DCB& dcb) override {
        journal_.Add("SetCommState" + Who(h));
        EnterCriticalSection(&journal_.lock_);
        dcbs.push_back(dcb);
        LeaveCriticalSection(&journal_.lock_);
        return !Dead(h) && refused != "SetCommState";
    }
    BOOL SetCommTimeouts(HANDLE h, const COMMTIMEOUTS& t) override {
        journal_.Add("SetCommTimeouts" + Who(h));
        EnterCriticalSection(&journal_.lock_);
        timeouts.push_back(t);
        LeaveCriticalSection(&journal_.lock_);
        return !Dead(h) && refused != "SetCommTimeouts";
    }
    BOOL SetCommMask(HANDLE h, DWORD mask) override {
        journal_.Add("SetCommMask" + Who(h) + " " + Hex(mask));
        EnterCriticalSection(&journal_.lock_);
        mask_ = mask;
        // As on Windows (and wine): a new mask ends the pending wait with 0.
        if (maskEndsWait) EndPendingWait();
        LeaveCriticalSection(&journal_.lock_);
        return !Dead(h);
    }
    BOOL WaitCommEvent(HANDLE h, DWORD* mask, OVERLAPPED* overlapped) override {
        journal_.Add("WaitCommEvent" + Who(h));
        EnterCriticalSection(&journal_.lock_);
        BOOL result = FALSE;
        // Only the events that the mask holds complete a wait at once.
        DWORD atOnce = 0;
        if (levelRxChar && !rxData.empty()) atOnce |= EV_RXCHAR;
        if (errorStorm) atOnce |= EV_ERR;
        atOnce &= mask_;
        if (Dead(h)) {
        } else if (waitStartFails) {
            if (waitStartFails > 0) --waitStartFails;
            SetLastError(ERROR_INVALID_HANDLE); // and the event stays as it was
        } else if (emptyWakes || atOnce) {
            *mask = emptyWakes ? 0 : atOnce;
            SetEvent(overlapped->hEvent);
            result = TRUE;
        } else if (!queued_.empty()) {
            *mask = queued_.front();
            queued_.pop_front();
            SetEvent(overlapped->hEvent);
            result = TRUE;
        } else {
            ResetEvent(overlapped->hEvent);
            pendingMask_ = mask;
            pendingOverlapped_ = overlapped;
            SetLastError(ERROR_IO_PENDING);
        }
        LeaveCriticalSection(&journal_.lock_);
        return result;
    }
    BOOL PurgeComm(HANDLE h, DWORD flags) override {
        journal_.Add("PurgeComm" + Who(h) + " " + Hex(flags));
        return !Dead(h);
    }
    BOOL ClearCommError(HANDLE h, DWORD* errors, COMSTAT* status) override {
        journal_.Add("ClearCommError" + Who(h));
        // A set inQueue wins; otherwise what reads would deliver, or what a
        // pulled device held.
        EnterCriticalSection(&journal_.lock_);
        bool dead = Dead(h);
        *errors = commErrors;
        commErrors = 0;
        status->cbInQue = dead ? heldQueue_ : inQueue ? inQueue : DWORD(rxData.size());
        LeaveCriticalSection(&journal_.lock_);
        return ((dead && heldCount) || (!dead && h == Current())) && !countFails;
    }
    BOOL GetCommModemStatus(HANDLE h, DWORD* status) override {
        journal_.Add("GetCommModemStatus" + Who(h));
        *status = modemStatus;
        if (statusError && !Dead(h)) SetLastError(statusError);
        return h == Current() && !Dead(h) && !statusError;
    }
    BOOL ReadFile(HANDLE h, void* bytes, DWORD count, DWORD* done,
                  OVERLAPPED* overlapped) override {
        journal_.Add("ReadFile" + Who(h) + " " + std::to_string(count));
        if (h != Current() || Dead(h)) {
            if (!Dead(h)) SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        EnterCriticalSection(&journal_.lock_);
        DWORD n = count < rxData.size() ? count : DWORD(rxData.size());
        if (n) std::memcpy(bytes, rxData.data(), n);
        rxData.erase(0, n);
        LeaveCriticalSection(&journal_.lock_);
        *done = n;
        overlapped->InternalHigh = n + readOverReport;
        SetEvent(overlapped->hEvent);
        return TRUE;
    }
    BOOL WriteFile(HANDLE h, const void* bytes, DWORD count, DWORD* done,
                   OVERLAPPED* overlapped) override {
        journal_.Add("WriteFile" + Who(h) + " " + std::to_string(count));
        if (h != Current() || Dead(h)) {
            if (!Dead(h)) SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        Sleep(writeBlocks);
        if (writeBlocks) journal_.Add("WriteFile done");
        txData.append(static_cast<const char*>(bytes), count);
        *done = count;
        overlapped->InternalHigh = count;
        SetEvent(overlapped->hEvent);
        return TRUE;
    }
    BOOL GetOverlappedResult(HANDLE h, OVERLAPPED* overlapped, DWORD* done, BOOL) override {
        journal_.Add("GetOverlappedResult" + Who(h));
        *done = DWORD(overlapped->InternalHigh);
        EnterCriticalSection(&journal_.lock_);
        bool fails = resultFails != 0 || Dead(h);
        if (resultFails > 0) --resultFails;
        if (aborted_) SetLastError(ERROR_OPERATION_ABORTED);
        aborted_ = false;
        LeaveCriticalSection(&journal_.lock_);
        return !fails;
    }
    BOOL CancelIo(HANDLE h) override {
        journal_.Add("CancelIo" + Who(h));
        if (cancelEndsWait) EndPendingWait();
        return TRUE;
    }

    WorkerThread* StartThread(EventSlot<DWORD()>::HandlerFn handler, void* context) override {
        if (!threadFails) return NewThreadWithExecute(handler, context);
        WorkerThread* none = NewObject<WorkerThread>(); // as NewThread leaves it
        none->Suspended = true;
        return none;
    }
    DWORD WaitForAny(DWORD count, const HANDLE* handles, DWORD timeoutMs) override {
        if (waitsFail) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        if (fastClock > 1 && timeoutMs && timeoutMs != INFINITE)
            timeoutMs = timeoutMs > fastClock ? timeoutMs / fastClock : 1;
        if (coarseClock && timeoutMs && timeoutMs != INFINITE) {
            DWORD r = WaitForMultipleObjects(count, handles, FALSE, 0);
            if (r != WAIT_TIMEOUT) return r;
            // An event ends the wait early; a time-out only at a clock step.
            DWORD until = TickCount() + timeoutMs;
            do {
                r = WaitForMultipleObjects(count, handles, FALSE, 16);
            } while (r == WAIT_TIMEOUT && LONG(TickCount() - until) < 0);
            return r;
        }
        return WaitForMultipleObjects(count, handles, FALSE, timeoutMs);
    }
    DWORD TickCount() override {
        DWORD now = GetTickCount() * fastClock;
        return coarseClock ? DWORD(DWORD(now * 10ull / 156) * 156ull / 10) : now;
    }
    // Bytes arrive: reads deliver them, and a pending wait hears EV_RXCHAR.
    void Arrive(const std::string& bytes) {
        EnterCriticalSection(&journal_.lock_);
        rxData += bytes;
        LeaveCriticalSection(&journal_.lock_);
        Raise(EV_RXCHAR);
    }

  private:
    // Calls on anything but the device handle are marked: a closed port must
    // not reach the device.
    std::string Who(HANDLE h) const { return h == Current() ? "" : "(bad handle)"; }
    // A call on the handle of a pulled device (or of one pulled before) fails
    // with the driver's code.
    bool Dead(HANDLE h) {
        if (!h || !goneError_ || (h == Current() && !pulled_)) return false;
        SetLastError(goneError_);
        return true;
    }

    Journal& journal_;
    std::deque<DWORD> queued_;
    DWORD mask_ = 0;
    DWORD* pendingMask_ = nullptr;
    OVERLAPPED* pendingOverlapped_ = nullptr;
    int generation_ = 0;
    DWORD goneError_ = 0, heldQueue_ = 0;
    HANDLE holder_ = nullptr; // the handle open on the name
    bool pulled_ = false, aborted_ = false;
    PullMode pullMode_ = PullMode::Gone;
};

// The 32-bit flag word of a DCB (the bit fields after BaudRate).
inline DWORD DcbFlags(const DCB& dcb) {
    DWORD flags;
    std::memcpy(&flags, reinterpret_cast<const BYTE*>(&dcb) + 8, sizeof flags);
    return flags;
}

// A port on the fake device, freed with the fixture.
struct FakePort {
    Journal journal;
    FakeComDevice device{journal};
    ComPort* port = NewComPort(&device);
    FakePort() = default;
    FakePort(const FakePort&) = delete;
    FakePort& operator=(const FakePort&) = delete;
    ~FakePort() { Free(port); }
};
