// The event thread: dispatch order, what each wake calls, the three sync
// methods, a device whose wait fails (no spinning, one OnError, the link back
// by itself), a line that keeps failing, and received bytes held until read.
#include <doctest/doctest.h>

#include "unit/comport_FakeDevice.h"

#include <algorithm>

using Lines = std::vector<std::string>;

namespace {

const Lines OpenHooks = {"OnBeforeOpenClose", "OnAfterOpen", "OnCTSChange(0)", "OnDSRChange(0)",
                         "OnRLSDChange(0)"};

// Hooks that ran after the open notifications.
Lines EventHooks(Journal& j) {
    Lines hooks = j.Only("On");
    return Lines(hooks.begin() + (hooks.size() >= OpenHooks.size() ? OpenHooks.size() : 0),
                 hooks.end());
}

// Raises mask once the thread waits, then waits for the next wait to start,
// so the wake has been dispatched completely.
void Wake(FakePort& f, DWORD mask) {
    for (int i = 0; i < 10000 && !f.device.WaitPending(); ++i)
        Sleep(2);
    REQUIRE(f.device.WaitPending());
    int waits = f.journal.Count("WaitCommEvent");
    f.device.Raise(mask);
    REQUIRE(f.journal.WaitFor("WaitCommEvent", waits + 1));
}

} // namespace

TEST_CASE("all events of one wake dispatch once each, in the fixed order, on the event thread") {
    FakePort f;
    RecordHooks(f.port, &f.journal);
    f.port->Open();
    f.device.inQueue = 5;
    f.device.modemStatus = MS_CTS_ON | MS_RLSD_ON;
    Wake(f, 0x05FF | EV_PERR);
    CHECK(EventHooks(f.journal) == Lines{"OnRxChar(5)", "OnTxEmpty", "OnBreak", "OnRing",
                                         "OnCTSChange(1)", "OnDSRChange(0)", "OnRxFlag",
                                         "OnRLSDChange(1)", "OnError", "OnRx80Full"});
    DWORD eventThread = f.journal.ThreadOf("OnRxChar(5)");
    CHECK(eventThread != 0);
    CHECK(eventThread != GetCurrentThreadId());
    CHECK(f.journal.ThreadOf("OnRx80Full") == eventThread);
    f.port->Close();
}

TEST_CASE("each event alone calls its own hook") {
    struct Case {
        DWORD mask;
        const char* hook;
    };
    // RxChar last: bytes nobody reads are announced again after a while.
    const Case cases[] = {
        {EV_TXEMPTY, "OnTxEmpty"},    {EV_BREAK, "OnBreak"},      {EV_RING, "OnRing"},
        {EV_CTS, "OnCTSChange(1)"},   {EV_DSR, "OnDSRChange(1)"}, {EV_RXFLAG, "OnRxFlag"},
        {EV_RLSD, "OnRLSDChange(1)"}, {EV_ERR, "OnError"},        {EV_RX80FULL, "OnRx80Full"},
        {EV_RXCHAR, "OnRxChar(3)"},
    };
    FakePort f;
    RecordHooks(f.port, &f.journal);
    f.port->Open();
    f.device.inQueue = 3;
    f.device.modemStatus = MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON;
    for (const Case& c : cases) {
        std::string hook = c.hook;
        CAPTURE(hook);
        size_t before = EventHooks(f.journal).size();
        Wake(f, c.mask);
        CHECK(EventHooks(f.journal).size() == before + 1);
        CHECK(EventHooks(f.journal).back() == c.hook);
    }
    f.port->Close();
}

TEST_CASE("wakes that carry nothing to report call no hook") {
    FakePort f;
    RecordHooks(f.port, &f.journal);
    f.port->Open();
    f.device.inQueue = 0;
    Wake(f, EV_RXCHAR); // the queue is already empty
    Wake(f, 0);         // ended by SetCommMask, for example
    Wake(f, EV_PERR | EV_EVENT1 | EV_EVENT2);
    CHECK(EventHooks(f.journal).empty());
    CHECK(f.journal.Count("ClearCommError") == 1); // RxChar still asks the count
    f.port->Close();
}

