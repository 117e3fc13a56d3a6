// The component's link to its device, on the fake device with a clock ten
// times fast: a device that half works, and one pulled and plugged back, with
// the codes by which drivers say that it is gone. The plug-in's code is
// linked into this program, with its state checks live.
#include <doctest/doctest.h>

#include "plugin/TestHost.h"
#include "plugin/Unit1.h"
#include "unit/comport_FakeDevice.h"

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
    for (int row = 0; row < 2; ++row) {
        CAPTURE(row);
        LinkHost h;
        h.Arrive("AB");
        if (row == 0) h.device.countFails = true;
        // As under wine, where the waits read the modem status.
        if (row == 1) h.device.statusError = ERROR_GEN_FAILURE, h.device.waitStartFails = -1;
        h.device.Arrive("CD");
        h.host.Pump(1500);
        h.device.countFails = false, h.device.statusError = 0, h.device.waitStartFails = 0;
        h.Arrive("EF");
        CHECK(h.Count("err#") == 1);
        CHECK(h.Count("sts#") == 1);
        CHECK(h.Bytes() == "ABCDEF");
    }
}

// A pulled adapter: the pending wait ends aborted, its handle fails with the
// driver's code (or still answers a count from what it held), and its name
// is gone until it is plugged back. Quick: plugged back before the link had
// seen its name gone. The name may also outlive the device, held by the dead
// handle: then the code alone tells the removal.
TEST_CASE("a pulled adapter comes back with err# then sts#Open#, whatever its driver answers") {
    struct Row {
        DWORD error;
        bool held, quick, closeWhileGone, nameStays;
    } rows[] = {
        {ERROR_ACCESS_DENIED, false, false, false, false},
        {ERROR_BAD_COMMAND, false, false, false, false},
        {ERROR_GEN_FAILURE, true, false, false, false},
        {ERROR_DEVICE_REMOVED, false, false, false, false},
        {ERROR_GEN_FAILURE, false, true, false, false},
        {ERROR_BAD_COMMAND, true, true, false, false},
        {ERROR_DEVICE_REMOVED, false, false, true, false},
        {ERROR_DEVICE_REMOVED, false, false, false, true},
    };
    for (const Row& r : rows) {
        INFO(r.error, " held ", r.held, " quick ", r.quick, " close ", r.closeWhileGone,
             " name stays ", r.nameStays);
        LinkHost h;
        h.device.heldCount = r.held;
        h.Arrive("AB");
        h.device.Pull(r.error, r.nameStays);
        if (r.quick) h.device.Plug();
        h.host.Pump(1000);
        if (r.closeWhileGone) {
            h.host.plugin.Call("Close");
            h.device.Plug();
            h.host.Pump(1000);
            CHECK(h.Notices() == "sts#Open#str#err#sts#Close#");
            continue;
        }
        if (!r.quick && !r.nameStays) h.device.Plug();
        REQUIRE(h.host.PumpUntil([&] { return h.host.received.size() >= 4; }, 5000));
        h.Arrive("CD");
        CHECK(h.Notices() == "sts#Open#str#err#sts#Open#str#");
        CHECK(h.Bytes() == "ABCD");
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
