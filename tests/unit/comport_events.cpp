// The event thread: dispatch order, what each wake calls, the three sync
// methods, and a device whose wait fails (no spinning, one OnError).
#include <doctest/doctest.h>

#include "unit/comport_FakeDevice.h"

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
    const Case cases[] = {
        {EV_RXCHAR, "OnRxChar(3)"},  {EV_TXEMPTY, "OnTxEmpty"},    {EV_BREAK, "OnBreak"},
        {EV_RING, "OnRing"},         {EV_CTS, "OnCTSChange(1)"},   {EV_DSR, "OnDSRChange(1)"},
        {EV_RXFLAG, "OnRxFlag"},     {EV_RLSD, "OnRLSDChange(1)"}, {EV_ERR, "OnError"},
        {EV_RX80FULL, "OnRx80Full"},
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

TEST_CASE("a wait that fails outright reports OnError once and does not spin") {
    FakePort f;
    RecordHooks(f.port, &f.journal);
    f.device.waitFailsOutright = true;
    f.port->Open();
    Sleep(300); // a spinning loop would issue thousands of waits meanwhile
    CHECK(f.journal.Count("WaitCommEvent") == 1);
    REQUIRE(f.journal.WaitFor("OnError", 1, 5000));
    CHECK(f.journal.Count("OnError") == 1);
    CHECK(f.journal.ThreadOf("OnError") != GetCurrentThreadId());
    f.port->Close(); // the stop sequence still ends it
    CHECK_FALSE(f.port->ThreadCreated);
    CHECK(f.journal.Only("CloseHandle").size() == 1);
}

TEST_CASE("wakes whose result never reads give up after a few, with one OnError") {
    FakePort f;
    RecordHooks(f.port, &f.journal);
    f.device.resultFails = true;
    f.port->Open();
    for (int i = 0; i < 8; ++i) {
        for (int t = 0; t < 10000 && !f.device.WaitPending(); ++t)
            Sleep(2);
        f.device.Raise(EV_TXEMPTY);
    }
    REQUIRE(f.journal.WaitFor("OnError"));
    Sleep(300);
    CHECK(f.journal.Count("WaitCommEvent") == 8);
    CHECK(f.journal.Count("OnError") == 1);
    CHECK(f.journal.Count("OnTxEmpty") == 0);
    f.port->Close();
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

TEST_CASE("wakes with nothing set give up after a few, with one OnError") {
    FakePort f;
    RecordHooks(f.port, &f.journal);
    f.device.emptyWakes = true; // a driver that ends every wait at once
    f.port->Open();
    REQUIRE(f.journal.WaitFor("OnError", 1, 5000));
    Sleep(300);
    CHECK(f.journal.Count("WaitCommEvent") == 8);
    CHECK(f.journal.Count("OnError") == 1);
    f.port->Close();
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

TEST_CASE("a driver that raises EV_RXCHAR while bytes wait: each arrival once, no spinning") {
    FakePort f;
    RecordHooks(f.port, &f.journal);
    f.device.levelRxChar = true;
    f.port->Open();
    REQUIRE(f.journal.WaitFor("WaitCommEvent"));
    f.device.Arrive("abc");
    REQUIRE(f.journal.WaitFor("OnRxChar(3)"));
    Sleep(400); // nobody reads: a spinning loop would wake thousands of times
    CHECK(EventHooks(f.journal) == Lines{"OnRxChar(3)"});
    CHECK(f.journal.Count("WaitCommEvent") < 40);

    // The owner reads; the next arrival is announced, and only it.
    Text got;
    CHECK(f.port->ReadText(got, 3) == 3);
    f.device.Arrive("de");
    REQUIRE(f.journal.WaitFor("OnRxChar(2)"));
    f.device.Arrive("f");
    REQUIRE(f.journal.WaitFor("OnRxChar(3)", 2));
    Sleep(200);
    CHECK(EventHooks(f.journal) == Lines{"OnRxChar(3)", "OnRxChar(2)", "OnRxChar(3)"});
    f.port->Close();
}

TEST_CASE("an arrival already announced is not announced again; the next one is") {
    FakePort f;
    RecordHooks(f.port, &f.journal);
    f.port->Open();
    f.device.rxData = "ab";
    Wake(f, EV_RXCHAR);
    Wake(f, EV_RXCHAR); // its bytes were counted by the first wake
    f.device.Arrive("c");
    REQUIRE(f.journal.WaitFor("OnRxChar(3)"));
    CHECK(EventHooks(f.journal) == Lines{"OnRxChar(2)", "OnRxChar(3)"});
    f.port->Close();
}
