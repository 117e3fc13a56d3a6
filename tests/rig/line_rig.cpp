// The serial line rig itself, proven with raw Win32 calls on \\.\COM1: bytes
// both ways, EV_RXCHAR once per arrival, the far end's lines, DTR/RTS, line
// settings, error counters and an error storm, the busy, missing and
// pulled-out ports, a port that opens once, and a line paced at its baud
// rate with its input queue.
#include <doctest/doctest.h>

#include "framework/OwnedHandle.h"
#include "support/PeerClient.h"

#include <optional>
#include <string>

namespace {

constexpr DWORD kAllEvents = EV_RXCHAR | EV_RXFLAG | EV_TXEMPTY | EV_CTS | EV_DSR | EV_RLSD |
                             EV_BREAK | EV_ERR | EV_RING | EV_RX80FULL;
constexpr DWORD kLong = 5000; // for what must happen: generous on a busy machine
constexpr DWORD kQuiet = 500; // for what must not: fifty rounds of wine's event poll

struct LineSetup {
    DWORD baud = 9600;
    BYTE byteSize = 8;
    BYTE parity = NOPARITY;
    BYTE stopBits = ONESTOPBIT;
    bool xonXoff = false;
    bool ctsRts = false;
};

// One COM port opened for overlapped I/O, as the serial component will.
class Port {
  public:
    explicit Port(int n) {
        std::string name = "\\\\.\\COM" + std::to_string(n);
        handle_.Reset(CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
        openError_ = handle_ ? 0 : GetLastError();
    }
    // Wine writes the event mask into mask_ when a wait ends, so no wait may
    // outlive it: an empty mask ends the wait, then let it finish.
    ~Port() {
        if (waiting_) {
            SetCommMask(handle_.Get(), 0);
            WaitForSingleObject(waitDone_.Get(), kLong);
        }
    }
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    HANDLE Get() const { return handle_.Get(); }
    bool Opened() const { return handle_.Valid(); }
    DWORD OpenError() const { return openError_; }

    bool Configure(const LineSetup& s = LineSetup()) {
        DCB dcb = {};
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(Get(), &dcb)) return false;
        dcb.BaudRate = s.baud;
        dcb.ByteSize = s.byteSize;
        dcb.Parity = s.parity;
        dcb.StopBits = s.stopBits;
        dcb.fBinary = TRUE;
        dcb.fParity = s.parity != NOPARITY;
        dcb.fOutxCtsFlow = s.ctsRts;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDtrControl = DTR_CONTROL_DISABLE;
        dcb.fRtsControl = s.ctsRts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_DISABLE;
        dcb.fOutX = dcb.fInX = s.xonXoff;
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
        dcb.XonLim = 100;
        dcb.XoffLim = 100;
        dcb.fNull = FALSE;
        dcb.fAbortOnError = FALSE;
        if (!SetCommState(Get(), &dcb)) return false;
        // Reads return at once with whatever has arrived.
        COMMTIMEOUTS t = {MAXDWORD, 0, 0, 0, 5000};
        return SetCommTimeouts(Get(), &t) && SetCommMask(Get(), kAllEvents);
    }

    bool StartWait() {
        mask_ = 0;
        ResetEvent(waitDone_.Get());
        waitOv_ = OVERLAPPED{};
        waitOv_.hEvent = waitDone_.Get();
        if (WaitCommEvent(Get(), &mask_, &waitOv_)) {
            waiting_ = true; // done already; the event is set as well
            return true;
        }
        waiting_ = GetLastError() == ERROR_IO_PENDING;
        return waiting_;
    }
    // Whether the pending wait ended within ms; *ok says whether it succeeded.
    bool WaitEnded(DWORD ms, BOOL* ok = nullptr) {
        if (WaitForSingleObject(waitDone_.Get(), ms) != WAIT_OBJECT_0) return false;
        DWORD unused = 0;
        BOOL result = GetOverlappedResult(Get(), &waitOv_, &unused, FALSE);
        if (ok) *ok = result;
        waiting_ = false;
        return true;
    }
    DWORD Events() const { return mask_; }