TEST_CASE("line hooks that are not set read no line state") {
    FakePort f;
    f.port->Open();
    Wake(f, EV_CTS | EV_DSR | EV_RLSD);
    CHECK(f.journal.Count("GetCommModemStatus") == 0);
    f.port->Close();
}

TEST_CASE("SyncWindow without a window dispatches nothing, and closes cleanly") {
    FakePort f;
    RecordHooks(f.port, &f.journal);
    f.port->SetSyncMethod(SyncWindow);
    f.port->Open();
    f.device.inQueue = 4;
    Wake(f, 0x05FF);
    CHECK(EventHooks(f.journal).empty());
    f.port->Close();
    // The open and close notifications run all the same.
    CHECK(f.journal.Count("OnAfterOpen") == 1);
    CHECK(f.journal.Count("OnAfterClose") == 1);
}

namespace {

Journal* windowJournal = nullptr;

LRESULT CALLBACK RecordingWindowProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == ComPortEventMessage) {
        windowJournal->Add("message " + Hex(DWORD(wp)) + " " + Hex(DWORD(lp)));
        return 0;
    }
    return DefWindowProcA(w, msg, wp, lp);
}

} // namespace

TEST_CASE("SyncWindow with a window sends one message per event, in dispatch order") {
    FakePort f;
    RecordHooks(f.port, &f.journal);
    windowJournal = &f.journal;
    WNDCLASSA wc = {};
    wc.lpfnWndProc = RecordingWindowProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "comport_events_sink";
    RegisterClassA(&wc);
    HWND sink = CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                wc.hInstance, nullptr);
    REQUIRE(sink);
    f.port->NotifyWindow = sink;
    f.port->SetSyncMethod(SyncWindow);
    f.port->Open();
    f.device.Raise(EV_ERR | EV_CTS | EV_RXCHAR);
    // The messages are sent to this thread's window: deliver them here.
    for (int i = 0; i < 10000 && f.journal.Only("message").size() < 3; ++i) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 2, QS_SENDMESSAGE);
        MSG m;
        PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE);
    }
    CHECK(f.journal.Only("message") == Lines{"message 1 0", "message 8 0", "message 80 0"});
    CHECK(EventHooks(f.journal).empty());
    f.port->Close();
    DestroyWindow(sink);
}

TEST_CASE("a SyncMethod outside the table dispatches nothing") {
    FakePort f;
    RecordHooks(f.port, &f.journal);
    f.port->SyncMethod = 7; // written directly: the setter would refuse it
    f.port->Open();
    f.device.inQueue = 4;
    Wake(f, 0x05FF);
    CHECK(EventHooks(f.journal).empty());
    f.port->Close();
}

TEST_CASE("a wait that fails once is retried, unreported, and the link goes on") {
    struct Row {
        const char* name;
        int startFails, resultFails;
    };
    const Row rows[] = {{"the next wait cannot start", 1, 0}, {"a wake cannot be read", 0, 1}};
    for (const Row& row : rows) {
        CAPTURE(row.name);
        FakePort f;
        RecordHooks(f.port, &f.journal);
        f.device.modemStatus = MS_CTS_ON;
        f.port->Open();
        f.device.waitStartFails = row.startFails;
        f.device.resultFails = row.resultFails;
        Wake(f, EV_TXEMPTY);
        Wake(f, EV_CTS);
        CHECK(EventHooks(f.journal).back() == "OnCTSChange(1)");
        CHECK(f.journal.Count("OnError") == 0);
        f.port->Close();
    }
}

