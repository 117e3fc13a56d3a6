// ComPort: one serial port with its settings, its four sub-objects, opening
// and closing, the event hooks, and the data operations.
//
// Threads: the owner's thread calls everything here. The port's event thread
// (comport/EventThread.h) calls ReadInputCount, ModemSignals, TakeLineErrors,
// the event hooks and OnLinkFailure, and reads Handle, Device, FullMask's
// source Events, SyncMethod and NotifyWindow: Open sets them before the
// thread starts, SetSyncMethod refuses while open, and Close changes Handle
// only after the thread has ended. Shared between the two, by interlocked
// access only: InputOverflow and LineErrors (set by a count on either
// thread). Whether a failure has been told is not the port's to know: the
// event thread reports its waits' failure (OnLinkFailure) and the owner
// decides.
// ReadText tells the event thread what it reads (BeginRead, EndRead). Each
// transfer has its own OVERLAPPED and event, so the owner's read or write and
// the event thread's wait may be in flight at once on the one handle.
// A write given a whilePending hook runs on a thread of its own (WriteJob),
// which reads Handle and the text only; the owner's thread runs the hook
// meanwhile, so it may read while its write is in flight, and waits for
// that thread's end before the write returns, so Handle never changes while
// the writer may use it: a hook that wants the port closed must leave that
// until the write has returned.
// Hooks, SyncMethod and NotifyWindow must be set before Open and not change
// while the port is open. Close waits for the event thread to end, so a hook
// running there must not Close, reopen or rename the port. Abandon waits
// only for a hook under way; its teardown thread ends the event thread and
// closes the handle, and reads nothing of the port.
#pragma once

#include "framework/BaseObject.h"
#include "framework/Text.h"
#include <cstdint>
#include <windows.h>

class ComDevice;
class ComPort;
class EventThread;

// Members of the Events set. Bits 10 to 15 are ignored.
struct ComEvents {
    enum : std::uint16_t {
        RxChar = 0x0001,
        TxEmpty = 0x0002,
        RxFlag = 0x0004,
        Ring = 0x0008,
        Break = 0x0010,
        CTS = 0x0020,
        DSR = 0x0040,
        Error = 0x0080,
        RLSD = 0x0100,
        Rx80Full = 0x0200,
        All = 0x03FF,
    };
};

// The ten events with their Win32 values, in the order the hooks hear them.
struct ComEventBit {
    std::uint16_t member;
    DWORD win32;
};
extern const ComEventBit ComEventTable[10];

// The Win32 comm event mask of a set, and back; Win32 bits outside the ten
// (EV_PERR, EV_EVENT1, EV_EVENT2) are dropped.
DWORD EventsToCommMask(std::uint16_t events);
std::uint16_t CommMaskToEvents(DWORD mask);

// The result of ModemSignals.
enum ModemSignal : std::uint8_t { CtsOn = 0x01, DsrOn = 0x02, RingOn = 0x04, RlsdOn = 0x08 };

// SyncMethod values: how the event thread reaches the hooks.
enum : std::uint8_t { SyncThread = 0, SyncWindow = 1, SyncNone = 2 };

// Sent to NotifyWindow under SyncWindow, one per event: wParam is the event's
// Win32 value, lParam 0.
constexpr UINT ComPortEventMessage = WM_USER + 1;

// Value tables, in index order. A setter refuses an index outside its table.
constexpr int BaudRateCount = 16; // index 0 is CustomBaudRate
extern const char* const BaudRateNames[BaudRateCount];
extern const DWORD BaudRateValues[BaudRateCount];
constexpr int DataBitsCount = 4;
extern const char* const DataBitsNames[DataBitsCount];
extern const BYTE DataBitsValues[DataBitsCount];
constexpr int StopBitsCount = 3;
extern const char* const StopBitsNames[StopBitsCount];
extern const BYTE StopBitsValues[StopBitsCount];
constexpr int ParityCount = 5;
extern const char* const ParityNames[ParityCount];
extern const BYTE ParityValues[ParityCount];
constexpr int DtrControlCount = 3;
extern const char* const DtrControlNames[DtrControlCount];
extern const DWORD DtrControlValues[DtrControlCount]; // OR-ed into the DCB flag word
constexpr int RtsControlCount = 4;
extern const char* const RtsControlNames[RtsControlCount];
extern const DWORD RtsControlValues[RtsControlCount]; // OR-ed into the DCB flag word
constexpr int FlowControlPresetCount = 4;
extern const char* const FlowControlPresetNames[FlowControlPresetCount];

// Driver queue sizes (SetupComm). A positive odd size is stored one lower.
class ComBuffer : public BaseObject {
  public:
    ComPort* Port = nullptr;       // not counted; null: the setters only store
    std::int32_t InputSize = 1024; // also gives the DCB's XonLim and XoffLim
    std::int32_t OutputSize = 1024;

    bool SetInputSize(std::int32_t value);
    bool SetOutputSize(std::int32_t value);