    bool Write(const std::string& bytes) {
        EventHandle done = NewManualEvent(false);
        OVERLAPPED ov = {};
        ov.hEvent = done.Get();
        DWORD n = 0;
        if (!WriteFile(Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &n, &ov)) {
            if (GetLastError() != ERROR_IO_PENDING) return false;
            if (!GetOverlappedResult(Get(), &ov, &n, TRUE)) return false;
        }
        return n == bytes.size();
    }

    // Collects up to want bytes: what has arrived, then what comes within ms.
    std::string Read(size_t want, DWORD ms) {
        std::string got;
        DWORD start = GetTickCount();
        while (got.size() < want) {
            char buf[16384];
            DWORD n = 0;
            if (!ReadOnce(buf, sizeof buf < want - got.size() ? sizeof buf : want - got.size(), &n))
                break;
            got.append(buf, n);
            if (n == 0) {
                if (GetTickCount() - start >= ms) break;
                Sleep(10);
            }
        }
        return got;
    }
    bool ReadOnce(char* buf, size_t size, DWORD* n) {
        EventHandle done = NewManualEvent(false);
        OVERLAPPED ov = {};
        ov.hEvent = done.Get();
        if (ReadFile(Get(), buf, static_cast<DWORD>(size), n, &ov)) return true;
        return GetLastError() == ERROR_IO_PENDING && GetOverlappedResult(Get(), &ov, n, TRUE);
    }

    // The input count as ClearCommError reports it, or -1 when the call fails.
    long InQueue() {
        DWORD errors = 0;
        COMSTAT stat = {};
        return ClearCommError(Get(), &errors, &stat) ? static_cast<long>(stat.cbInQue) : -1;
    }

  private:
    FileHandle handle_;
    DWORD openError_ = 0;
    EventHandle waitDone_ = NewManualEvent(false);
    OVERLAPPED waitOv_ = {};
    DWORD mask_ = 0;
    bool waiting_ = false;
};

// What the program wrote, as the peer sees it, up to want bytes within ms.
std::string PeerRead(PeerClient& peer, int n, size_t want, DWORD ms) {
    std::string got;
    DWORD start = GetTickCount();
    while (got.size() < want && GetTickCount() - start < ms)
        got += peer.Read(n, static_cast<int>(want - got.size()), 500);
    return got;
}

std::string AllByteValues() {
    std::string s;
    for (int i = 0; i < 256; i++)
        s += static_cast<char>(i);
    return s + std::string("\0\0a\0", 4);
}

} // namespace

TEST_CASE("COM1 reaches the rig's pty: bytes cross both ways unchanged, zeros included") {
    PeerClient peer;
    REQUIRE(peer.Ping());
    REQUIRE(peer.Attach(1));
    Port port(1);
    REQUIRE(port.Opened());
    REQUIRE(port.Configure());
    const std::string bytes = AllByteValues();

    REQUIRE(port.Write(bytes));
    CHECK(PeerRead(peer, 1, bytes.size(), kLong) == bytes);

    REQUIRE(peer.Write(1, bytes));
    CHECK(port.Read(bytes.size(), kLong) == bytes);
}

// The relay reads only when EV_RXCHAR says so. A missed arrival would leave
// the tail of a stream unread for good, so a whole stream must come through.
TEST_CASE("a reader driven by EV_RXCHAR alone gets whole streams, in order") {
    struct Row {
        long count;
        int chunk, gapMs; // chunk 0: as fast as the line takes it
    };
    const Row rows[] = {{1000000, 0, 0}, {100000, 333, 1}};
    PeerClient peer;
    REQUIRE(peer.Attach(1));
    Port port(1);
    REQUIRE(port.Configure());
    for (const Row& row : rows) {
        CAPTURE(row.chunk);
        const int seed = 5 + row.chunk;
        REQUIRE((row.chunk ? peer.StreamPaced(1, row.count, row.chunk, row.gapMs, seed)
                           : peer.Stream(1, row.count, seed)));
        std::string got;
        while (got.size() < static_cast<size_t>(row.count)) {
            REQUIRE(port.StartWait());
            if (!port.WaitEnded(kLong)) break; // stalled: reported below
            REQUIRE(port.Events() == EV_RXCHAR);
            got += port.Read(static_cast<size_t>(row.count) - got.size(), 0);
        }
        REQUIRE(got.size() == static_cast<size_t>(row.count));
        long wrong = 0;
        for (long i = 0; i < row.count; i++)
            wrong += static_cast<unsigned char>(got[i]) != PeerClient::PatternByte(seed, i);
        CHECK(wrong == 0);
        PeerClient::StreamState stream = peer.StreamWait(1, kLong);
        CHECK(stream.done);
        CHECK(stream.sent == row.count);
    }
}

