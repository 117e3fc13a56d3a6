// ComPort: settings and their tables, opening, closing and applying settings,
// the open/close notifications and the synchronous data operations. The
// threads that reach it are set out in ComPort.h.
#include "comport/ComPort.h"

#include "comport/ComDevice.h"
#include "comport/EventThread.h"
#include "framework/OwnedHandle.h"
#include "framework/TextHelpers.h"
#include <cstring>

const char* const BaudRateNames[BaudRateCount] = {
    "Custom", "110",   "300",   "600",   "1200",  "2400",   "4800",   "9600",
    "14400",  "19200", "38400", "56000", "57600", "115200", "128000", "256000"};
const DWORD BaudRateValues[BaudRateCount] = {0,     110,    300,    600,   1200,  2400,
                                             4800,  9600,   14400,  19200, 38400, 56000,
                                             57600, 115200, 128000, 256000};
const char* const DataBitsNames[DataBitsCount] = {"5", "6", "7", "8"};
const BYTE DataBitsValues[DataBitsCount] = {5, 6, 7, 8};
const char* const StopBitsNames[StopBitsCount] = {"1", "1.5", "2"};
const BYTE StopBitsValues[StopBitsCount] = {ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS};
const char* const ParityNames[ParityCount] = {"None", "Odd", "Even", "Mark", "Space"};
const BYTE ParityValues[ParityCount] = {NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY};
const char* const DtrControlNames[DtrControlCount] = {"Disable", "Enable", "Handshake"};
const DWORD DtrControlValues[DtrControlCount] = {0x0000, 0x0010, 0x0020};
const char* const RtsControlNames[RtsControlCount] = {"Disable", "Enable", "Handshake", "Toggle"};
const DWORD RtsControlValues[RtsControlCount] = {0x0000, 0x1000, 0x2000, 0x3000};
const char* const FlowControlPresetNames[FlowControlPresetCount] = {"Hardware", "Software", "None",
                                                                    "Custom"};

const ComEventBit ComEventTable[10] = {
    {ComEvents::RxChar, EV_RXCHAR}, {ComEvents::TxEmpty, EV_TXEMPTY},
    {ComEvents::Break, EV_BREAK},   {ComEvents::Ring, EV_RING},
    {ComEvents::CTS, EV_CTS},       {ComEvents::DSR, EV_DSR},
    {ComEvents::RxFlag, EV_RXFLAG}, {ComEvents::RLSD, EV_RLSD},
    {ComEvents::Error, EV_ERR},     {ComEvents::Rx80Full, EV_RX80FULL},
};

namespace {

// The setter rule: an equal value does nothing; otherwise store it and apply
// its group. A value the driver refuses stays stored (a later apply carries
// it, with the other settings of its group); false tells the caller, who may
// take it back. False only when the driver refused.
template <class T, class Apply> bool Store(T& field, T value, Apply apply) {
    if (field == value) return true;
    field = value;
    return apply();
}

// A table entry; the fields are public, so an index written directly past
// its table falls back to the entry of the initial setting.
template <class T, int N> T Lookup(const T (&table)[N], unsigned index, unsigned fallback) {
    return table[index < N ? index : fallback];
}

// Queue sizes are kept even: a positive odd size loses one.
std::int32_t EvenQueueSize(std::int32_t size) {
    return size > 0 && size % 2 ? size - 1 : size;
}

// The OVERLAPPED of one read or write, with the event that it owns.
struct AsyncRecord {
    OVERLAPPED overlapped{};
    EventHandle event = NewManualEvent(true);
    AsyncRecord() { overlapped.hEvent = event.Get(); }

    // Waits for the request without limit. A failed or aborted request gives
    // the bytes moved until then (and sets failed, if given); no completion
    // at all gives 0.
    DWORD Finish(ComDevice* device, HANDLE h, bool* failed = nullptr) {
        DWORD done = 0;
        bool ok = WaitForSingleObject(event.Get(), INFINITE) == WAIT_OBJECT_0 &&
                  device->GetOverlappedResult(h, &overlapped, &done, FALSE);
        if (failed && !ok) *failed = true;
        return done;
    }
};

// Windows-1251 texts of LastOpenError.
const char NoPortText[] = "\xCD\xE5\xF2 \xEF\xEE\xF0\xF2\xE0";       // "Нет порта"
const char PortBusyText[] = "\xCF\xEE\xF0\xF2 \xE7\xE0\xED\xFF\xF2"; // "Порт занят"

} // namespace

