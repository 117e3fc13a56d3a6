// comrelay-host's window on a real display: the plug-in's component placed
// where the host drew it and kept there, and closing the window as a user
// does, with the port open or the settings dialog up.
#include <doctest/doctest.h>

#include "refhost/HostProcess.h"
#include "support/PeerClient.h"

#include <cstdio>
#include <dbt.h>
#include <string>

namespace {

// The rectangle of the last "Draw(0, left, top, width, height)" printed.
bool LastDraw(const std::string& out, RECT& r) {
    size_t at = out.rfind("Draw(0, ");
    long l, t, w, h;
    if (at == std::string::npos ||
        std::sscanf(out.c_str() + at, "Draw(0, %ld, %ld, %ld, %ld)", &l, &t, &w, &h) != 4)
        return false;
    r = {l, t, l + w, t + h};
    return true;
}

// Form1's rectangle in the host's client coordinates.
RECT ChildRect(HWND child, HWND parent) {
    RECT r;
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

// Checks that Form1 is the host's child at the drawn rectangle, inside the
// client area, and that none of the host's own controls covers it.
void CheckPlaced(HostProcess& host, HWND window, HWND form1) {
    RECT drawn;
    REQUIRE(LastDraw(host.Output(), drawn));
    CHECK(GetParent(form1) == window);
    RECT r = ChildRect(form1, window);
    CHECK(EqualRect(&r, &drawn));
    RECT client, inside;
    GetClientRect(window, &client);
    IntersectRect(&inside, &r, &client);
    CHECK(EqualRect(&inside, &r));
    for (HWND c = GetWindow(window, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        if (c == form1 || !IsWindowVisible(c)) continue;
        RECT other = ChildRect(c, window), overlap;
        char cls[32] = {};
        GetClassNameA(c, cls, sizeof cls);
        CAPTURE(cls);
        CHECK_FALSE(IntersectRect(&overlap, &other, &r));
        // A drop-down box is one line high, and its list still opens long.
        if (lstrcmpiA(cls, "COMBOBOX") == 0) {
            RECT list = {};
            SendMessageA(c, CB_GETDROPPEDCONTROLRECT, 0, reinterpret_cast<LPARAM>(&list));
            CHECK(other.bottom - other.top < 40);
            CHECK(list.bottom - list.top >= 150);
        }
    }
}

// The height the host's labels need for text wrapped at width: the host
// writes them in the system's message font.
int WrappedHeight(const char* text, int width) {
    NONCLIENTMETRICSA metrics = {};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    HFONT font = CreateFontIndirectA(&metrics.lfMessageFont);
    HDC dc = GetDC(nullptr);
    HGDIOBJ old = SelectObject(dc, font);
    RECT r = {0, 0, width, 0};
    DrawTextA(dc, text, -1, &r, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    DeleteObject(font);
    return r.bottom;
}

} // namespace

TEST_CASE("every label is tall enough for its wrapped text, whatever the font") {
    HostProcess host;
    REQUIRE(host.Start(""));
    HWND window = host.Window();
    REQUIRE(window);
    REQUIRE(WaitForm1(window)); // laid out, and done with making itself
    int labels = 0;
    for (HWND c = GetWindow(window, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        char cls[32] = {}, text[512] = {};
        GetClassNameA(c, cls, sizeof cls);
        GetWindowTextA(c, text, sizeof text);
        if (lstrcmpiA(cls, "STATIC") != 0 || !text[0] || !IsWindowVisible(c)) continue;
        RECT r;
        GetClientRect(c, &r);
        std::string shown = text;
        CAPTURE(shown);
        CHECK(r.bottom >= WrappedHeight(text, r.right));
        ++labels;
    }
    CHECK(labels >= 7);
    // The port box offers the ports that exist: the rig's, COM1 to COM4, first.
    HWND ports = GetDlgItem(window, 100);
    for (int i = 0; i < 4; ++i) {
        wchar_t item[32] = {}; // another process's box: wine hands its text over as UTF-16
        SendMessageW(ports, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item));
        CHECK(std::wstring(item) == L"COM" + std::to_wstring(i + 1));
    }
    PostMessageA(window, WM_CLOSE, 0, 0);
    CHECK(host.WaitExit() == 0);
}

TEST_CASE("the component is the host window's child at the Draw rectangle, also after a resize") {
    HostProcess host;
    REQUIRE(host.Start(""));
    HWND window = host.Window();
    REQUIRE(window);
    HWND form1 = WaitForm1(window);
    REQUIRE(form1);
    REQUIRE(host.WaitFor("Draw(0, "));
    CheckPlaced(host, window, form1);

    for (SIZE size : {SIZE{1100, 800}, SIZE{700, 560}, SIZE{300, 200}}) {
        CAPTURE(size.cx);
        SetWindowPos(window, nullptr, 0, 0, size.cx, size.cy,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
        Sleep(300);
        CHECK(FindWindowExA(window, nullptr, "obj_Form", "Form1") == form1);
        CheckPlaced(host, window, form1);
    }
    PostMessageA(window, WM_CLOSE, 0, 0);
    CHECK(host.WaitExit() == 0);
}

TEST_CASE("closing the window with the port open closes the port and ends the process") {
    PeerClient peer;
    REQUIRE(peer.Attach(1));
    REQUIRE(peer.Echo(1, true));
    HostProcess host;
    REQUIRE(host.Start("--port COM1 --send before --wait-for before"));
    REQUIRE(host.WaitFor("received \"before\""));
    HWND window = host.Window();
    REQUIRE(window);
    CHECK(peer.Holders(1) > 0);
    // A port comes and goes, a volume too: the box follows the port alone, keeps COM1 chosen.
    const char comm[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
    RegSetKeyValueA(HKEY_LOCAL_MACHINE, comm, "comrelay77", REG_SZ, "COM77", 6);
    LRESULT rig = SendMessageW(GetDlgItem(window, 100), CB_GETCOUNT, 0, 0);
    const DWORD rows[][3] = {{DBT_DEVICEARRIVAL, DBT_DEVTYP_VOLUME, 0},
                             {DBT_DEVICEARRIVAL, DBT_DEVTYP_PORT, 1},
                             {DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_PORT, 0}};
    for (auto& [event, type, listed] : rows) {
        if (event == DBT_DEVICEREMOVECOMPLETE)
            RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, comm, "comrelay77");
        DEV_BROADCAST_PORT_A dev = {sizeof dev, type, 0, {}};
        CHECK(SendMessageA(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&dev)) == TRUE);
        CHECK(SendMessageW(GetDlgItem(window, 100), CB_GETCOUNT, 0, 0) == rig + LRESULT(listed));
        CHECK(SendMessageW(GetDlgItem(window, 100), CB_GETCURSEL, 0, 0) == 0); // COM1
    }
    PostMessageA(window, WM_CLOSE, 0, 0);
    CHECK(host.WaitExit(10000) == 0);
    // The far end sees the hang-up: nobody holds the line's device any more.
    CHECK(peer.Holders(1) == 0);
    INFO(host.Output());
    // The host closes the port before its window goes, and answers the
    // plug-in's last notification.
    CHECK(host.InOrder({"<- sts#Open#", "received \"before\"", "-> Close", "<- sts#Close#"}));
    CHECK_FALSE(IsWindow(window));
    peer.Echo(1, false);
}

TEST_CASE("closing the window while the settings dialog is up waits for the dialog") {
    HostProcess host;
    REQUIRE(host.Start(""));
    HWND window = host.Window();
    REQUIRE(window);
    REQUIRE(WaitForm1(window));
    HWND form2 = OpenSettings(host, window);
    REQUIRE(form2);
    PostMessageA(window, WM_CLOSE, 0, 0);
    CHECK(host.WaitExit(500) == -1); // still up: the dialog has not been answered
    CHECK(IsWindow(window));
    REQUIRE(ClickCansel(form2));
    CHECK(host.WaitExit(10000) == 0);
}

TEST_CASE("the host's waits and the dialog's pass no wake bit that Windows 7 rejects") {
    HostProcess host;
    // The copy of the DLL plays Windows 7 in its own imports and the host's.
    REQUIRE(host.Start("--dll tests\\comrelay_win7.dll --wait 300"));
    HWND window = host.Window();
    REQUIRE(window);
    REQUIRE(WaitForm1(window));
    HWND form2 = OpenSettings(host, window);
    REQUIRE(form2);
    Sleep(300);
    REQUIRE(ClickCansel(form2));
    for (int i = 0; i < 500 && IsWindow(form2); ++i)
        Sleep(20);
    PostMessageA(window, WM_CLOSE, 0, 0);
    // The close may cut the --wait step short (exit status 1): only the end counts.
    CHECK(host.WaitExit() >= 0);
    INFO(host.Output());
    CHECK(host.Output().find("wake: MsgWaitForMultipleObjects 0x") != std::string::npos);
    CHECK(host.Output().find("wake: MsgWaitForMultipleObjectsEx 0x") != std::string::npos);
    CHECK(host.Output().find("rejected") == std::string::npos);
}
