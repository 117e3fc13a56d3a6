// The settings dialog under a real display: its window, layout and buttons,
// the refused ways out, its end right after the click behind a busy host,
// nesting and a WM_QUIT during its wait.
#include <doctest/doctest.h>

#include "plugin/TestHost.h"
#include "support/WakeMaskShim.h"
#include <string>

namespace {

// Runs on the test's second thread while Interface waits on the first.
struct Driver {
    enum Action {
        ClickOk,
        ClickCansel,
        Inspect,
        PostQuit,
        Nested,
        CloseApplet,
        DestroyApplet,
        NullThenOk
    };
    Action action = ClickOk;
    DWORD hostThread = 0;
    HWND hostWindow = nullptr; // a TestHost's, for NullThenOk
    DWORD clickedAt = 0, returnedAt = 0;
    bool found = false;
    std::string caption, edit;
    RECT window = {}, client = {};
    LONG exStyle = 0;
    HWND ok = nullptr, cansel = nullptr;
    bool stillThereAfterAltF4 = false;
};

// Set by the driver; the host's timer handler, run inside the wait, obeys.
// The close waits for Cansel's answer to hide Form2, so it comes under the click.
volatile bool DestroyAppletNow = false, CloseAppletWhenAnswered = false;
void CALLBACK DestroyAppletIfAsked(HWND, UINT, UINT_PTR, DWORD) {
    if (CloseAppletWhenAnswered && !IsWindowVisible(FindWindowA("obj_Form", "Form2"))) {
        CloseAppletWhenAnswered = false;
        SendMessageA(FindWindowA("obj_App", "formset"), WM_CLOSE, 0, 0);
    }
    if (!DestroyAppletNow) return;
    DestroyAppletNow = false;
    DestroyWindow(FindWindowA("obj_App", "formset"));
}

HWND WaitForForm2(DWORD timeoutMs) {
    for (DWORD waited = 0; waited < timeoutMs; waited += 20) {
        HWND w = FindWindowA("obj_Form", "Form2");
        if (w && IsWindowVisible(w)) return w;
        Sleep(20);
    }
    return nullptr;
}

DWORD WINAPI Drive(void* p) {
    auto* d = static_cast<Driver*>(p);
    HWND form = WaitForForm2(5000);
    d->found = form != nullptr;
    if (!form) return 0;
    char text[64] = {};
    GetWindowTextA(form, text, sizeof text);
    d->caption = text;
    GetWindowRect(form, &d->window);
    GetClientRect(form, &d->client);
    d->exStyle = GetWindowLongA(form, GWL_EXSTYLE);
    d->ok = FindWindowExA(form, nullptr, "obj_BUTTON", "OK");
    d->cansel = FindWindowExA(form, nullptr, "obj_BUTTON", "Cansel");
    HWND edit = FindWindowExA(form, nullptr, "obj_EDIT", nullptr);
    GetWindowTextA(edit, text, sizeof text);
    d->edit = text;
    // The ways out that must not work.
    PostMessageA(form, WM_SYSCOMMAND, SC_CLOSE, 0);
    PostMessageA(form, WM_SYSKEYDOWN, VK_F4, 0x20000000);
    Sleep(300);
    d->stillThereAfterAltF4 = IsWindow(form) && IsWindowVisible(form);
    switch (d->action) {
    case Driver::PostQuit:
        PostThreadMessageA(d->hostThread, WM_QUIT, 3, 0);
        break;
    // What a tool does to every top-level window of a process; DestroyWindow
    // must come from the window's own thread, so it is asked for there.
    case Driver::CloseApplet:
        PostMessageA(FindWindowA("obj_App", "formset"), WM_CLOSE, 0, 0);
        break;
    case Driver::DestroyApplet:
        DestroyAppletNow = true;
        break;
    // Posted, as input is: the wait sleeps until the queue gets a message.
    case Driver::ClickCansel:
        d->clickedAt = GetTickCount();
        PostMessageA(d->cansel, BM_CLICK, 0, 0);
        break;
    // One step of the host's job keeps its thread busy while a WM_NULL and
    // the click queue up behind it: the wait's next peek sees both.
    case Driver::NullThenOk:
        PostMessageA(d->hostWindow, TestHost::JobMessage, 0, 0);
        PostMessageA(d->hostWindow, WM_NULL, 0, 0);
        [[fallthrough]];
    default:
        d->clickedAt = GetTickCount();
        PostMessageA(d->ok, BM_CLICK, 0, 0);
        break;
    }
    // A wait that slept past the click wakes at the next message.
    for (int i = 0; i < 250 && IsWindow(form); ++i)
        Sleep(20);
    if (IsWindow(form)) PostThreadMessageA(d->hostThread, WM_APP, 0, 0);
    return 0;
}

std::int32_t RunWithDriver(Plugin& plugin, Driver& d) {
    d.hostThread = GetCurrentThreadId();
    HANDLE t = CreateThread(nullptr, 0, Drive, &d, 0, nullptr);
    std::int32_t r = plugin.CallInt("Interface");
    d.returnedAt = GetTickCount();
    WaitForSingleObject(t, 10000);
    CloseHandle(t);
    return r;
}

} // namespace