DWORD EventsToCommMask(std::uint16_t events) {
    DWORD mask = 0;
    for (const ComEventBit& e : ComEventTable)
        if (events & e.member) mask |= e.win32;
    return mask;
}

std::uint16_t CommMaskToEvents(DWORD mask) {
    std::uint16_t events = 0;
    for (const ComEventBit& e : ComEventTable)
        if (mask & e.win32) events |= e.member;
    return events;
}

// Read as leniently as hosts write names: "\\.\" and "COM" may lead, in any
// case, then a "+", leading zeros and trailing text are allowed. Digits are
// counted without wrapping, so a long number names no port.
Text NormalizePortName(const Text& name) {
    const char* p = name.Data();
    const char* end = p + name.Length();
    if (end - p >= 4 && Text(p, 4) == Text("\\\\.\\")) p += 4;
    if (end - p >= 3 && UpperCaseAscii(Text(p, 3)) == Text("COM")) p += 3;
    if (p < end && *p == '+') ++p;
    std::int32_t number = 0;
    const char* digits = p;
    for (; p < end && *p >= '0' && *p <= '9'; ++p)
        if ((number = number * 10 + (*p - '0')) > MaxPortNumber) return Text();
    if (p == digits || number < 1) return Text();
    return FormatText("COM%d", {number});
}

