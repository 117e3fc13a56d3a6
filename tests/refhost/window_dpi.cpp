// The settings dialog, the component window and comrelay-host at the DPI of
// the display the program finds: laid out as ever at 96 DPI, scaled at any
// other, every caption whole. Each window is also saved as a bitmap under
// screens/ (tests/refhost/at_dpi.sh runs this at a chosen DPI and makes PNGs).
#include <doctest/doctest.h>

#include "plugin/TestHost.h"
#include "refhost/HostProcess.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <span>
#include <string>
#include <vector>

namespace {

int ScreenDpi() {
    HDC dc = GetDC(nullptr);
    int dpi = GetDeviceCaps(dc, LOGPIXELSY);
    ReleaseDC(nullptr, dc);
    return dpi;
}

int Px(int size) {
    return MulDiv(size, ScreenDpi(), USER_DEFAULT_SCREEN_DPI);
}

// A window's rectangle in its parent's client coordinates.
RECT InParent(HWND w) {
    RECT r;
    GetWindowRect(w, &r);
    MapWindowPoints(nullptr, GetParent(w), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

// The window as it is on the screen, saved as screens/NAME-<dpi>dpi.bmp.
void SaveScreenshot(HWND w, const char* name) {
    RedrawWindow(w, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    Sleep(300);
    RECT r;
    GetWindowRect(w, &r);
    int width = r.right - r.left, height = r.bottom - r.top;
    HDC screen = GetDC(nullptr), memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof info.bmiHeader, width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    // Opaque: what the screen gives leaves the alpha byte 0.
    for (DWORD& pixel : std::span(static_cast<DWORD*>(bits), size_t(width) * size_t(height)))
        pixel |= 0xFF000000u;
    CreateDirectoryA("screens", nullptr);
    char path[MAX_PATH];
    std::snprintf(path, sizeof path, "screens\\%s-%ddpi.bmp", name, ScreenDpi());
    DWORD size = static_cast<DWORD>(width) * static_cast<DWORD>(height) * 4;
    BITMAPFILEHEADER file = {0x4D42, sizeof file + sizeof info.bmiHeader + size, 0, 0,
                             sizeof file + sizeof info.bmiHeader};
    if (FILE* f = std::fopen(path, "wb")) {
        std::fwrite(&file, sizeof file, 1, f);
        std::fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, f);
        std::fwrite(bits, size, 1, f);
        std::fclose(f);
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    MESSAGE("saved " << path);
}

// The room a caption has in its control, and what it takes in font.
struct Fit {
    std::string text;
    SIZE needs = {}; // the caption's extent and the control's own margins
    SIZE has = {};   // the client area
};

// Measures the caption of control in font (a font of this process; null: the
// control's own, which the plug-in's controls in this process answer).
Fit Measure(HWND control, HFONT font = nullptr) {
    Fit fit;
    char text[256] = {}, cls[32] = {};
    GetWindowTextA(control, text, sizeof text);
    GetClassNameA(control, cls, sizeof cls);
    fit.text = text;
    if (!font) font = reinterpret_cast<HFONT>(SendMessageA(control, WM_GETFONT, 0, 0));
    HDC dc = GetDC(control);
    HGDIOBJ old = SelectObject(dc, font ? font : GetStockObject(SYSTEM_FONT));
    GetTextExtentPoint32A(dc, text, lstrlenA(text), &fit.needs);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    std::string kind = cls;
    if (kind.find("BUTTON") != std::string::npos || kind.find("Button") != std::string::npos) {
        // A push button draws its frame and the focus rectangle inside.
        LONG style = GetWindowLongA(control, GWL_STYLE) & BS_TYPEMASK;
        bool check = style == BS_AUTOCHECKBOX || style == BS_CHECKBOX;
        fit.needs.cx += check ? GetSystemMetrics(SM_CXMENUCHECK) + 4 : 8;
        fit.needs.cy += check ? 0 : 4;
    } else if (kind.find("EDIT") != std::string::npos || kind.find("Edit") != std::string::npos) {
        DWORD margins = static_cast<DWORD>(SendMessageA(control, EM_GETMARGINS, 0, 0));
        fit.needs.cx += LOWORD(margins) + HIWORD(margins) + 2;
    }
    RECT client;
    GetClientRect(control, &client);
    fit.has = {client.right, client.bottom};
    return fit;
}

void CheckFits(const Fit& fit) {
    CAPTURE(fit.text);
    CHECK(fit.needs.cx <= fit.has.cx);
    CHECK(fit.needs.cy <= fit.has.cy);
}

// The dialog's controls, as laid out at 96 DPI.
struct DialogControl {
    const char* cls;
    const char* caption; // null: the edit box
    RECT at96;
};
const DialogControl DialogControls[] = {{"obj_BUTTON", "OK", {24, 88, 88, 110}},
                                        {"obj_BUTTON", "Cansel", {104, 88, 168, 110}},
                                        {"obj_EDIT", nullptr, {40, 48, 140, 70}}};

// Runs on a second thread while Interface waits on the test's.
struct DialogLook {
    bool found = false;
    RECT window = {}, client = {};
    struct Seen {
        RECT at = {};
        bool hasFont = false;
        Fit fit;
    } controls[std::size(DialogControls)];
};

DWORD WINAPI LookAtDialog(void* p) {
    auto* look = static_cast<DialogLook*>(p);
    HWND form = nullptr;
    for (int i = 0; i < 250 && !(form && IsWindowVisible(form)); ++i, Sleep(20))
        form = FindWindowA("obj_Form", "Form2");
    look->found = form != nullptr;
    if (!form) return 0;
    GetWindowRect(form, &look->window);
    GetClientRect(form, &look->client);
    for (size_t i = 0; i < std::size(DialogControls); ++i) {
        HWND w = FindWindowExA(form, nullptr, DialogControls[i].cls, DialogControls[i].caption);
        if (!w) continue;
        look->controls[i].at = InParent(w);
        look->controls[i].hasFont = SendMessageA(w, WM_GETFONT, 0, 0) != 0;
        look->controls[i].fit = Measure(w);
    }
    SaveScreenshot(form, "dialog");
    PostMessageA(FindWindowExA(form, nullptr, "obj_BUTTON", "OK"), BM_CLICK, 0, 0);
    return 0;
}

RECT Scaled(RECT r) {
    return {Px(r.left), Px(r.top), Px(r.right), Px(r.bottom)};
}

} // namespace

TEST_CASE("the settings dialog is laid out for the screen's DPI, its captions whole") {
    // As a DPI-aware host is: Windows scales nothing for it.
    SetProcessDPIAware();
    MESSAGE("screen at " << ScreenDpi() << " DPI");
    // Run by at_dpi.sh: the display must be at the DPI asked for, or this
    // would pass at 96 without a word.
    if (const char* asked = std::getenv("COMRELAY_DPI")) CHECK(ScreenDpi() == std::atoi(asked));
    Plugin plugin;
    DialogLook look;
    HANDLE t = CreateThread(nullptr, 0, LookAtDialog, &look, 0, nullptr);
    CHECK(plugin.CallInt("Interface") == 0);
    WaitForSingleObject(t, 10000);
    CloseHandle(t);
    REQUIRE(look.found);
    // Placed on the screen where it always was; its inside scales.
    CHECK(look.window.left == 256);
    CHECK(look.window.top == 158);
    CHECK(look.client.right == Px(176));
    CHECK(look.client.bottom == Px(130));
    for (size_t i = 0; i < std::size(DialogControls); ++i) {
        const DialogControl& d = DialogControls[i];
        const DialogLook::Seen& c = look.controls[i];
        CAPTURE(std::string(d.caption ? d.caption : "edit box"));
        RECT want = Scaled(d.at96);
        CHECK(EqualRect(&c.at, &want));
        CHECK(c.hasFont);
        CheckFits(c.fit);
    }
}

TEST_CASE("the component window takes the size for the DPI of the host window it lives in") {
    SetProcessDPIAware();
    TestHost host;
    REQUIRE(host.Adopt());
    host.Pump(100);
    RECT client;
    GetClientRect(host.Form1(), &client);
    CHECK(client.right == Px(231));
    CHECK(client.bottom == Px(89));
}

TEST_CASE("comrelay-host scales to the screen's DPI: captions whole, the component as drawn") {
    HostProcess host;
    REQUIRE(host.Start(""));
    HWND window = host.Window();
    REQUIRE(window);
    HWND form1 = WaitForm1(window);
    REQUIRE(form1);
    Sleep(300);
    // The host writes in the system's message font, which comes at the
    // screen's DPI; measured here in the same font.
    NONCLIENTMETRICSA metrics = {};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    HFONT font = CreateFontIndirectA(&metrics.lfMessageFont);
    int checked = 0;
    for (HWND c = GetWindow(window, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        char cls[32] = {}, text[512] = {};
        GetClassNameA(c, cls, sizeof cls);
        GetWindowTextA(c, text, sizeof text);
        if (lstrcmpiA(cls, "BUTTON") != 0 || !IsWindowVisible(c) || !text[0]) continue;
        CheckFits(Measure(c, font));
        ++checked;
    }
    CHECK(checked >= 7);
    // The drop-down boxes are as tall as a line of text needs.
    HDC dc = GetDC(window);
    HGDIOBJ old = SelectObject(dc, font);
    TEXTMETRICA tm;
    GetTextMetricsA(dc, &tm);
    SelectObject(dc, old);
    ReleaseDC(window, dc);
    HWND box = FindWindowExA(window, nullptr, "COMBOBOX", nullptr);
    REQUIRE(box);
    RECT boxRect;
    GetClientRect(box, &boxRect);
    CHECK(boxRect.bottom >= tm.tmHeight);
    // The component was drawn at the size for this DPI.
    RECT r = InParent(form1);
    CHECK(r.right - r.left == Px(231));
    CHECK(r.bottom - r.top == Px(89));
    DeleteObject(font);
    // Whole on the screen for the picture: at 150% the window is wider than
    // the test display.
    RECT outer;
    GetWindowRect(window, &outer);
    int cx = GetSystemMetrics(SM_CXSCREEN), cy = GetSystemMetrics(SM_CYSCREEN);
    SetWindowPos(window, nullptr, 0, 0, std::min<int>(outer.right - outer.left, cx),
                 std::min<int>(outer.bottom - outer.top, cy), SWP_NOZORDER | SWP_NOACTIVATE);
    Sleep(300);
    SaveScreenshot(window, "refhost");

    // The dialog as the host runs it, in front of the host.
    HWND form2 = OpenSettings(host, window);
    REQUIRE(form2);
    RECT client;
    GetClientRect(form2, &client);
    CHECK(client.right == Px(176));
    SaveScreenshot(form2, "refhost-dialog");
    REQUIRE(ClickCansel(form2));
    for (int i = 0; i < 250 && IsWindow(form2); ++i)
        Sleep(20);
    PostMessageA(window, WM_CLOSE, 0, 0);
    CHECK(host.WaitExit() == 0);
}
