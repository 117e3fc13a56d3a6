// The component's link to its device, on the fake device with a clock ten
// times fast: a device that half works, and one pulled and plugged back, with
// the codes by which drivers say that it is gone. The plug-in's code is
// linked into this program, with its state checks live.
#include <doctest/doctest.h>

#include "plugin/TestHost.h"
#include "plugin/Unit1.h"
#include "unit/comport_FakeDevice.h"
#include "support/ProcessCounters.h"

#include <algorithm>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

namespace {

const bool Attached = DllMain(GetModuleHandleA(nullptr), DLL_PROCESS_ATTACH, nullptr);

// A host with the component's port open on the fake device (opened once at a
// time, as on Windows); the open's notice is kept.
struct LinkHost {
    Journal journal;
    FakeComDevice device{journal};
    TestHost host{nullptr};
    LinkHost() {
        REQUIRE(Attached);
        device.exclusive = true;
        device.fastClock = 10;
        ComponentUseDevice(&device);
        REQUIRE(host.Adopt());
        host.plugin.Call("open");
        REQUIRE(host.WaitNotifications(1));
    }
    ~LinkHost() { // the component and its searches end before the fake device
        DestroyWindow(host.window);
        host.Pump(50);
        ComponentUseDevice(nullptr);
    }
    // Every notice in order, data and error texts by their tags alone; the
    // bytes of the data texts joined into one.
    std::string Notices() const {
        std::string all;
        for (const Notification& n : host.received)
            all += n.text.rfind("sts#", 0) == 0 ? n.text : n.text.substr(0, 4);
        return all;
    }
    int Count(const std::string& tag) const {
        int count = 0;
        for (const Notification& n : host.received)
            count += n.text.rfind(tag, 0) == 0;
        return count;
    }
    std::string Bytes() const {
        std::string all;
        for (const Notification& n : host.received)
            if (n.text.rfind("str#", 0) == 0) all += n.bytes.substr(4, n.bytes.size() - 5);
        return all;
    }
    void Arrive(const std::string& bytes) {
        device.Arrive(bytes);
        host.Pump(400);
    }
};

} // namespace

TEST_CASE("a device that half works for a while: one err#, no reopen, every byte once it answers") {
    for (int row = 0; row < 3; ++row) {
        CAPTURE(row);
        LinkHost h;
        h.Arrive("AB");
        if (row != 1) h.device.countFails = true;
        // As under wine, where the waits read the modem status.
        if (row == 1) h.device.statusError = ERROR_GEN_FAILURE, h.device.waitStartFails = -1;
        h.device.Arrive("CD");
        // The reads fail first and are told; then the waits fail as well.
        if (row == 2) REQUIRE(h.host.PumpUntil([&] { return h.Count("err#"); }, 5000));
        if (row == 2) h.device.waitStartFails = -1;
        h.host.Pump(1500);
        h.device.countFails = false, h.device.statusError = 0, h.device.waitStartFails = 0;
        h.Arrive("EF");
        CHECK(h.Count("err#") == 1);
        CHECK(h.Count("sts#") == 1);
        CHECK(h.Bytes() == "ABCDEF");
    }
}

// The event thread's reports reach the link in the order they came, also
// when the host's thread takes them together: waits that failed, answered
// and failed again leave the failure told twice and the link failing.
TEST_CASE("waits that fail, answer and fail again before the host looks: the failure stands") {
    LinkHost h;
    Journal& j = h.journal;
    auto waits = [&] { return j.Count("WaitCommEvent"); };
    h.device.waitStartFails = -1;
    h.device.EndPendingWait();
    REQUIRE(j.WaitFor("WaitCommEvent", waits() + 4));
    h.device.waitStartFails = 0;
    REQUIRE(j.WaitFor("WaitCommEvent", waits() + 1));
    REQUIRE(h.device.WaitPending());
    h.device.waitStartFails = -1;
    h.device.Raise(EV_CTS); // the wait answers; the next fails again
    REQUIRE(j.WaitFor("WaitCommEvent", waits() + 4));
    h.host.Pump(500);
    CHECK(h.Count("err#") == 2);
}

