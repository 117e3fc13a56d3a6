// The component window in a real host window: building once, the caption
// choice, the start-up move, Draw, the click's point, and the component's end,
// also with a new component built while the old one ends.
#include <doctest/doctest.h>

#include "plugin/TestHost.h"

namespace {

std::string ClassOf(HWND w) {
    char name[64] = {};
    GetClassNameA(w, name, sizeof name);
    return name;
}

// The plug-in's applets, found by their captions.
HWND FindApplet(const char* caption) {
    return FindWindowA("obj_App", caption);
}

} // namespace

TEST_CASE("SetParentWindow builds the component once and the start-up tick shows Form1") {
    TestHost host;
    host.plugin.SetParentWindow(host.window);
    // Form1 exists at once, hidden, outside the host window.
    CHECK(host.Form1() == nullptr);
    REQUIRE(host.PumpUntil([&] { return host.Form1() != nullptr; }, 3000));
    HWND form = host.Form1();
    CHECK(ClassOf(form) == "obj_Form");
    CHECK(GetParent(form) == host.window);
    CHECK(IsWindowVisible(form));
    LONG style = GetWindowLongA(form, GWL_STYLE);
    CHECK((style & WS_CHILD) != 0);
    CHECK((style & (WS_CAPTION | WS_THICKFRAME)) == 0);

    host.plugin.Draw(10, 20, 100, 30);
    RECT r;
    GetWindowRect(form, &r);
    MapWindowPoints(nullptr, host.window, reinterpret_cast<POINT*>(&r), 2);
    CHECK(r.left == 10);
    CHECK(r.top == 20);
    CHECK(r.right - r.left == 100);
    CHECK(r.bottom - r.top == 30);

    // A top-level host window selects "pluginreal"; nothing is built twice.
    CHECK(FindApplet("pluginreal") != nullptr);
    host.plugin.SetParentWindow(host.window);
    host.Pump(300);
    CHECK(FindWindowExA(host.window, form, "obj_Form", "Form1") == nullptr);
}