TEST_CASE("EV_RXCHAR is raised once per arrival, not while old bytes wait unread") {
    PeerClient peer;
    REQUIRE(peer.Attach(1));
    Port port(1);
    REQUIRE(port.Configure());

    REQUIRE(port.StartWait());
    CHECK_FALSE(port.WaitEnded(kQuiet));
    REQUIRE(peer.Write(1, "ab"));
    REQUIRE(port.WaitEnded(kLong));
    CHECK(port.Events() == EV_RXCHAR);

    // "ab" stays unread: a new wait must not end for it.
    REQUIRE(port.StartWait());
    CHECK_FALSE(port.WaitEnded(kQuiet));
    REQUIRE(peer.Write(1, "c"));
    REQUIRE(port.WaitEnded(kLong));
    CHECK(port.Events() == EV_RXCHAR);

    CHECK(port.InQueue() == 3); // ClearCommError's count stays exact
    CHECK(port.Read(3, kLong) == "abc");

    // Bytes that come while no wait is pending are reported by the next one.
    REQUIRE(peer.Write(1, "d"));
    Sleep(100);
    REQUIRE(port.StartWait());
    REQUIRE(port.WaitEnded(kLong));
    CHECK(port.Events() == EV_RXCHAR);
    CHECK(port.Read(1, kLong) == "d");

    REQUIRE(port.StartWait());
    CHECK_FALSE(port.WaitEnded(kQuiet));

    // Purged bytes were never read; the next arrival, smaller, still counts.
    REQUIRE(peer.Write(1, "xyz"));
    REQUIRE(port.WaitEnded(kLong));
    REQUIRE(PurgeComm(port.Get(), PURGE_RXCLEAR));
    CHECK(port.InQueue() == 0);
    REQUIRE(port.StartWait());
    REQUIRE(peer.Write(1, "q"));
    REQUIRE(port.WaitEnded(kLong));
    CHECK(port.Events() == EV_RXCHAR);
    CHECK(port.Read(1, kLong) == "q");
}

TEST_CASE("the far end's lines raise their events and show in GetCommModemStatus") {
    struct Row {
        const char* name;
        bool cts, dsr, ring, rlsd;
        DWORD event, status;
    };
    const Row rows[] = {
        {"CTS", true, false, false, false, EV_CTS, MS_CTS_ON},
        {"DSR", false, true, false, false, EV_DSR, MS_DSR_ON},
        {"RING", false, false, true, false, EV_RING, MS_RING_ON},
        {"RLSD", false, false, false, true, EV_RLSD, MS_RLSD_ON},
    };
    PeerClient peer;
    for (const Row& row : rows) {
        CAPTURE(row.name);
        REQUIRE(peer.Attach(1));
        Port port(1);
        REQUIRE(port.Configure());
        DWORD status = 0xFFFF;
        REQUIRE(GetCommModemStatus(port.Get(), &status));
        CHECK(status == 0);

        REQUIRE(port.StartWait());
        REQUIRE(peer.SetLines(1, row.cts, row.dsr, row.ring, row.rlsd));
        REQUIRE(port.WaitEnded(kLong));
        CHECK(port.Events() == row.event);
        REQUIRE(GetCommModemStatus(port.Get(), &status));
        CHECK(status == row.status);

        REQUIRE(port.StartWait());
        REQUIRE(peer.SetLines(1, false, false, false, false));
        REQUIRE(port.WaitEnded(kLong));
        CHECK(port.Events() == row.event);
    }
}