// A pulled adapter: the pending wait ends aborted, its handle fails with the
// driver's code for good (or still answers a count from what it held), and
// its name is gone until it is plugged back, replaced by the new device at
// once, still opening on the dead device, or refused while the dead handle
// holds it. Quick: plugged back before the link had seen its name gone.
// Every mode comes back with err#, sts#Open#, and data both ways.
TEST_CASE("a pulled adapter comes back with err# then sts#Open#, whatever its driver answers") {
    using Mode = FakeComDevice::PullMode;
    struct Row {
        DWORD error;
        bool held, quick, closeWhileGone;
        Mode mode;
    } rows[] = {
        {ERROR_ACCESS_DENIED, false, false, false, Mode::Gone},
        {ERROR_BAD_COMMAND, false, false, false, Mode::Gone},
        {ERROR_GEN_FAILURE, true, false, false, Mode::Gone},
        {ERROR_DEVICE_REMOVED, false, false, false, Mode::Gone},
        {ERROR_OPERATION_ABORTED, false, false, false, Mode::Gone},
        {ERROR_GEN_FAILURE, false, true, false, Mode::Gone},
        {ERROR_BAD_COMMAND, true, true, false, Mode::Gone},
        {ERROR_DEVICE_REMOVED, false, false, true, Mode::Gone},
        {ERROR_DEVICE_REMOVED, false, false, false, Mode::Replaced},
        {ERROR_ACCESS_DENIED, false, false, false, Mode::Replaced},
        {ERROR_ACCESS_DENIED, false, false, false, Mode::Opens},
        {ERROR_OPERATION_ABORTED, false, true, false, Mode::Opens},
        {ERROR_BAD_COMMAND, false, false, false, Mode::Refused},
        {ERROR_GEN_FAILURE, false, true, false, Mode::Refused},
    };
    for (const Row& r : rows) {
        INFO(r.error, " held ", r.held, " quick ", r.quick, " close ", r.closeWhileGone, " mode ",
             int(r.mode));
        LinkHost h;
        h.device.heldCount = r.held;
        h.Arrive("AB");
        h.device.Pull(r.error, r.mode);
        if (r.quick) h.device.Plug();
        h.host.Pump(1000);
        if (r.closeWhileGone) {
            h.host.plugin.Call("Close");
            h.device.Plug();
            h.host.Pump(1000);
            CHECK(h.Notices() == "sts#Open#str#err#sts#Close#");
            continue;
        }
        if (!r.quick && r.mode != Mode::Replaced) h.device.Plug();
        REQUIRE(h.host.PumpUntil([&] { return h.host.received.size() >= 4; }, 5000));
        h.Arrive("CD");
        h.host.plugin.SetFile("XY");
        h.host.plugin.Call("sendstring");
        CHECK(h.Notices() == "sts#Open#str#err#sts#Open#str#");
        CHECK(h.Bytes() == "ABCD");
        CHECK(h.device.txData == "XY");
    }
}

// Settings given while the device fails are kept: told nothing, reported by
// the getters, and put on the handle of the device that comes back.
TEST_CASE("settings given while a pulled device is looked for reach the device that comes back") {
    LinkHost h;
    h.device.Pull(ERROR_GEN_FAILURE, FakeComDevice::PullMode::Refused);
    REQUIRE(h.host.PumpUntil([&] { return h.Count("err#"); }, 5000));
    for (const char* name : {"setbaudrate", "setdatabit", "setstopbit"}) {
        h.host.plugin.SetData(name[3] == 'b' ? 38400 : name[3] == 'd' ? 7 : 3);
        h.host.plugin.Call(name);
    }
    std::int32_t got[3];
    int i = 0;
    for (const char* name : {"getbaudrate", "getdatabit", "getstopbit"}) {
        h.host.plugin.Call(name);
        got[i++] = h.host.plugin.GetData();
    }
    CHECK(got[0] == 38400);
    CHECK(got[1] == 7);
    CHECK(got[2] == 3);
    h.device.Plug();
    REQUIRE(h.host.PumpUntil([&] { return h.Count("sts#Open#") == 2; }, 5000));
    CHECK(h.Count("err#") == 1);
    REQUIRE(!h.device.dcbs.empty());
    CHECK(h.device.dcbs.back().BaudRate == 38400);
    CHECK(h.device.dcbs.back().ByteSize == 7);
    CHECK(h.device.dcbs.back().StopBits == TWOSTOPBITS);
}

