// Bytes and events on the rig's line: writing and reading byte-exact,
// OnRxChar on the event thread, the far end's lines and errors reaching the
// hooks, a port without events, SyncWindow, Close with a transfer pending and
// a device that vanishes.
#include <doctest/doctest.h>

#include "line/LinePort.h"

#include <tlhelp32.h>

using Lines = std::vector<std::string>;

namespace {

std::string AllByteValues() {
    std::string s;
    for (int i = 0; i < 256; ++i)
        s += char(i);
    return s + std::string("\0\0#\0", 4);
}

// Hooks that ran after the open notifications (the first five entries).
Lines EventHooks(Journal& j) {
    Lines all = j.Only("On");
    return all.size() > 5 ? Lines(all.begin() + 5, all.end()) : Lines();
}

int ThreadsOfThisProcess() {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 e = {};
    e.dwSize = sizeof e;
    int n = 0;
    for (BOOL more = Thread32First(snap, &e); more; more = Thread32Next(snap, &e))
        n += e.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snap);
    return n;
}

} // namespace

TEST_CASE("line_write: WriteText reaches the far end byte for byte") {
    LinePort l(1);
    l.port->Open();
    const std::string bytes = AllByteValues();
    CHECK(l.port->WriteText(Text(bytes.data(), int(bytes.size()))) == int(bytes.size()));
    CHECK(l.peer.Read(1, int(bytes.size()), kLong) == bytes);
    CHECK(l.port->WriteText(Text()) == 0);
}

// 1000 bytes take 1.04 s on the paced line at 9600 baud: the hook runs about
// every 50 ms meanwhile, on the writing thread, and the write still
// completes whole. Wide margin on the count: a busy machine wakes late.
TEST_CASE("line_write: a write in progress runs its hook on the writing thread") {
    LinePort l(1);
    l.port->SetBaudRateIndex(7);
    l.port->Open();
    struct Calls {
        DWORD writer = GetCurrentThreadId();
        int count = 0;
        bool otherThread = false;
    } calls;
    EventSlot<void()> hook;
    hook.Set(
        [](void* context, BaseObject*) {
            auto* c = static_cast<Calls*>(context);
            ++c->count;
            c->otherThread |= GetCurrentThreadId() != c->writer;
        },
        &calls);
    const std::string bytes(1000, 'w');
    CHECK(l.port->WriteText(Text(bytes.data(), int(bytes.size())), hook) == int(bytes.size()));
    CHECK(calls.count >= 8);
    CHECK(calls.count <= 40);
    CHECK_FALSE(calls.otherThread);
    CHECK(l.peer.Read(1, int(bytes.size()), kLong) == bytes);
}

TEST_CASE("line_read: ReadText gives what the far end sent, zeros included") {
    LinePort l(1);
    l.port->Open();
    const std::string bytes = AllByteValues();
    REQUIRE(l.peer.Write(1, bytes));
    CHECK(l.Collect(bytes.size()) == bytes);
    // Nothing waits now: a read returns at once, empty.
    Text t("old");
    CHECK(l.port->ReadText(t, 10) == 0);
    CHECK(t.IsEmpty());
}

TEST_CASE("line_rx_char: OnRxChar tells the waiting count, on the event thread") {
    LinePort l(1);
    l.port->Open();
    REQUIRE(l.peer.Write(1, "hello"));
    REQUIRE(Eventually([&] { return l.journal.Count("OnRxChar(5)") == 1; }));
    CHECK(l.journal.ThreadOf("OnRxChar(5)") != GetCurrentThreadId());
    // Unread bytes are announced again only every few relay intervals.
    DWORD start = GetTickCount();
    Sleep(kQuiet);
    CHECK(l.journal.Count("OnRxChar(5)") <= int((GetTickCount() - start) / 150) + 2);
    CHECK(l.journal.Only("OnRxChar").size() == size_t(l.journal.Count("OnRxChar(5)")));
    REQUIRE(l.peer.Write(1, "!!"));
    REQUIRE(Eventually([&] { return l.journal.Count("OnRxChar(7)") >= 1; }));
    CHECK(l.Collect(7) == "hello!!");
}

TEST_CASE("line_line_hooks: the far end's lines reach the change hooks") {
    LinePort l(1);
    l.port->Open();
    l.Settle();
    struct Step {
        bool cts, dsr, ring, rlsd;
        const char* hook;
    };
    const Step steps[] = {
        {true, false, false, false, "OnCTSChange(1)"},
        {true, true, false, false, "OnDSRChange(1)"},
        {true, true, false, true, "OnRLSDChange(1)"},
        {true, true, true, true, "OnRing"},
        {false, true, true, true, "OnCTSChange(0)"},
        {false, false, true, true, "OnDSRChange(0)"},
        {false, false, true, false, "OnRLSDChange(0)"},
    };
    for (const Step& s : steps) {
        std::string hook = s.hook;
        CAPTURE(hook);
        int before = l.journal.Count(hook);
        REQUIRE(l.peer.SetLines(1, s.cts, s.dsr, s.ring, s.rlsd));
        CHECK(Eventually([&] { return l.journal.Count(hook) == before + 1; }));
        CHECK(l.journal.ThreadOf(hook) != GetCurrentThreadId());
        Sleep(kSettle);
    }
}