HANDLE OpenPortDevice(ComDevice* device, const Text& name) {
    Text path = Text("\\\\.\\") + name;
    return device->CreateFileA(path.Data(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED);
}

ComPort* NewComPort() {
    return NewComPort(Win32ComDevice());
}

ComPort* NewComPort(ComDevice* device) {
    ComPort* port = NewObject<ComPort>();
    port->Device = device;
    port->Parity = NewObject<ComParity>();
    port->Parity->Port = port;
    port->FlowControl = NewObject<ComFlowControl>();
    port->FlowControl->Port = port;
    port->Timeouts = NewObject<ComTimeouts>();
    port->Timeouts->Port = port;
    port->Buffer = NewObject<ComBuffer>();
    port->Buffer->Port = port;
    return port;
}

void ComPort::Destroy() {
    Close();
    if (Adopted != INVALID_HANDLE_VALUE) Device->CloseHandle(Adopted);
    Adopted = INVALID_HANDLE_VALUE;
    FreeAndNil(Buffer);
    FreeAndNil(FlowControl);
    FreeAndNil(Timeouts);
    FreeAndNil(Parity);
    BaseObject::Destroy();
}

// --- settings ---

bool ComPort::SetBaudRateIndex(std::uint8_t value) {
    return value >= BaudRateCount || Store(BaudRateIndex, value, [this] { return ApplyDcb(); });
}
bool ComPort::SetCustomBaudRate(std::uint32_t value) {
    return Store(CustomBaudRate, value, [this] { return ApplyDcb(); });
}
bool ComPort::SetDataBitsIndex(std::uint8_t value) {
    return value >= DataBitsCount || Store(DataBitsIndex, value, [this] { return ApplyDcb(); });
}
bool ComPort::SetStopBitsIndex(std::uint8_t value) {
    return value >= StopBitsCount || Store(StopBitsIndex, value, [this] { return ApplyDcb(); });
}
bool ComPort::SetDiscardNull(bool value) {
    return Store(DiscardNull, value, [this] { return ApplyDcb(); });
}
bool ComPort::SetEventChar(char value) {
    return Store(EventChar, value, [this] { return ApplyDcb(); });
}

void ComPort::SetSyncMethod(std::uint8_t value) {
    // The event thread reads SyncMethod without a lock: frozen while open.
    if (value <= SyncNone && !Connected) SyncMethod = value;
}

bool ComPort::SetPortName(const Text& name) {
    Text normalized = NormalizePortName(name);
    if (normalized.IsEmpty()) return false;
    if (normalized == PortName) return true;
    PortName = normalized;
    if (Connected) {
        Close();
        Open();
    }
    return true;
}

// Compared before rounding: 1025 twice applies twice.
bool ComBuffer::SetInputSize(std::int32_t value) {
    return value == InputSize || StoreSize(InputSize, value);
}
bool ComBuffer::SetOutputSize(std::int32_t value) {
    return value == OutputSize || StoreSize(OutputSize, value);
}
bool ComBuffer::StoreSize(std::int32_t& field, std::int32_t value) {
    field = EvenQueueSize(value);
    return !Port || Port->ApplyBuffers();
}

bool ComParity::SetBits(std::uint8_t value) {
    return value >= ParityCount || Store(Bits, value, [this] { return !Port || Port->ApplyDcb(); });
}
bool ComParity::SetCheck(bool value) {
    return Store(Check, value, [this] { return !Port || Port->ApplyDcb(); });
}
bool ComParity::SetReplace(bool value) {
    return Store(Replace, value, [this] { return !Port || Port->ApplyDcb(); });
}
bool ComParity::SetReplaceChar(char value) {
    return Store(ReplaceChar, value, [this] { return !Port || Port->ApplyDcb(); });
}

bool ComTimeouts::SetReadInterval(std::uint32_t value) {
    return Store(ReadInterval, value, [this] { return !Port || Port->ApplyTimeouts(); });
}
bool ComTimeouts::SetReadTotalMultiplier(std::uint32_t value) {
    return Store(ReadTotalMultiplier, value, [this] { return !Port || Port->ApplyTimeouts(); });
}
bool ComTimeouts::SetReadTotalConstant(std::uint32_t value) {
    return Store(ReadTotalConstant, value, [this] { return !Port || Port->ApplyTimeouts(); });
}
bool ComTimeouts::SetWriteTotalMultiplier(std::uint32_t value) {
    return Store(WriteTotalMultiplier, value, [this] { return !Port || Port->ApplyTimeouts(); });
}
bool ComTimeouts::SetWriteTotalConstant(std::uint32_t value) {
    return Store(WriteTotalConstant, value, [this] { return !Port || Port->ApplyTimeouts(); });
}

bool ComFlowControl::SetOutCtsFlow(bool value) {
    return Store(OutCtsFlow, value, [this] { return !Port || Port->ApplyDcb(); });
}
bool ComFlowControl::SetOutDsrFlow(bool value) {
    return Store(OutDsrFlow, value, [this] { return !Port || Port->ApplyDcb(); });
}
bool ComFlowControl::SetDtrControl(std::uint8_t value) {
    return value >= DtrControlCount ||
           Store(DtrControl, value, [this] { return !Port || Port->ApplyDcb(); });
}
bool ComFlowControl::SetRtsControl(std::uint8_t value) {
    return value >= RtsControlCount ||
           Store(RtsControl, value, [this] { return !Port || Port->ApplyDcb(); });
}
bool ComFlowControl::SetOutX(bool value) {
    return Store(OutX, value, [this] { return !Port || Port->ApplyDcb(); });
}
bool ComFlowControl::SetInX(bool value) {
    return Store(InX, value, [this] { return !Port || Port->ApplyDcb(); });
}
bool ComFlowControl::SetDsrSensitivity(bool value) {
    return Store(DsrSensitivity, value, [this] { return !Port || Port->ApplyDcb(); });
}
bool ComFlowControl::SetTxContinueOnXoff(bool value) {
    return Store(TxContinueOnXoff, value, [this] { return !Port || Port->ApplyDcb(); });
}
bool ComFlowControl::SetXonChar(char value) {
    return Store(XonChar, value, [this] { return !Port || Port->ApplyDcb(); });
}
bool ComFlowControl::SetXoffChar(char value) {
    return Store(XoffChar, value, [this] { return !Port || Port->ApplyDcb(); });
}

// --- opening and closing ---

void ComPort::Open() {
    if (Connected) return;
    LineErrors = 0; // no event thread runs yet
    NotifyBeforeOpen();
    OpenDevice();
    if (Handle == INVALID_HANDLE_VALUE) {
        // No device: stay closed rather than pretend, and say so.
        OnError(this);
        return;
    }
    Connected = true;
    if (!ApplySettings()) {
        // A line at the wrong rate or format would pass wrong bytes behind an
        // open that looks fine: fail as a missing device does.
        CloseDevice();
        Connected = false;
        OnError(this);
        return;
    }
    ThreadCreated = false;
    if (Events & ComEvents::All) {
        EventThread = StartEventThread(this);
        if (!EventThread) {
            // Open without its thread the port would never hear a byte:
            // fail as a missing device does.
            CloseDevice();
            Connected = false;
            OnError(this);
            return;
        }
        ThreadCreated = true;
    }
    NotifyAfterOpen();
}

void ComPort::Close() {
    if (!Connected) return;
    NotifyBeforeClose();
    AbortPendingIo();
    if (ThreadCreated) {
        // Returns only after the thread has ended: it never sees a closed handle.
        FreeAndNil(EventThread);
        ThreadCreated = false;
    }
    CloseDevice();
    Connected = false;
    NotifyAfterClose();
}

namespace {

// What a teardown off the owner's thread ends: the event thread first, so
// that nothing waits on the handle as it closes. It reads nothing of the
// port, which may be gone meanwhile; the device layer outlives every port.
struct Teardown {
    ComDevice* device;
    ::EventThread* events;
    HANDLE handle;

    static DWORD WINAPI Run(void* context) {
        auto* job = static_cast<Teardown*>(context);
        job->End();
        delete job;
        return 0;
    }
    void End() {
        device->PurgeComm(handle, PURGE_TXABORT | PURGE_RXABORT);
        Free(events); // returns once the thread has ended
        device->CloseHandle(handle);
    }
};

} // namespace

HANDLE ComPort::Abandon() {
    if (!Connected) return nullptr;
    NotifyBeforeClose();
    if (EventThread) EventThread->Abandon();
    auto* job = new Teardown{Device, EventThread, Handle};
    EventThread = nullptr;
    ThreadCreated = false;
    Handle = INVALID_HANDLE_VALUE;
    Connected = false;
    HANDLE thread = CreateThread(nullptr, 0, Teardown::Run, job, 0, nullptr);
    if (!thread) Teardown::Run(job);
    NotifyAfterClose();
    return thread;
}

void ComPort::OpenDevice() {
    if (Adopted != INVALID_HANDLE_VALUE) {
        Handle = Adopted;
        Adopted = INVALID_HANDLE_VALUE;
        return;
    }
    Handle = OpenPortDevice(Device, PortName);
    if (Handle != INVALID_HANDLE_VALUE) return;
    LastOpenErrorCode = Device->GetLastError();
    switch (LastOpenErrorCode) {
    case 0:
        LastOpenError = Text();
        break;
    case ERROR_FILE_NOT_FOUND:
        LastOpenError = NoPortText;
        break;
    case ERROR_ACCESS_DENIED:
        LastOpenError = PortBusyText;
        break;
    default:
        break;
    }
}

void ComPort::CloseDevice() {
    if (Handle != INVALID_HANDLE_VALUE) Device->CloseHandle(Handle);
    Handle = INVALID_HANDLE_VALUE;
}

bool ComPort::ApplySettings() {
    // Each group is pushed even when one before it failed, as the setters do.
    bool buffers = ApplyBuffers();
    bool dcb = ApplyDcb();
    bool timeouts = ApplyTimeouts();
    return buffers && dcb && timeouts;
}

bool ComPort::ApplyBuffers() {
    if (!Connected) return true;
    return Device->SetupComm(Handle, DWORD(Buffer->InputSize), DWORD(Buffer->OutputSize)) != FALSE;
}

bool ComPort::ApplyTimeouts() {
    if (!Connected) return true;
    COMMTIMEOUTS t;
    t.ReadIntervalTimeout = Timeouts->ReadInterval;
    t.ReadTotalTimeoutMultiplier = Timeouts->ReadTotalMultiplier;
    t.ReadTotalTimeoutConstant = Timeouts->ReadTotalConstant;
    t.WriteTotalTimeoutMultiplier = Timeouts->WriteTotalMultiplier;
    t.WriteTotalTimeoutConstant = Timeouts->WriteTotalConstant;
    return Device->SetCommTimeouts(Handle, t) != FALSE;
}

bool ComPort::ApplyDcb() {
    if (!Connected) return true;
    return Device->SetCommState(Handle, BuildDcb()) != FALSE;
}

DCB ComPort::BuildDcb() const {
    static_assert(sizeof(DCB) == 28, "the flag word sits at offset 8 of a 28-byte DCB");
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = BaudRateIndex == 0 ? CustomBaudRate : Lookup(BaudRateValues, BaudRateIndex, 7);

    const ComParity& p = *Parity;
    const ComFlowControl& f = *FlowControl;
    bool replace = p.Check && p.Replace;
    DWORD flags = 0x0001; // fBinary: Windows supports no other mode
    if (p.Check) flags |= 0x0002;
    if (f.OutCtsFlow) flags |= 0x0004;
    if (f.OutDsrFlow) flags |= 0x0008;
    flags |= Lookup(DtrControlValues, f.DtrControl, 0);
    if (f.DsrSensitivity) flags |= 0x0040;
    if (f.TxContinueOnXoff) flags |= 0x0080;
    if (f.OutX) flags |= 0x0100;
    if (f.InX) flags |= 0x0200;
    if (replace) flags |= 0x0400;
    if (DiscardNull) flags |= 0x0800;
    flags |= Lookup(RtsControlValues, f.RtsControl, 0);
    // The bit fields fBinary..fDummy2 form the 32-bit word after BaudRate.
    std::memcpy(reinterpret_cast<BYTE*>(&dcb) + 8, &flags, sizeof flags);

    WORD limit = WORD(Buffer->InputSize / 4);
    dcb.XonLim = limit;
    dcb.XoffLim = limit;
    dcb.ByteSize = Lookup(DataBitsValues, DataBitsIndex, 3);
    dcb.Parity = Lookup(ParityValues, p.Bits, 0);
    dcb.StopBits = Lookup(StopBitsValues, StopBitsIndex, 0);
    dcb.XonChar = f.XonChar;
    dcb.XoffChar = f.XoffChar;
    dcb.ErrorChar = replace ? p.ReplaceChar : 0;
    dcb.EvtChar = EventChar;
    return dcb;
}

// --- notifications ---

void ComPort::NotifyBeforeOpen() {
    OnBeforeOpenClose(this);
}

void ComPort::NotifyAfterOpen() {
    OnAfterOpen(this);
    NotifyLineSignals(true);
}

void ComPort::NotifyBeforeClose() {
    OnBeforeOpenClose(this);
    NotifyLineSignals(false);
}

void ComPort::NotifyAfterClose() {
    OnAfterClose(this);
}

void ComPort::NotifyLineSignals(bool on) {
    // Each line is read afresh, and only for a hook that will hear it.
    if (OnCTSChange) OnCTSChange(this, on && (ModemSignals() & CtsOn));
    if (OnDSRChange) OnDSRChange(this, on && (ModemSignals() & DsrOn));
    if (OnRLSDChange) OnRLSDChange(this, on && (ModemSignals() & RlsdOn));
}

// --- data ---

namespace {

// A write with a hook runs on a thread of its own, and the caller's thread
// waits for that thread's end: wine completes an overlapped write to a serial
// port inside WriteFile for as long as the device takes bytes, where Windows
// returns at once, so only then is the caller's thread free for the hook.
struct WriteJob {
    ComPort* port;
    const Text* text;
    std::int32_t count = 0;
    static DWORD Run(void* context, BaseObject*) {
        auto* job = static_cast<WriteJob*>(context);
        job->count = job->port->WriteText(*job->text);
        return 0;
    }
};

} // namespace

std::int32_t ComPort::WriteText(const Text& text, const EventSlot<void()>& whilePending) {
    if (whilePending) {
        WriteJob job{this, &text};
        WorkerThread* writer = Device->StartThread(WriteJob::Run, &job);
        if (writer->ThreadHandle) {
            while (WaitForSingleObject(writer->ThreadHandle, WritePendingMs) == WAIT_TIMEOUT)
                whilePending(this);
            Free(writer);
            return job.count;
        }
        Free(writer); // no thread: the write runs here, without the hook
    }
    HANDLE h = Handle;
    AsyncRecord record;
    // Without its own event the request would signal the device handle
    // instead, and could complete after this frame is gone.
    if (!record.event) return 0;
    DWORD done = 0;
    if (!Device->WriteFile(h, text.Data(), DWORD(text.Length()), &done, &record.overlapped) &&
        Device->GetLastError() != ERROR_IO_PENDING)
        return 0; // never started: nothing will complete
    return std::int32_t(record.Finish(Device, h));
}

std::int32_t ComPort::ReadText(Text& text, std::int32_t count, bool* failed) {
    bool ignored = false;
    if (!failed) failed = &ignored;
    *failed = false;
    if (count < 0) count = 0;
    // Under "return at once" time-outs a read can only take what waits. Wine
    // nevertheless leaves such an overlapped read pending on an empty queue
    // until bytes come, which would block the caller without limit: so take
    // no more than waits, and read nothing when nothing waits.
    if (count > 0 && Timeouts->ReadInterval == MAXDWORD && Timeouts->ReadTotalMultiplier == 0 &&
        Timeouts->ReadTotalConstant == 0) {
        std::int32_t waiting = 0;
        *failed = !ReadInputCount(waiting);
        if (count > waiting) count = waiting;
    }
    if (count == 0) {
        text = Text();
        return 0;
    }
    HANDLE h = Handle;
    text.SetLength(count);
    AsyncRecord record;
    DWORD done = 0;
    ::EventThread* events = EventThread;
    if (events) events->BeginRead(); // the event thread counts what arrives
    if (record.event &&
        (Device->ReadFile(h, text.MutableData(), DWORD(count), &done, &record.overlapped) ||
         Device->GetLastError() == ERROR_IO_PENDING))
        done = record.Finish(Device, h, failed);
    else
        done = 0, *failed = true;
    // Whatever the driver reports, the text never claims bytes it did not get.
    std::int32_t n = done > DWORD(count) ? count : std::int32_t(done);
    text.SetLength(n);
    if (events) events->EndRead(n);
    return n;
}

std::int32_t ComPort::InputCount() {
    std::int32_t count = 0;
    ReadInputCount(count);
    return count;
}

bool ComPort::ReadInputCount(std::int32_t& count) {
    return ReadInputCount(Handle, count);
}

bool ComPort::ReadInputCount(HANDLE h, std::int32_t& count) {
    DWORD errors = 0;
    COMSTAT status;
    std::memset(&status, 0, sizeof status);
    count = 0;
    if (!Device->ClearCommError(h, &errors, &status)) return false;
    // The call clears the driver's error state: a lost byte must be noted
    // now, whichever thread counted.
    if (errors & CE_RXOVER) InterlockedExchange(&InputOverflow, 1);
    // Some drivers latch a line error here without raising EV_ERR, and the
    // next count would clear it unseen.
    if (errors & (CE_FRAME | CE_OVERRUN | CE_RXPARITY)) InterlockedExchange(&LineErrors, 1);
    count = status.cbInQue > 0x7FFFFFFF ? 0x7FFFFFFF : std::int32_t(status.cbInQue);
    return true;
}

bool ComPort::TakeInputOverflow() {
    return InterlockedExchange(&InputOverflow, 0) != 0;
}

bool ComPort::TakeLineErrors() {
    return LineErrors && InterlockedExchange(&LineErrors, 0) != 0;
}

std::uint8_t ComPort::ModemSignals() {
    DWORD status = 0;
    if (!Device->GetCommModemStatus(Handle, &status)) return 0;
    std::uint8_t signals = 0;
    if (status & MS_CTS_ON) signals |= CtsOn;
    if (status & MS_DSR_ON) signals |= DsrOn;
    if (status & MS_RING_ON) signals |= RingOn;
    if (status & MS_RLSD_ON) signals |= RlsdOn;
    return signals;
}

void ComPort::AbortPendingIo() {
    Device->PurgeComm(Handle, PURGE_TXABORT | PURGE_RXABORT);
}