  private:
    bool StoreSize(std::int32_t& field, std::int32_t value);
};

class ComParity : public BaseObject {
  public:
    ComPort* Port = nullptr;
    std::uint8_t Bits = 0; // index into ParityValues
    bool Check = false;
    bool Replace = false; // only with Check
    char ReplaceChar = 0;

    bool SetBits(std::uint8_t value);
    bool SetCheck(bool value);
    bool SetReplace(bool value);
    bool SetReplaceChar(char value);
};

// The five COMMTIMEOUTS members, in milliseconds.
class ComTimeouts : public BaseObject {
  public:
    ComPort* Port = nullptr;
    std::uint32_t ReadInterval = MAXDWORD;
    std::uint32_t ReadTotalMultiplier = 0;
    std::uint32_t ReadTotalConstant = 0;
    std::uint32_t WriteTotalMultiplier = 100;
    std::uint32_t WriteTotalConstant = 1000;

    bool SetReadInterval(std::uint32_t value);
    bool SetReadTotalMultiplier(std::uint32_t value);
    bool SetReadTotalConstant(std::uint32_t value);
    bool SetWriteTotalMultiplier(std::uint32_t value);
    bool SetWriteTotalConstant(std::uint32_t value);
};

class ComFlowControl : public BaseObject {
  public:
    ComPort* Port = nullptr;
    bool OutCtsFlow = false;
    bool OutDsrFlow = false;
    std::uint8_t DtrControl = 0; // index into DtrControlValues
    std::uint8_t RtsControl = 0; // index into RtsControlValues
    bool OutX = false;
    bool InX = false;
    bool DsrSensitivity = false;
    bool TxContinueOnXoff = false;
    char XonChar = 0x11;
    char XoffChar = 0x13;

    bool SetOutCtsFlow(bool value);
    bool SetOutDsrFlow(bool value);
    bool SetDtrControl(std::uint8_t value);
    bool SetRtsControl(std::uint8_t value);
    bool SetOutX(bool value);
    bool SetInX(bool value);
    bool SetDsrSensitivity(bool value);
    bool SetTxContinueOnXoff(bool value);
    bool SetXonChar(char value);
    bool SetXoffChar(char value);
};

class ComPort : public BaseObject {
  public:
    // Closes the port, then frees the sub-objects.
    void Destroy() override;
    // Opens "\\.\" + PortName, or takes Adopted; on failure Handle stays
    // invalid and LastOpenError tells why.
    virtual void OpenDevice();
    virtual void CloseDevice();
    // ApplyBuffers, ApplyDcb, ApplyTimeouts; false when the driver refused
    // one of them.
    virtual bool ApplySettings();

    // Opens the device, applies every setting, starts the event thread when
    // Events is not empty, then OnAfterOpen and the three line hooks. When
    // the device cannot be opened, refuses its settings, or its event thread
    // cannot start, the port stays closed and OnError fires instead of
    // OnAfterOpen. Does nothing when Connected.
    void Open();
    // OnBeforeOpenClose and the line hooks with false, then aborts pending
    // transfers, stops the event thread, closes the device, OnAfterClose.
    // Does nothing when not Connected.
    void Close();
    // Closes the port without waiting for its device, which may not answer
    // for seconds (a pulled adapter: its event thread's waits take up to
    // their time-outs to end, and some drivers block CloseHandle): the line
    // hooks with false, OnAfterClose and the port's state go at once, while
    // the event thread's end and the handle's close run on a thread of their
    // own, which holds the port meanwhile. The event thread calls no hook
    // from now on. Returns that thread's handle, the caller's to close (it is
    // signalled once the device's handle is closed); null when nothing was
    // open, or when the teardown ran here for want of a thread.
    HANDLE Abandon();

    // Push one group of settings to the driver; nothing while not Connected.
    // False when the driver refused it.
    bool ApplyBuffers();
    bool ApplyDcb();
    bool ApplyTimeouts();
    // The DCB that ApplyDcb passes, built from the settings alone.
    DCB BuildDcb() const;

    // Synchronous transfers over the overlapped handle. WriteText returns the
    // bytes written; ReadText replaces text with at most count bytes read and
    // returns how many (always 0..count). Under "return at once" read
    // time-outs ReadText takes only what waits. failed, when given, tells
    // whether the device refused the count or the read: bytes may still wait.
    // A write takes the line's time; whilePending, when set, runs on the
    // calling thread every WritePendingMs until the write has completed.
    static constexpr DWORD WritePendingMs = 50;
    std::int32_t WriteText(const Text& text, const EventSlot<void()>& whilePending = {});
    std::int32_t ReadText(Text& text, std::int32_t count, bool* failed = nullptr);
    // Bytes waiting in the driver; also clears the device's error state. A
    // count the driver cannot give is 0; ReadInputCount tells it apart.
    std::int32_t InputCount();
    bool ReadInputCount(std::int32_t& count);
    // The same on a handle of the port's device (the event thread's own copy).
    bool ReadInputCount(HANDLE h, std::int32_t& count);
    // Whether the driver's input queue overflowed (CE_RXOVER, which Windows
    // raises no event for) since the last call; any count may have seen it.
    bool TakeInputOverflow();
    // Whether a count found a line error in the driver's error flags
    // (CE_FRAME, CE_OVERRUN, CE_RXPARITY) since the last call.
    bool TakeLineErrors();
    // CtsOn | DsrOn | RingOn | RlsdOn; 0 when the status cannot be read.
    std::uint8_t ModemSignals();
    // Ends outstanding reads and writes (PurgeComm TXABORT | RXABORT).
    void AbortPendingIo();