// A driver that blocks CloseHandle on a dead handle: the host's thread never
// waits for it, neither in Close nor where the link lets the handle go. The
// longest step of the host's loop is compared with the same loop's before the
// pull.
TEST_CASE("a dead device's teardown never holds the host's thread") {
    for (bool close : {true, false}) {
        CAPTURE(close);
        LinkHost h;
        h.device.closeBlocks = 3000;
        auto longestStep = [&](DWORD ms, auto done) {
            DWORD longest = 0, last = GetTickCount(), end = last + ms;
            while (!done() && LONG(GetTickCount() - end) < 0) {
                h.host.Pump(5);
                DWORD now = GetTickCount();
                if (now - last > longest) longest = now - last;
                last = now;
            }
            return longest;
        };
        DWORD quiet = longestStep(300, [] { return false; });
        h.device.Pull(ERROR_ACCESS_DENIED, FakeComDevice::PullMode::Refused);
        DWORD failing = longestStep(5000, [&] { return h.Count("err#") > 0; });
        DWORD start = GetTickCount();
        if (close) h.host.plugin.Call("Close");
        DWORD closing = GetTickCount() - start;
        DWORD after = longestStep(1500, [] { return false; });
        CHECK(failing < quiet + 1000);
        CHECK(closing < quiet + 1000);
        CHECK(after < quiet + 1000);
        CHECK(h.Count("err#") == 1);
        CHECK(h.Count("sts#Close#") == (close ? 1 : 0));
    }
}

// A relay tick that runs between a move's two clicks gives its bytes the second.
TEST_CASE("a relay between the clicks of a move: each text read once") {
    LinkHost h;
    h.host.Pump(200);
    h.device.Arrive("AB");
    MSG tick; // held back until the move's first click is queued
    for (int i = 0; i < 1000 && !PeekMessageA(&tick, nullptr, WM_APP, 0xBFFF, PM_REMOVE); ++i)
        Sleep(5);
    h.host.plugin.Call("Close");
    PostMessageA(tick.hwnd, tick.message, tick.wParam, tick.lParam);
    h.host.plugin.Call("open");
    h.device.Arrive("XY");
    h.host.Pump(400);
    CHECK(h.Notices() == "sts#Open#sts#Open#str#");
    CHECK(h.Bytes() == "ABXY");
}

// A host reads a data text up to the first "#" that the terminating zero
// follows: no text holds that pair sooner, also where bytes join the
// unfetched text, and each pair costs at most one more text. Bytes in the
// driver at a close or a move join the unfetched text, whatever waits.
TEST_CASE("every received byte reaches a host that reads by the rule, also at a close or move") {
    using namespace std::string_literals;
    struct Row {
        std::string first, second, then;
        int texts;
    } rows[] = {
        {"A#\0B"s, "", "", 2},      {"#\0#\0##\0\0#"s, "", "", 4}, {"A#", "\0B"s, "", 2},
        {"\0#"s, "\0#\0"s, "", 3},  {"#", "#\0"s, "", 2},          {"AB", "CD", "Close", 1},
        {"AB", "CD", "setport", 1},
    };
    for (const Row& r : rows) {
        CAPTURE(r.then);
        CAPTURE(r.texts);
        LinkHost h;
        h.host.answerClicks = false; // the first batch stays unfetched
        h.device.Arrive(r.first);
        REQUIRE(h.host.PumpUntil([&] { return h.host.clicks >= 2; }, 5000));
        if (!r.then.empty()) {
            h.host.plugin.SetFile("LPT1"); // names no port: an err# waits behind the data
            h.host.plugin.Call("setport");
            h.device.Arrive(r.second);
            h.host.plugin.SetFile("COM2");
            h.host.plugin.Call(r.then.c_str());
            h.host.Pump(0); // the host's own text ends with the next message taken
        } else if (!r.second.empty()) {
            h.Arrive(r.second);
        }
        h.host.answerClicks = true;
        h.host.Fetch();
        REQUIRE(h.host.PumpUntil(
            [&] {
                return h.Bytes().size() >= (r.first + r.second).size() &&
                       (r.then.empty() || h.Count("sts#Close#"));
            },
            5000));
        h.host.Pump(200);
        CHECK(h.Bytes() == r.first + r.second);
        CHECK(h.Count("str#") <= r.texts);
        if (!r.then.empty()) CHECK(h.Notices().rfind("sts#Open#str#err#sts#Close#", 0) == 0);
    }
}

namespace {
DWORD WINAPI PullSoon(void* device) {
    Sleep(200);
    static_cast<FakeComDevice*>(device)->Pull(ERROR_GEN_FAILURE);
    return 0;
}
} // namespace