TEST_CASE("error counters bumped by the peer raise EV_ERR and EV_BREAK") {
    struct Row {
        const char* kind;
        DWORD event;
    };
    const Row rows[] = {
        {"frame", EV_ERR}, {"overrun", EV_ERR}, {"parity", EV_ERR}, {"break", EV_BREAK}};
    PeerClient peer;
    REQUIRE(peer.Attach(1));
    Port port(1);
    REQUIRE(port.Configure());
    for (const Row& row : rows) {
        CAPTURE(row.kind);
        REQUIRE(port.StartWait());
        REQUIRE(peer.Error(1, row.kind));
        REQUIRE(port.WaitEnded(kLong));
        CHECK(port.Events() == row.event);
    }
}

TEST_CASE("a storm raises EV_ERR at every wait; a mask without EV_ERR keeps the wait") {
    PeerClient peer;
    REQUIRE(peer.Attach(1));
    Port port(1);
    REQUIRE(port.Configure());
    REQUIRE(peer.Storm(1, true));
    for (int i = 0; i < 5; ++i) {
        REQUIRE(port.StartWait());
        REQUIRE(port.WaitEnded(kLong));
        CHECK(port.Events() == EV_ERR);
    }
    REQUIRE(SetCommMask(port.Get(), kAllEvents & ~EV_ERR));
    REQUIRE(port.StartWait());
    CHECK_FALSE(port.WaitEnded(kQuiet));
    REQUIRE(peer.Write(1, "x")); // the rest of the mask still wakes it
    REQUIRE(port.WaitEnded(kLong));
    CHECK(port.Events() == EV_RXCHAR);
    // A new mask ends a pending wait; wine reports it as failed.
    REQUIRE(port.StartWait());
    REQUIRE(SetCommMask(port.Get(), kAllEvents));
    BOOL ok = TRUE;
    REQUIRE(port.WaitEnded(kLong, &ok));
    CHECK((ok == FALSE || port.Events() == 0));
    REQUIRE(peer.Storm(1, false));
    REQUIRE(SetCommMask(port.Get(), kAllEvents));
    port.Read(1, 0);
    REQUIRE(port.StartWait());
    CHECK_FALSE(port.WaitEnded(kQuiet));
}

TEST_CASE("the peer sees DTR and RTS as EscapeCommFunction sets them") {
    struct Row {
        DWORD function;
        bool dtr, rts;
    };
    const Row rows[] = {
        {SETDTR, true, false}, {SETRTS, true, true}, {CLRDTR, false, true}, {CLRRTS, false, false}};
    PeerClient peer;
    REQUIRE(peer.Attach(1));
    Port port(1);
    REQUIRE(port.Configure());
    PeerClient::Lines lines = peer.GetLines(1);
    REQUIRE(lines.ok);
    CHECK_FALSE(lines.dtr);
    CHECK_FALSE(lines.rts);
    for (const Row& row : rows) {
        CAPTURE(row.function);
        REQUIRE(EscapeCommFunction(port.Get(), row.function));
        lines = peer.GetLines(1);
        REQUIRE(lines.ok);
        CHECK(lines.dtr == row.dtr);
        CHECK(lines.rts == row.rts);
    }
}

TEST_CASE("the peer reads back the line settings of SetCommState") {
    struct Row {
        LineSetup setup;
        int baud, csize;
        bool parenb, parodd, cstopb, ixon, crtscts;
    };
    const Row rows[] = {
        {{19200, 7, EVENPARITY, TWOSTOPBITS, false, false},
         19200,
         7,
         true,
         false,
         true,
         false,
         false},
        {{9600, 8, NOPARITY, ONESTOPBIT, false, false}, 9600, 8, false, false, false, false, false},
        {{115200, 6, ODDPARITY, ONESTOPBIT, true, false},
         115200,
         6,
         true,
         true,
         false,
         true,
         false},
        {{38400, 8, NOPARITY, ONESTOPBIT, false, true}, 38400, 8, false, false, false, false, true},
    };
    PeerClient peer;
    REQUIRE(peer.Attach(1));
    Port port(1);
    REQUIRE(port.Opened());
    for (const Row& row : rows) {
        CAPTURE(row.setup.baud);
        REQUIRE(port.Configure(row.setup));
        PeerClient::LineSettings t = peer.Termios(1);
        REQUIRE(t.ok);
        CHECK(t.baud == row.baud);
        CHECK(t.csize == row.csize);
        CHECK(t.parenb == row.parenb);
        CHECK(t.parodd == row.parodd);
        CHECK(t.cstopb == row.cstopb);
        CHECK(t.ixon == row.ixon);
        CHECK(t.ixoff == row.ixon);
        CHECK(t.crtscts == row.crtscts);
    }
}