TEST_CASE("a wait that keeps failing is reported once, retried slowly, and comes back") {
    struct Row {
        const char* name;
        bool startFails, unreadable;
    };
    const Row rows[] = {{"waits cannot start", true, false},
                        {"wakes cannot be read", false, true},
                        {"wakes carry nothing", false, false}};
    for (const Row& row : rows) {
        CAPTURE(row.name);
        FakePort f;
        RecordHooks(f.port, &f.journal);
        f.device.waitStartFails = row.startFails ? -1 : 0;
        f.device.emptyWakes = !row.startFails; // every wait ends at once
        f.device.resultFails = row.unreadable ? -1 : 0;
        f.port->Open();
        REQUIRE(f.journal.WaitFor("OnError", 1, 5000));
        CHECK(f.journal.ThreadOf("OnError") != GetCurrentThreadId());
        int waits = f.journal.Count("WaitCommEvent");
        DWORD start = GetTickCount();
        Sleep(1000); // a spinning loop would issue thousands of waits meanwhile
        int slowRetries = int((GetTickCount() - start) / 500) + 2;
        CHECK(f.journal.Count("WaitCommEvent") - waits <= 8 * slowRetries);
        CHECK(f.journal.Count("OnError") == 1);

        // The device answers again: the link goes on without a reopen.
        f.device.waitStartFails = 0;
        f.device.emptyWakes = false;
        f.device.resultFails = 0;
        f.device.Arrive("back");
        REQUIRE(f.journal.WaitFor("OnRxChar(4)", 1, 5000));
        Text got;
        CHECK(f.port->ReadText(got, 4) == 4);
        f.device.modemStatus = MS_DSR_ON;
        Wake(f, EV_DSR);
        CHECK(EventHooks(f.journal).back() == "OnDSRChange(1)");

        // A second failure that persists is a new one: told again, once.
        f.device.waitStartFails = row.startFails ? -1 : 0;
        f.device.emptyWakes = !row.startFails;
        f.device.resultFails = row.unreadable ? -1 : 0;
        f.device.Raise(EV_TXEMPTY); // ends the pending wait
        REQUIRE(f.journal.WaitFor("OnError", 2, 5000));
        Sleep(600);
        CHECK(f.journal.Count("OnError") == 2);
        f.port->Close();
        CHECK(f.journal.Count("CloseHandle") == 1);
    }
}

TEST_CASE("a wait that SetCommMask does not end is cancelled before its storage goes") {
    FakePort f;
    f.device.maskEndsWait = false;
    f.port->Open();
    REQUIRE(f.journal.WaitFor("WaitCommEvent"));
    f.journal.Clear();
    f.port->Close();
    Lines close = f.journal.Entries();
    CHECK(close == Lines{"PurgeComm 3", "SetCommMask 0", "CancelIo", "PurgeComm C", "CloseHandle"});
}

TEST_CASE("open, wake and close many times: every thread ends") {
    FakePort f;
    RecordHooks(f.port, &f.journal);
    f.device.inQueue = 1;
    for (int i = 0; i < 50; ++i) {
        f.port->Open();
        if (i % 2) f.device.Raise(EV_RXCHAR);
        f.port->Close();
    }
    CHECK(f.journal.Count("CloseHandle") == 50);
    CHECK(f.journal.Count("OnAfterClose") == 50);
}

TEST_CASE("a failed wait for events reports OnError once, and Close still works") {
    FakePort f;
    RecordHooks(f.port, &f.journal);
    f.device.waitsFail = true;
    f.port->Open();
    REQUIRE(f.journal.WaitFor("OnError", 1, 5000));
    Sleep(300);
    CHECK(f.journal.Count("OnError") == 1);
    CHECK(f.port->Connected);
    f.port->Close();
    CHECK_FALSE(f.port->Connected);
    CHECK(f.journal.Count("CloseHandle") == 1);
    CHECK(f.journal.Count("OnAfterClose") == 1);
}

TEST_CASE("an event thread that cannot start fails the open as a missing device does") {
    FakePort f;
    RecordHooks(f.port, &f.journal);
    f.device.threadFails = true;
    f.port->Open();
    CHECK_FALSE(f.port->Connected);
    CHECK_FALSE(f.port->ThreadCreated);
    CHECK(f.port->Handle == INVALID_HANDLE_VALUE);
    CHECK(f.journal.Only("On") == Lines{"OnBeforeOpenClose", "OnError"});
    CHECK(f.journal.Count("CloseHandle") == 1);
    f.journal.Clear();
    f.port->Close(); // nothing to close
    CHECK(f.journal.Entries().empty());

    f.device.threadFails = false;
    f.port->Open();
    CHECK(f.port->Connected);
    CHECK(f.journal.Count("OnAfterOpen") == 1);
    f.port->Close();
}