// Nothing closes the handle under a write in flight: a name found gone
// meanwhile is acted on once the write has ended.
TEST_CASE("a device pulled during a long write: its handle closes only after the write") {
    LinkHost h;
    h.device.writeBlocks = 1500;
    h.host.plugin.SetFile("XY");
    HANDLE puller = CreateThread(nullptr, 0, PullSoon, &h.device, 0, nullptr);
    h.host.plugin.Call("sendstring");
    WaitForSingleObject(puller, INFINITE);
    CloseHandle(puller);
    REQUIRE(h.host.PumpUntil([&] { return h.journal.Count("CloseHandle") > 0; }, 5000));
    std::vector<std::string> order = h.journal.Entries();
    auto at = [&](const std::string& e) { return std::find(order.begin(), order.end(), e); };
    CHECK(at("WriteFile done") < at("CloseHandle"));
}

// The plug-in's own tries never fail the host's opens on a port that opens
// once: a Close and an open at once while the search holds the handle it
// found, or while a slow try is under way, and an open while it holds it.
TEST_CASE("the host's open never meets a handle of the plug-in's own") {
    struct Row {
        bool close, slowTry;
    } rows[] = {{true, false}, {false, false}, {true, true}};
    for (const Row& r : rows) {
        CAPTURE(r.close);
        CAPTURE(r.slowTry);
        LinkHost h;
        h.device.Pull(ERROR_GEN_FAILURE);
        REQUIRE(h.host.PumpUntil([&] { return h.Count("err#"); }, 5000));
        h.host.Pump(300);           // the dead handle let go, the name looked for
        h.device.closeBlocks = 300; // a handle not taken takes a while to let go of
        if (r.slowTry) {
            h.device.openBlocks = 1000;
            const char* open = "CreateFileA \\\\.\\COM1 C0000000 0 3 40000000";
            REQUIRE(h.journal.WaitFor(open, h.journal.Count(open) + 1));
            h.device.Plug(); // the try under way will find it
        } else {
            h.device.Plug();
            for (int i = 0; i < 500 && !h.device.Held(); ++i) // the search holds what it found
                Sleep(10);
            REQUIRE(h.device.Held());
        }
        if (r.close) h.host.plugin.Call("Close");
        h.host.plugin.Call("open");
        // A Close may first take the search's news (the device back), and
        // statuses the host has not fetched yet give way to the newest.
        auto ends = [&] {
            std::string all = h.Notices();
            return all.size() > 9 && all.compare(all.size() - 9, 9, "sts#Open#") == 0;
        };
        INFO(h.Notices());
        REQUIRE(h.host.PumpUntil(ends, 8000));
        h.Arrive("CD");
        CHECK(h.Bytes() == "CD");
        CHECK(h.Count("err#") == 1);
    }
}

// A port moved while its device is lost acts at once, as on an open port:
// the old port's search ends with sts#Close#, and a name that never opens
// is told once and not looked for.
TEST_CASE("setport on a lost port closes it, and a name that names no device is told once") {
    LinkHost h;
    h.device.Pull(ERROR_GEN_FAILURE);
    REQUIRE(h.host.PumpUntil([&] { return h.Count("err#"); }, 5000));
    h.host.Pump(300); // lost, looked for
    h.host.plugin.SetFile("COM9");
    h.host.plugin.Call("setport");
    h.host.Pump(1000);
    CHECK(h.Notices() == "sts#Open#err#sts#Close#err#");
    CHECK(h.journal.Count("CreateFileA \\\\.\\COM9 C0000000 0 3 40000000") == 1);
    h.host.plugin.Call("getport");
    CHECK(std::string(h.host.plugin.GetFile()) == "COM9");
}

// A stopped search ends by itself, and nothing of it is left once it has:
// after a pull and a Close the process holds what a plain open and Close
// leave it.
TEST_CASE("a stopped search leaves nothing behind") {
    LinkHost h;
    auto closeAndCount = [&] {
        h.host.plugin.Call("Close");
        h.host.Pump(500);
        h.host.plugin.Call("getport"); // a host call after the search's end
        return HandleCount();
    };
    DWORD plain = closeAndCount();
    h.host.plugin.Call("open");
    REQUIRE(h.host.PumpUntil([&] { return h.Count("sts#Open#") == 2; }, 5000));
    h.device.Pull(ERROR_GEN_FAILURE);
    REQUIRE(h.host.PumpUntil([&] { return h.Count("err#"); }, 5000));
    h.host.Pump(300); // lost, looked for
    CHECK(closeAndCount() <= plain);
}