TEST_CASE("Interface shows Form2 as laid out and OK or Cansel ends it with 0") {
    Plugin plugin;
    for (auto action : {Driver::ClickOk, Driver::ClickCansel}) {
        Driver d;
        d.action = action;
        CHECK(RunWithDriver(plugin, d) == 0);
        REQUIRE(d.found);
        CHECK(d.caption == "Form2");
        CHECK(d.window.left == 256);
        CHECK(d.window.top == 158);
        CHECK(d.client.right == 176);
        CHECK(d.client.bottom == 130);
        CHECK((d.exStyle & WS_EX_TOPMOST) != 0);
        CHECK(d.edit == "EditBox1");
        CHECK(d.ok != nullptr);
        CHECK(d.cansel != nullptr);
        CHECK(d.stillThereAfterAltF4);
        // Nothing of the dialog is left.
        CHECK(FindWindowA("obj_Form", "Form2") == nullptr);
        CHECK(FindWindowA("obj_App", "formset") == nullptr);
    }
}

TEST_CASE("Interface returns right after the click, behind a WM_NULL or a host's endless job") {
    TestHost host;
    struct Case {
        const char* before;
        Driver::Action action;
        DWORD job;
    } cases[] = {{"a WM_NULL", Driver::NullThenOk, 0}, {"a job", Driver::ClickCansel, 6000}};
    for (const Case& c : cases) {
        if (c.job) host.StartJob(c.job); // it goes on after the dialog
        Driver d;
        d.action = c.action;
        d.hostWindow = host.window;
        CHECK(RunWithDriver(host.plugin, d) == 0);
        DWORD late = d.returnedAt - d.clickedAt;
        MESSAGE("behind " << std::string(c.before) << ", Interface returned " << late
                          << " ms after the click");
        CHECK(late < 2000);
    }
}

TEST_CASE("the dialog's wait passes no wake bit that Windows 7 rejects") {
    TestHost host;
    WakeMaskShim::Install(host.plugin.Module());
    for (auto action : {Driver::ClickOk, Driver::NullThenOk}) {
        Driver d;
        d.action = action;
        d.hostWindow = host.window;
        WakeMaskShim::Passed = WakeMaskShim::Rejected = 0;
        CHECK(RunWithDriver(host.plugin, d) == 0);
        CHECK(d.found);
        CHECK(WakeMaskShim::Rejected == 0);
        CHECK(WakeMaskShim::Passed > 0); // the wait did go through the shim
    }
}