TEST_CASE("line_errors: line errors reach OnError, a break reaches OnBreak") {
    LinePort l(1);
    l.port->Open();
    l.Settle();
    const char* kinds[] = {"frame", "overrun", "parity"};
    for (const char* kind : kinds) {
        std::string name = kind;
        CAPTURE(name);
        int before = l.journal.Count("OnError");
        REQUIRE(l.peer.Error(1, kind));
        CHECK(Eventually([&] { return l.journal.Count("OnError") == before + 1; }));
        CHECK(l.journal.ThreadOf("OnError") != GetCurrentThreadId());
        Sleep(kSettle);
    }
    REQUIRE(l.peer.Error(1, "break"));
    CHECK(Eventually([&] { return l.journal.Count("OnBreak") == 1; }));
}

TEST_CASE("line_no_events: an empty Events set starts no thread and calls no event hook") {
    LinePort l(1);
    l.port->Events = 0;
    int threads = ThreadsOfThisProcess();
    l.port->Open();
    REQUIRE(l.port->Connected);
    CHECK_FALSE(l.port->ThreadCreated);
    // A thread of an earlier case (or of wine) may end meanwhile; none starts.
    CHECK(ThreadsOfThisProcess() <= threads);
    REQUIRE(l.peer.Write(1, "data"));
    REQUIRE(l.peer.SetLines(1, true, true, true, true));
    Sleep(kQuiet);
    CHECK(EventHooks(l.journal).empty());
    CHECK(l.Collect(4) == "data"); // the data are there all the same
    l.port->Close();
    CHECK(l.journal.Count("OnAfterClose") == 1);
}

TEST_CASE("line_sync_window: nothing is dispatched without a window") {
    LinePort l(1);
    l.port->SetSyncMethod(SyncWindow);
    l.port->Open();
    REQUIRE(l.port->ThreadCreated);
    REQUIRE(l.peer.Write(1, "data"));
    REQUIRE(l.peer.SetLines(1, true, true, false, true));
    Sleep(kQuiet);
    CHECK(EventHooks(l.journal).empty());
    l.port->Close();
    CHECK(l.journal.Count("OnAfterClose") == 1);
}

namespace {

struct PendingRead {
    ComPort* port;
    Text text;
    std::int32_t count = -1;
};

DWORD WINAPI ReadWholeHundred(void* p) {
    auto* r = static_cast<PendingRead*>(p);
    r->count = r->port->ReadText(r->text, 100);
    return 0;
}

} // namespace

TEST_CASE("line_close_pending_read: Close ends a read that waits for bytes") {
    LinePort l(1);
    // No time-outs: a read waits until all its bytes have come.
    l.port->Timeouts->SetReadInterval(0);
    l.port->Open();
    REQUIRE(l.peer.Write(1, "abc"));
    REQUIRE(Eventually([&] { return l.port->InputCount() == 3; }));
    PendingRead r{l.port, Text()};
    HANDLE reader = CreateThread(nullptr, 0, ReadWholeHundred, &r, 0, nullptr);
    CHECK(WaitForSingleObject(reader, kQuiet) == WAIT_TIMEOUT); // pending
    l.port->Close();
    CHECK(WaitForSingleObject(reader, kLong) == WAIT_OBJECT_0);
    CloseHandle(reader);
    CHECK(r.count >= 0);
    CHECK(r.count <= 3);
    CHECK(r.text.Length() == r.count);
}

namespace {

struct PendingWrite {
    ComPort* port;
    Text text;
    std::int32_t count = -1;
};

DWORD WINAPI WriteAll(void* p) {
    auto* w = static_cast<PendingWrite*>(p);
    w->count = w->port->WriteText(w->text);
    return 0;
}

} // namespace

TEST_CASE("line_close_pending_write: Close ends a write the far end does not take") {
    LinePort l(1);
    l.port->Open();
    // Far more than a pty holds while the peer reads nothing.
    std::string big(4 << 20, 'x');
    PendingWrite w{l.port, Text(big.data(), int(big.size()))};
    HANDLE writer = CreateThread(nullptr, 0, WriteAll, &w, 0, nullptr);
    CHECK(WaitForSingleObject(writer, kQuiet) == WAIT_TIMEOUT); // pending
    l.port->Close();
    CHECK(WaitForSingleObject(writer, kLong) == WAIT_OBJECT_0);
    CloseHandle(writer);
    CHECK(w.count >= 0);
    CHECK(w.count < int(big.size()));
}

TEST_CASE("line_vanish: a device that goes away gives one OnError and no spinning") {
    LinePort l(1);
    l.port->Open();
    REQUIRE(l.port->ThreadCreated);
    REQUIRE(l.peer.Vanish(1, true));
    REQUIRE(Eventually([&] { return l.journal.Count("OnError") >= 1; }));
    FILETIME created, exited, kernel, user;
    auto cpu = [&] {
        GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
        return (ULONGLONG(kernel.dwHighDateTime) << 32 | kernel.dwLowDateTime) +
               (ULONGLONG(user.dwHighDateTime) << 32 | user.dwLowDateTime);
    };
    ULONGLONG before = cpu();
    Sleep(1000);
    ULONGLONG used = cpu() - before; // 100 ns units
    CHECK(l.journal.Count("OnError") == 1);
    CHECK(used < 5000000); // well under half of the second: not spinning
    l.port->Close();
    CHECK_FALSE(l.port->ThreadCreated);
    CHECK(l.journal.Count("OnAfterClose") == 1);
    REQUIRE(l.peer.Vanish(1, false));
}