TEST_CASE("a busy port is refused as in use, a detached one is missing") {
    PeerClient peer;
    REQUIRE(peer.Attach(2));
    REQUIRE(peer.Busy(2, true));
    CHECK(Port(2).OpenError() == ERROR_ACCESS_DENIED);
    REQUIRE(peer.Busy(2, false));
    CHECK(Port(2).Opened());

    REQUIRE(peer.Detach(2));
    CHECK(Port(2).OpenError() == ERROR_FILE_NOT_FOUND);
    REQUIRE(peer.Attach(2));
    CHECK(Port(2).Opened());
}

// Windows gives a COM port to one handle at a time, whoever holds it; wine
// lets a tty open twice, so the rig refuses the second open unless shared.
TEST_CASE("a port opens once: a second open is refused until the first closes, unless shared") {
    struct Row {
        bool otherProgram, share;
    };
    const Row rows[] = {{false, false}, {false, true}, {true, false}};
    PeerClient peer;
    for (const Row& row : rows) {
        CAPTURE(row.otherProgram);
        CAPTURE(row.share);
        REQUIRE(peer.Attach(1));
        REQUIRE(peer.Share(1, row.share));
        {
            std::optional<Port> first;
            PROCESS_INFORMATION child = {};
            if (row.otherProgram) {
                // cmd holds the port while it waits for a line from it.
                char command[] = "cmd.exe /c set /p x=<\\\\.\\COM1";
                STARTUPINFOA si = {};
                si.cb = sizeof si;
                REQUIRE(CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr,
                                       nullptr, &si, &child));
                bool held = false; // the child ends below, whatever is checked
                for (DWORD start = GetTickCount(); !held && GetTickCount() - start < 30000;)
                    held = peer.Holders(1) > 0 || (Sleep(10), false);
                CHECK(held);
            } else {
                REQUIRE(first.emplace(1).Opened());
            }
            CHECK(Port(1).OpenError() == (row.share ? 0 : ERROR_ACCESS_DENIED));
            if (child.hProcess) {
                TerminateProcess(child.hProcess, 0);
                WaitForSingleObject(child.hProcess, 30000);
                CloseHandle(child.hProcess);
                CloseHandle(child.hThread);
            }
        }
        CHECK(Port(1).Opened());
    }
}

TEST_CASE("a pulled adapter ends what was pending on the port, in each mode") {
    using Mode = PeerClient::PullMode;
    PeerClient peer;
    for (Mode mode : {Mode::Gone, Mode::Opens, Mode::Refused}) {
        CAPTURE(static_cast<int>(mode));
        REQUIRE(peer.Attach(1));
        {
            Port port(1);
            REQUIRE(port.Configure());
            REQUIRE(port.StartWait());
            // A read pending beside the wait: no timeouts, so it waits for data.
            COMMTIMEOUTS blocking = {};
            REQUIRE(SetCommTimeouts(port.Get(), &blocking));
            EventHandle readDone = NewManualEvent(false);
            OVERLAPPED readOv = {};
            readOv.hEvent = readDone.Get();
            char readBuf[16];
            DWORD n = 0;
            REQUIRE_FALSE(ReadFile(port.Get(), readBuf, sizeof readBuf, &n, &readOv));
            REQUIRE(GetLastError() == ERROR_IO_PENDING);
            CHECK_FALSE(port.WaitEnded(kQuiet));

            REQUIRE(peer.Pull(1, "EIO", mode));
            BOOL ok = TRUE;
            REQUIRE(port.WaitEnded(kLong, &ok));
            CHECK_FALSE(ok); // wine: ERROR_OPERATION_ABORTED
            bool readEnded = WaitForSingleObject(readDone.Get(), kLong) == WAIT_OBJECT_0;
            if (!readEnded) CancelIo(port.Get());
            CHECK(readEnded);
            CHECK_FALSE(GetOverlappedResult(port.Get(), &readOv, &n, TRUE));
        }
        // Plugged in again: a fresh line that works.
        REQUIRE(peer.Vanish(1, false));
        Port again(1);
        REQUIRE(again.Configure());
        REQUIRE(peer.Write(1, std::string("\0z", 2)));
        CHECK(again.Read(2, kLong) == std::string("\0z", 2));
    }
}