namespace {
Plugin* NestedPlugin = nullptr;
std::int32_t NestedResult = -1;
bool NestedReturnedAtOnce = false;

LRESULT CALLBACK NestingHost(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_USER + 7) {
        DWORD start = GetTickCount();
        NestedResult = NestedPlugin->CallInt("Interface");
        NestedReturnedAtOnce = GetTickCount() - start < 1000;
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
}
} // namespace

TEST_CASE("a nested Interface call returns 0 at once and leaves the dialog running") {
    Plugin plugin;
    NestedPlugin = &plugin;
    WNDCLASSA wc = {};
    wc.lpfnWndProc = NestingHost;
    wc.lpszClassName = "nesting_host";
    RegisterClassA(&wc);
    HWND w =
        CreateWindowExA(0, "nesting_host", "", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    PostMessageA(w, WM_USER + 7, 0, 0); // handled during the outer wait
    Driver d;
    CHECK(RunWithDriver(plugin, d) == 0);
    CHECK(d.found);
    CHECK(NestedResult == 0);
    CHECK(NestedReturnedAtOnce);
    DestroyWindow(w);
}

TEST_CASE("a WM_QUIT during the wait ends it and is posted again for the host") {
    Plugin plugin;
    Driver d;
    d.action = Driver::PostQuit;
    CHECK(RunWithDriver(plugin, d) == 0);
    CHECK(FindWindowA("obj_Form", "Form2") == nullptr);
    MSG m;
    REQUIRE(PeekMessageA(&m, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    CHECK(m.wParam == 3);
    // The plug-in still answers afterwards.
    Driver again;
    CHECK(RunWithDriver(plugin, again) == 0);
    CHECK(again.found);
}

namespace {
Plugin* UnloadingPlugin = nullptr;
void CALLBACK UnloadDuringWait(HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    UnloadingPlugin->Unload(); // the host's own handler, run by the dialog's wait
}
} // namespace

TEST_CASE("FreeLibrary from a host handler during Interface, with no component built") {
    Plugin plugin;
    UnloadingPlugin = &plugin;
    SetTimer(nullptr, 0, 100, UnloadDuringWait);
    Driver d;
    d.action = Driver::ClickOk;
    // The wait returns into the library's code: it must still be there.
    CHECK(RunWithDriver(plugin, d) == 0);
    CHECK(d.found);
    CHECK(plugin.Module() == nullptr);
    CHECK(FindWindowA("obj_Form", "Form2") == nullptr);
}

TEST_CASE("the dialog's applet closed or destroyed from outside ends the wait cleanly") {
    // A host that pumps when Form2 gives its focus back: there the timer
    // closes the applet under Cansel's answer, in the last row.
    TestHost host;
    host.dispatchOnActivate = true;
    DWORD bound = 8000; // then twice the destroy's time and a second
    for (auto action : {Driver::CloseApplet, Driver::DestroyApplet, Driver::ClickCansel}) {
        CAPTURE(static_cast<int>(action));
        Driver d;
        d.action = action;
        CloseAppletWhenAnswered = action == Driver::ClickCansel;
        UINT_PTR t = SetTimer(nullptr, 0, 20, DestroyAppletIfAsked);
        d.hostThread = GetCurrentThreadId();
        HANDLE th = CreateThread(nullptr, 0, Drive, &d, 0, nullptr);
        DWORD start = GetTickCount();
        CHECK(host.plugin.CallInt("Interface") == 0);
        DWORD took = GetTickCount() - start;
        CHECK(took < bound);
        if (action == Driver::DestroyApplet) bound = 2 * took + 1000;
        WaitForSingleObject(th, 10000);
        CloseHandle(th);
        KillTimer(nullptr, t);
        CHECK(d.found);
        CHECK(FindWindowA("obj_Form", "Form2") == nullptr);
        CHECK(FindWindowA("obj_App", "formset") == nullptr);
    }
    // The dialog runs again afterwards.
    Driver again;
    CHECK(RunWithDriver(host.plugin, again) == 0);
    CHECK(again.found);
}