TEST_CASE("a line that keeps failing: one OnError per interval, no spinning, bytes go on") {
    FakePort f;
    RecordHooks(f.port, &f.journal);
    f.device.errorStorm = true; // every wait with EV_ERR in the mask ends at once with it
    f.port->Open();
    REQUIRE(f.journal.WaitFor("OnError", 2, 5000));
    int errors = f.journal.Count("OnError"), waits = f.journal.Count("WaitCommEvent");
    DWORD start = GetTickCount();
    f.device.Arrive("during");
    REQUIRE(f.journal.WaitFor("OnRxChar(6)", 1, 5000));
    Text got;
    CHECK(f.port->ReadText(got, 6) == 6);
    Sleep(500);
    int intervals = int((GetTickCount() - start) / 50) + 2;
    CHECK(f.journal.Count("OnError") - errors <= intervals);
    CHECK(f.journal.Count("WaitCommEvent") - waits <= 4 * intervals);
    CHECK(f.journal.Count("OnError") - errors >= 2); // still told
    f.device.errorStorm = false;
    f.port->Close();
}

namespace {

// A received-bytes test on a driver of each kind: EV_RXCHAR once per arrival
// (Windows) or for as long as bytes wait (wine with a real port); and on
// Windows without finer timers, where the clock moves in 15.6 ms steps and
// a 1 ms wait lasts a whole step.
struct DriverKind {
    bool level, coarse;
};
const DriverKind DriverKinds[] = {{false, false}, {true, false}, {false, true}};

// How many looks again ReadDone-less holds allow: one per RxRecheck (150 ms).
int Rechecks(DWORD since) {
    return int((GetTickCount() - since) / 150) + 1;
}

// An open port whose first arrival, "abc", has been announced.
void AnnounceFirst(FakePort& f, DriverKind kind) {
    RecordHooks(f.port, &f.journal);
    f.device.levelRxChar = kind.level;
    f.device.coarseClock = kind.coarse;
    f.port->Open();
    REQUIRE(f.journal.WaitFor("WaitCommEvent"));
    f.device.Arrive("abc");
    REQUIRE(f.journal.WaitFor("OnRxChar(3)"));
}

} // namespace

TEST_CASE("announced bytes hold EV_RXCHAR until the owner reads; then arrivals come at once") {
    for (DriverKind kind : DriverKinds) {
        CAPTURE(kind.level);
        CAPTURE(kind.coarse);
        FakePort f;
        AnnounceFirst(f, kind);
        REQUIRE(f.journal.WaitFor("WaitCommEvent", 2)); // the held wait
        int waits = f.journal.Count("WaitCommEvent");
        DWORD start = GetTickCount();
        for (int i = 0; i < 10; ++i) {
            f.device.Arrive("x"); // wakes nothing while held
            Sleep(5);
        }
        CHECK(f.journal.Count("WaitCommEvent") - waits <= 2 * Rechecks(start));

        // Soon after a read, an arrival is told without a new wait (the held
        // one goes on), as in a stream.
        Text got;
        waits = f.journal.Count("WaitCommEvent");
        CHECK(f.port->ReadText(got, 13) == 13);
        Sleep(10); // the loop has found the queue empty
        f.device.Arrive("yz");
        REQUIRE(f.journal.WaitFor("OnRxChar(2)"));
        CHECK(f.journal.Count("WaitCommEvent") == waits);

        // Line events and errors still come at once.
        f.device.modemStatus = MS_RLSD_ON;
        Wake(f, EV_RLSD | EV_ERR);
        Lines hooks = EventHooks(f.journal), pair = {"OnRLSDChange(1)", "OnError"};
        CHECK(std::search(hooks.begin(), hooks.end(), pair.begin(), pair.end()) != hooks.end());

        // A queue left empty gets EV_RXCHAR back: later arrivals wake the loop.
        Sleep(300); // the line events settle
        waits = f.journal.Count("WaitCommEvent");
        CHECK(f.port->ReadText(got, 2) == 2);
        Sleep(300);
        CHECK(f.journal.Count("WaitCommEvent") > waits);
        f.device.Arrive("yz");
        REQUIRE(f.journal.WaitFor("OnRxChar(2)", 2));
        f.port->Close();
    }
}