// A device that fails for a while after the open: the modem-status read
// fails for a count of uses, then works; once and always as before.
TEST_CASE("a failed call fails once, a count of uses, or from then on") {
    PeerClient peer;
    for (int failing : {1, 8, -1}) { // uses that fail: once, a count, always
        CAPTURE(failing);
        REQUIRE(peer.Attach(2));
        REQUIRE((failing == 1  ? peer.Fail(2, "TIOCMGET", 1, false, "EIO")
                 : failing < 0 ? peer.Fail(2, "TIOCMGET", 1, true, "EIO")
                               : peer.FailFor(2, "TIOCMGET", 1, failing, "EIO")));
        Port port(2); // no GetCommState: wine's reads TIOCMGET too
        REQUIRE(port.Opened());
        DWORD status = 0;
        int failed = 0;
        for (int use = 0; use < 12; use++)
            failed += !GetCommModemStatus(port.Get(), &status);
        CHECK(failed == (failing < 0 ? 12 : failing));
        CHECK(!!GetCommModemStatus(port.Get(), &status) == (failing >= 0));
    }
}

// A pulled adapter's handles fail with the driver's code for good, also once
// a new adapter is plugged in under the name. What an open of the name meets
// until then is the driver's: nothing (gone), the dead device (opens), or
// access denied, which a handle left open on the dead device keeps up after
// the plug too (refused).
TEST_CASE("a pulled adapter's handles fail for good; the name opens as the pull's mode says") {
    using Mode = PeerClient::PullMode;
    struct Row {
        Mode mode;
        const char* err;
        DWORD code; // what wine makes of err; 433 is ERROR_NO_SUCH_DEVICE, not in mingw's headers
        bool closeBeforePlug = false;
    };
    const Row rows[] = {
        {Mode::Gone, "EIO", ERROR_NOT_READY},
        {Mode::Gone, "EACCES", ERROR_ACCESS_DENIED},
        {Mode::Gone, "ENODEV", ERROR_GEN_FAILURE},
        {Mode::Gone, "ENXIO", 433},
        {Mode::Opens, "EIO", ERROR_NOT_READY},
        {Mode::Opens, "EACCES", ERROR_ACCESS_DENIED},
        {Mode::Opens, "ENODEV", ERROR_GEN_FAILURE},
        {Mode::Refused, "EIO", ERROR_NOT_READY},
        {Mode::Refused, "EACCES", ERROR_ACCESS_DENIED},
        {Mode::Refused, "ENODEV", ERROR_GEN_FAILURE, true},
    };
    auto checkDead = [](Port& port, DWORD code) {
        auto failure = [](BOOL ok) { return ok ? 0 : GetLastError(); };
        DWORD status = 0, n = 0, errors = 0;
        COMSTAT stat = {};
        char buf[4];
        CHECK(failure(GetCommModemStatus(port.Get(), &status)) == code);
        CHECK(failure(ClearCommError(port.Get(), &errors, &stat)) == code);
        CHECK(failure(port.ReadOnce(buf, sizeof buf, &n)) == code);
        CHECK(failure(port.Write("x")) == code);
        // With line or error events in the mask wine's wait reads them first
        // and fails at once; without, it ends ERROR_OPERATION_ABORTED.
        SetCommMask(port.Get(), kAllEvents);
        BOOL ok = TRUE;
        const DWORD wait = port.StartWait()
                               ? port.WaitEnded(kLong, &ok) ? failure(ok) : WAIT_TIMEOUT
                               : GetLastError();
        CHECK(wait == code);
    };
    PeerClient peer;
    for (const Row& row : rows) {
        CAPTURE(static_cast<int>(row.mode));
        CAPTURE(std::string(row.err));
        REQUIRE(peer.Attach(2));
        std::optional<Port> old(std::in_place, 2), second;
        REQUIRE(old->Configure());
        REQUIRE(peer.Pull(2, row.err, row.mode));
        checkDead(*old, row.code);
        if (row.closeBeforePlug) old.reset();
        const DWORD pulledOpen = row.mode == Mode::Gone || row.closeBeforePlug
                                     ? ERROR_FILE_NOT_FOUND
                                 : row.mode == Mode::Refused ? ERROR_ACCESS_DENIED
                                                             : 0;
        CHECK(second.emplace(2).OpenError() == pulledOpen);
        if (second->Opened()) checkDead(*second, row.code);
        REQUIRE(peer.Vanish(2, false));
        if (old) checkDead(*old, row.code);
        if (second->Opened()) checkDead(*second, row.code);
        if (row.mode == Mode::Refused && old) {
            CHECK(Port(2).OpenError() == ERROR_ACCESS_DENIED);
            old.reset();
        }
        Port fresh(2);
        REQUIRE(fresh.Configure());
        REQUIRE(peer.Write(2, "z"));
        CHECK(fresh.Read(1, kLong) == "z");
    }
}