    // Setters: an equal value does nothing; a value outside its table is
    // refused; otherwise store and apply the group when Connected. The setter
    // answers false when, and only when, the driver refused the group; the
    // value stays stored (the line still has the old one), for the caller to
    // take back or keep. The sub-objects' setters follow the same rule.
    bool SetBaudRateIndex(std::uint8_t value);
    bool SetCustomBaudRate(std::uint32_t value);
    bool SetDataBitsIndex(std::uint8_t value);
    bool SetStopBitsIndex(std::uint8_t value);
    bool SetDiscardNull(bool value);
    bool SetEventChar(char value);
    // Ignored while Connected.
    void SetSyncMethod(std::uint8_t value);
    // Normalizes to COM1..COM256; a new name on an open port closes and
    // reopens it there. False, with nothing changed, for a text that names
    // no port.
    bool SetPortName(const Text& name);

    // Notifications that Open and Close send through the hooks.
    void NotifyBeforeOpen();
    void NotifyAfterOpen();
    void NotifyBeforeClose();
    void NotifyAfterClose();
    void NotifyLineSignals(bool on);

    ::EventThread* EventThread = nullptr; // exists while open with Events not empty
    bool ThreadCreated = false;
    HANDLE Handle = INVALID_HANDLE_VALUE; // closed only by CloseDevice
    HWND NotifyWindow = nullptr;
    Text LastOpenError;          // Windows-1251
    DWORD LastOpenErrorCode = 0; // GetLastError of the last failed open
    bool Connected = false;
    // Set by any thread's count, taken by TakeInputOverflow and
    // TakeLineErrors (interlocked).
    volatile LONG InputOverflow = 0;
    volatile LONG LineErrors = 0;
    // A handle to PortName that the owner opened elsewhere (a search off its
    // thread): the next Open takes it instead of opening the name, and owns
    // it from then on; Destroy closes one never taken.
    HANDLE Adopted = INVALID_HANDLE_VALUE;
    std::uint8_t BaudRateIndex = 7;
    std::uint32_t CustomBaudRate = 9600;
    Text PortName = "COM1";
    std::uint8_t StopBitsIndex = 0;
    std::uint8_t DataBitsIndex = 3;
    bool DiscardNull = false;
    char EventChar = 0;
    std::uint16_t Events = ComEvents::All; // read at Open only
    ComBuffer* Buffer = nullptr;
    ComParity* Parity = nullptr;
    ComTimeouts* Timeouts = nullptr;
    ComFlowControl* FlowControl = nullptr;
    std::uint8_t SyncMethod = SyncThread;

    // Hooks, called as Handler(Context, this, ...).
    EventSlot<void(std::int32_t)> OnRxChar; // bytes waiting
    EventSlot<void()> OnTxEmpty;
    EventSlot<void()> OnBreak;
    EventSlot<void()> OnRing;
    EventSlot<void(bool)> OnCTSChange;
    EventSlot<void(bool)> OnDSRChange;
    EventSlot<void(bool)> OnRLSDChange;
    EventSlot<void()> OnError; // line errors (folded), a failed open, a wait that keeps failing
    // A wait of the event thread failed (true), or answers again after
    // failures (false); each as it happens, on the event thread, whatever
    // SyncMethod. A port without it hears a run of failures through OnError.
    EventSlot<void(bool)> OnLinkFailure;
    EventSlot<void()> OnRxFlag;
    EventSlot<void()> OnAfterOpen;
    EventSlot<void()> OnAfterClose;
    EventSlot<void()> OnBeforeOpenClose;
    EventSlot<void()> OnRx80Full;

    // The device layer; not owned, outlives the port.
    ComDevice* Device = nullptr;
};

// A closed port on the Win32 device layer, with its sub-objects attached.
ComPort* NewComPort();
// The same on another device layer (tests); device must outlive the port.
ComPort* NewComPort(ComDevice* device);

// Opens a port's device for overlapped I/O, as every open of a port does:
// "\\.\" + name (the prefix reaches ports above COM9), read and write, not
// shared. INVALID_HANDLE_VALUE on failure, the cause in device->GetLastError.
HANDLE OpenPortDevice(ComDevice* device, const Text& name);

// "COM" + a number from 1 to MaxPortNumber, read leniently from a text; the
// empty text when it names no port.
constexpr std::int32_t MaxPortNumber = 256;
Text NormalizePortName(const Text& name);