TEST_CASE("announced bytes the owner does not read are announced again every few intervals") {
    for (DriverKind kind : DriverKinds) {
        CAPTURE(kind.level);
        CAPTURE(kind.coarse);
        FakePort f;
        AnnounceFirst(f, kind);
        DWORD start = GetTickCount();
        Sleep(1000); // the owner's tick was lost, say
        int announced = f.journal.Count("OnRxChar(3)");
        CHECK(announced >= 2);
        CHECK(announced <= Rechecks(start) + 1);
        CHECK(EventHooks(f.journal) == Lines(announced, "OnRxChar(3)"));
        f.port->Close();
    }
}

TEST_CASE("an arrival the driver cannot count is announced, so the owner's read can try") {
    FakePort f;
    RecordHooks(f.port, &f.journal);
    f.port->Open();
    REQUIRE(f.journal.WaitFor("WaitCommEvent"));
    f.device.countFails = true;
    f.device.Arrive("abc");
    CHECK(f.journal.WaitFor("OnRxChar(1)"));
    f.device.countFails = false;
    f.port->Close();
}

TEST_CASE("while announced bytes are held, zero bytes (EV_RXFLAG) wake nothing either") {
    FakePort f;
    AnnounceFirst(f, {false, false});
    REQUIRE(f.journal.WaitFor("WaitCommEvent", 2)); // the held wait
    // Every event but the two receive events stays asked for.
    CHECK(f.journal.Count("SetCommMask 5FC") >= 1);
    int waits = f.journal.Count("WaitCommEvent");
    f.device.Raise(EV_RXFLAG); // a zero byte on Windows, with event character 0
    Sleep(50);
    CHECK(f.journal.Count("OnRxFlag") == 0);
    CHECK(f.journal.Count("WaitCommEvent") == waits);
    // Read and left empty, the queue gets both back.
    Text got;
    CHECK(f.port->ReadText(got, 3) == 3);
    REQUIRE(f.journal.WaitFor("SetCommMask 5FF", 2));
    f.port->Close();
}

TEST_CASE("a line error in a count's error flags is told, folded as EV_ERR is") {
    struct Row {
        const char* name;
        DWORD flags;
        bool arrival; // counted at an arrival; else by the look at a quiet line
        int errors;
    };
    const Row rows[] = {
        {"framing, at an arrival", CE_FRAME, true, 1},
        {"overrun, at an arrival", CE_OVERRUN, true, 1},
        {"parity, at an arrival", CE_RXPARITY, true, 1},
        {"framing, on a quiet line", CE_FRAME, false, 1},
        {"queue overflow alone is no line error", CE_RXOVER, true, 0},
    };
    for (const Row& row : rows) {
        CAPTURE(row.name);
        FakePort f;
        RecordHooks(f.port, &f.journal);
        f.port->Open();
        REQUIRE(f.journal.WaitFor("WaitCommEvent"));
        f.device.commErrors = row.flags;
        if (row.arrival) {
            f.device.Arrive("a");
            REQUIRE(f.journal.WaitFor("OnRxChar(1)"));
        }
        f.journal.WaitFor("OnError", 1, row.errors ? 3000 : 700);
        CHECK(f.journal.Count("OnError") == row.errors);
        f.port->Close();
    }

    // A driver that latches an error at every count: one OnError per interval.
    FakePort f;
    RecordHooks(f.port, &f.journal);
    f.port->Open();
    REQUIRE(f.journal.WaitFor("WaitCommEvent"));
    DWORD start = GetTickCount();
    for (int i = 0; i < 40; ++i) {
        f.device.commErrors = CE_FRAME;
        f.device.Arrive("x");
        Sleep(5);
        Text got;
        f.port->ReadText(got, 100);
    }
    int intervals = int((GetTickCount() - start) / 50) + 2;
    CHECK(f.journal.Count("OnError") >= 1);
    CHECK(f.journal.Count("OnError") <= intervals);
    f.port->Close();
}

TEST_CASE("with a coarse clock the watch after a read counts once per clock step") {
    FakePort f;
    AnnounceFirst(f, {false, true});
    Text got;
    CHECK(f.port->ReadText(got, 3) == 3);
    int counts = f.journal.Count("ClearCommError");
    // The watch lasts a relay interval (50 ms): four steps and the count as
    // the mask comes back, not fifty.
    REQUIRE(f.journal.WaitFor("SetCommMask 5FF", 2));
    CHECK(f.journal.Count("ClearCommError") - counts <= 8);
    f.port->Close();
}