// A port that takes seconds to open holds only the thread that opens it: an
// open of another port meanwhile, on another thread, goes at once.
TEST_CASE("a slow open waits in the opening thread alone, then opens or fails") {
    PeerClient peer;
    REQUIRE(peer.Attach(3));
    for (bool present : {true, false}) {
        CAPTURE(present);
        REQUIRE((present ? peer.Attach(2) : peer.Detach(2)));
        REQUIRE(peer.SlowOpen(2, 3000));
        struct Open {
            DWORD tookMs = 0, error = 0;
            static DWORD WINAPI Run(void* arg) {
                DWORD start = GetTickCount(), error = Port(2).OpenError();
                *static_cast<Open*>(arg) = {GetTickCount() - start, error};
                return 0;
            }
        } slow;
        EventHandle opener(CreateThread(nullptr, 0, Open::Run, &slow, 0, nullptr));
        REQUIRE(opener);
        Sleep(200);
        DWORD start = GetTickCount();
        CHECK(Port(3).Opened());
        CHECK(GetTickCount() - start < 1500);
        REQUIRE(WaitForSingleObject(opener.Get(), 30000) == WAIT_OBJECT_0);
        CHECK(slow.tookMs >= 2900);
        CHECK(slow.error == (present ? 0 : ERROR_FILE_NOT_FOUND));
    }
    REQUIRE(peer.SlowOpen(2, 0));
    DWORD start = GetTickCount();
    CHECK(Port(2).OpenError() == ERROR_FILE_NOT_FOUND);
    CHECK(GetTickCount() - start < 1500);
}

