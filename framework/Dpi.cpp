// DPI of a window and the message font scaled to it.
#include "framework/Dpi.h"

int WindowDpi(HWND window) {
    // Looked up at run time: Windows 7's user32 lacks it.
    using DpiForWindow = UINT(WINAPI*)(HWND);
    auto forWindow = reinterpret_cast<DpiForWindow>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("user32.dll"), "GetDpiForWindow")));
    if (window && forWindow) {
        if (UINT dpi = forWindow(window)) return static_cast<int>(dpi);
    }
    HDC dc = GetDC(window);
    int dpi = dc ? GetDeviceCaps(dc, LOGPIXELSY) : 0;
    if (dc) ReleaseDC(window, dc);
    return dpi > 0 ? dpi : USER_DEFAULT_SCREEN_DPI;
}

FontHandle NewMessageFont(int dpi) {
    NONCLIENTMETRICSA metrics = {};
    metrics.cbSize = sizeof metrics;
    if (!SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
        return FontHandle();
    // The metrics come at the system's DPI; a window on another screen of a
    // per-monitor aware host has its own.
    LOGFONTA font = metrics.lfMessageFont;
    font.lfHeight = MulDiv(font.lfHeight, dpi, WindowDpi(nullptr));
    return FontHandle(CreateFontIndirectA(&font));
}