TEST_CASE("start-up ticks queued by a busy host move Form1 once, into the first window") {
    TestHost host;
    HWND second = CreateWindowExA(0, "comrelay_test_host", "second", WS_OVERLAPPEDWINDOW, 0, 0, 200,
                                  200, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    host.plugin.SetParentWindow(host.window);
    Sleep(900); // the host is busy: several ticks queue up
    // One message at a time, until the first tick has moved Form1.
    MSG m;
    for (DWORD end = GetTickCount() + 5000; !host.Form1() && GetTickCount() < end;)
        if (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
    REQUIRE(host.Form1() != nullptr);
    host.plugin.SetParentWindow(second); // between two queued ticks
    host.Pump(600);
    CHECK(host.Form1() != nullptr);
    CHECK(FindWindowExA(second, nullptr, "obj_Form", "Form1") == nullptr);
    DestroyWindow(second);
}

TEST_CASE("the click lands at the Draw corner, negative coordinates included") {
    TestHost host;
    REQUIRE(host.Adopt());
    struct Case {
        int left, top;
        LPARAM expected;
    } cases[] = {{10, 20, 0x0014000A}, {-5, 20, 0x0014FFFB}};
    for (const Case& c : cases) {
        CAPTURE(c.left);
        host.plugin.Draw(c.left, c.top, 100, 30);
        host.received.clear();
        // A failed open reports an error: a notification that needs no line.
        host.plugin.SetFile("COM16");
        host.plugin.Call("setport");
        host.plugin.Call("open");
        REQUIRE(host.WaitNotifications(1));
        CHECK(host.received[0].down == c.expected);
        host.Pump(50);
        CHECK(host.received[0].up == c.expected);
    }
}

TEST_CASE("a child host window selects pluginedit") {
    TestHost host;
    HWND child = CreateWindowExA(0, "STATIC", "", WS_CHILD | WS_VISIBLE, 0, 0, 200, 100,
                                 host.window, nullptr, nullptr, nullptr);
    host.plugin.SetParentWindow(child);
    CHECK(FindApplet("pluginedit") != nullptr);
    CHECK(FindApplet("pluginreal") == nullptr);
    // Form1 moves into the child; destroying the host then ends the component.
    CHECK(host.PumpUntil([&] { return FindWindowExA(child, nullptr, "obj_Form", "Form1"); }, 3000));
}

TEST_CASE("destroying the host window ends the component; a new window builds a new one") {
    TestHost host;
    host.plugin.SetParentWindow(host.window);
    REQUIRE(host.PumpUntil([&] { return host.Form1() != nullptr; }, 3000));
    DestroyWindow(host.window);
    host.Pump(100);
    CHECK(FindApplet("pluginreal") == nullptr);

    // Until a new SetParentWindow the component's exports do nothing.
    host.plugin.SetData(19200);
    host.plugin.Call("getbaudrate");
    CHECK(host.plugin.GetData() == 19200);
    host.plugin.Call("open");
    host.plugin.Draw(1, 2, 3, 4);

    TestHost second; // a second window of the same process, same library
    second.plugin.SetParentWindow(second.window);
    REQUIRE(second.PumpUntil([&] { return second.Form1() != nullptr; }, 3000));
    second.plugin.Call("getbaudrate");
    CHECK(second.plugin.GetData() == 9600);
}

TEST_CASE("WM_CLOSE to Form1 ends the component") {
    TestHost host;
    host.plugin.SetParentWindow(host.window);
    REQUIRE(host.PumpUntil([&] { return host.Form1() != nullptr; }, 3000));
    SendMessageA(host.Form1(), WM_CLOSE, 0, 0);
    host.Pump(100);
    CHECK(host.Form1() == nullptr);
    CHECK(FindApplet("pluginreal") == nullptr);
    CHECK(IsWindow(host.window));
}

namespace {
TestHost* Rebuilder = nullptr;
// A host window that a message from another thread reaches while the old
// component's end waits; its handler gives the host window again.
LRESULT CALLBACK RebuildOnMessage(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_USER && Rebuilder) {
        Rebuilder->plugin.SetParentWindow(Rebuilder->window);
        Rebuilder = nullptr;
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
}
} // namespace

TEST_CASE("a component built by a host handler while the old one's end waits") {
    // This copy of the DLL makes each timer stop of the end wait for a tick
    // that sends a message to the window below.
    TestHost host("comrelay_stopwait.dll");
    REQUIRE(host.Adopt());
    WNDCLASSA wc = {};
    wc.lpfnWndProc = RebuildOnMessage;
    wc.lpszClassName = "comrelay_stop_wait";
    RegisterClassA(&wc);
    HWND trigger = CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 10, 10, nullptr, nullptr,
                                   nullptr, nullptr);
    Rebuilder = &host;
    SendMessageA(host.Form1(), WM_CLOSE, 0, 0);
    DestroyWindow(trigger);
    CHECK(Rebuilder == nullptr);
    // The new component moves in and answers; the old one took only its own.
    REQUIRE(host.PumpUntil([&] { return host.Form1() != nullptr; }, 5000));
    HWND applet = FindApplet("pluginreal");
    CHECK(FindWindowExA(nullptr, applet, "obj_App", "pluginreal") == nullptr);
    host.plugin.SetData(-1);
    host.plugin.Call("getbaudrate");
    CHECK(host.plugin.GetData() == 9600);
}

TEST_CASE("out-of-table values leave the settings and the mailboxes alone") {
    TestHost host;
    REQUIRE(host.Adopt());
    struct Case {
        const char* set;
        const char* get;
        int bad;
        int current;
    } cases[] = {{"setbaudrate", "getbaudrate", 230400, 9600},
                 {"setbaudrate", "getbaudrate", -1, 9600},
                 {"setbaudrate", "getbaudrate", 0, 9600},
                 {"setdatabit", "getdatabit", 4, 8},
                 {"setdatabit", "getdatabit", 9, 8},
                 {"setstopbit", "getstopbit", 0, 1},
                 {"setstopbit", "getstopbit", 4, 1}};
    for (const Case& c : cases) {
        CAPTURE(c.set);
        CAPTURE(c.bad);
        host.plugin.SetData(c.bad);
        host.plugin.Call(c.set);
        CHECK(host.plugin.GetData() == c.bad);
        host.plugin.Call(c.get);
        CHECK(host.plugin.GetData() == c.current);
    }
    // The tables in both directions.
    host.plugin.SetData(19200);
    host.plugin.Call("setbaudrate");
    host.plugin.SetData(0);
    host.plugin.Call("getbaudrate");
    CHECK(host.plugin.GetData() == 19200);
    host.plugin.SetData(2);
    host.plugin.Call("setstopbit");
    host.plugin.SetData(0);
    host.plugin.Call("getstopbit");
    CHECK(host.plugin.GetData() == 2);

    host.plugin.SetFile("com3");
    host.plugin.Call("setport");
    host.plugin.Call("getport");
    CHECK(std::string(host.plugin.GetFile()) == "COM3");
    host.plugin.SetFile("COM17");
    host.plugin.Call("setport");
    host.plugin.Call("getport");
    CHECK(std::string(host.plugin.GetFile()) == "COM17");

    host.plugin.SetFile("kept");
    host.plugin.SetData(77);
    for (const char* name : {"setparity", "getparity", "senddata", "getstring"})
        host.plugin.Call(name);
    CHECK(std::string(host.plugin.GetFile()) == "kept");
    CHECK(host.plugin.GetData() == 77);
    host.Pump(50);
    CHECK(host.received.empty());
}