// A write on a paced line takes start, data, parity and stop bits per byte at
// the baud rate; the instant pty takes it at once. The margin below the
// line's time is the transmit queue (16 bytes or 10 ms). The peer reads
// afterwards, so each write must fit into what the pty holds unread. That
// varies with the machine and how the bytes came (15-20 KiB here, but 12 KB
// timed out once in a clean-machine run), so the rows stay at a few KiB.
TEST_CASE("a paced line takes a write in the line's time; the instant pty at once") {
    struct Row {
        LineSetup setup;
        int bits; // per byte on the wire
        size_t size;
        bool paced;
    };
    const Row rows[] = {
        {{9600, 8, NOPARITY, ONESTOPBIT}, 10, 2000, true},
        {{19200, 7, EVENPARITY, TWOSTOPBITS}, 11, 4000, true},
        {{115200, 8, NOPARITY, ONESTOPBIT}, 10, 6000, true},
        {{9600, 8, NOPARITY, ONESTOPBIT}, 10, 3000, false},
    };
    PeerClient peer;
    for (const Row& row : rows) {
        CAPTURE(row.setup.baud);
        CAPTURE(row.paced);
        REQUIRE(peer.Attach(1));
        REQUIRE(peer.Pace(1, row.paced));
        Port port(1);
        REQUIRE(port.Configure(row.setup));
        std::string bytes(row.size, 'p');
        const double lineMs = 1000.0 * row.bits * row.size / row.setup.baud;
        LARGE_INTEGER f, t0, t1;
        QueryPerformanceFrequency(&f);
        QueryPerformanceCounter(&t0);
        REQUIRE(port.Write(bytes));
        QueryPerformanceCounter(&t1);
        const double tookMs = 1000.0 * (t1.QuadPart - t0.QuadPart) / f.QuadPart;
        CAPTURE(tookMs);
        CAPTURE(lineMs);
        if (row.paced) {
            CHECK(tookMs >= lineMs - 20);
            CHECK(tookMs < lineMs * 1.5 + 2000);
        } else {
            CHECK(tookMs < lineMs / 4);
        }
        CHECK(PeerRead(peer, 1, bytes.size(), kLong) == bytes);
    }
}

// The driver's input queue holds what the program has not read; a paced
// line loses the far end's bytes past it and counts an overrun (EV_ERR),
// while a stream waits for room and the instant pty keeps all.
TEST_CASE("a paced line loses unread input past the input queue, as an overrun") {
    struct Row {
        bool paced;
        long queue; // 0: the line's default
        size_t sent, kept;
    };
    const Row rows[] = {
        {true, 0, 20000, 16384},
        {true, 1000, 1500, 1000},
        {false, 1000, 1500, 1500}, // the instant pty has no queue limit
    };
    PeerClient peer;
    for (const Row& row : rows) {
        CAPTURE(row.paced);
        CAPTURE(row.queue);
        REQUIRE(peer.Attach(1));
        REQUIRE(peer.Pace(1, row.paced));
        if (row.queue) REQUIRE(peer.SetInQueue(1, row.queue));
        Port port(1);
        REQUIRE(port.Configure());
        PurgeComm(port.Get(), PURGE_RXCLEAR); // as an opening port does
        REQUIRE(SetCommMask(port.Get(), EV_ERR));
        REQUIRE(port.StartWait());
        std::string bytes;
        for (size_t i = 0; i < row.sent; i++)
            bytes += static_cast<char>(PeerClient::PatternByte(3, i));
        REQUIRE(peer.Write(1, bytes));
        const bool lost = row.kept < row.sent;
        CHECK(port.WaitEnded(lost ? kLong : kQuiet) == lost);
        if (lost) CHECK(port.Events() == EV_ERR);
        // Wine leaves a read of an empty queue pending: read only what waits.
        CHECK(port.Read(row.kept, kLong) == bytes.substr(0, row.kept));
        CHECK(port.InQueue() == 0);
        PeerClient::InputQueue q = peer.Queue(1);
        REQUIRE(q.ok);
        CHECK(q.dropped == static_cast<long>(row.sent - row.kept));
        CHECK(q.unread == 0);
    }
    // A stream is a sender under flow control: it waits for room, loses nothing.
    REQUIRE(peer.Attach(1));
    REQUIRE(peer.SetInQueue(1, 2000));
    Port port(1);
    REQUIRE(port.Configure());
    PurgeComm(port.Get(), PURGE_RXCLEAR);
    REQUIRE(peer.Stream(1, 50000, 9));
    std::string got;
    DWORD start = GetTickCount();
    while (got.size() < 50000 && GetTickCount() - start < 30000) {
        long waiting = port.InQueue();
        if (waiting > 0)
            got += port.Read(static_cast<size_t>(waiting), 0);
        else
            Sleep(10);
    }
    REQUIRE(got.size() == 50000);
    long wrong = 0;
    for (long i = 0; i < 50000; i++)
        wrong += static_cast<unsigned char>(got[i]) != PeerClient::PatternByte(9, i);
    CHECK(wrong == 0);
    CHECK(peer.Queue(1).dropped == 0);
}
