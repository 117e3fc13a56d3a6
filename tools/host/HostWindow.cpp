// The main window of comrelay-host: controls, layout, painting, and the
// answer to the plug-in's notification click.
#include "host/HostWindow.h"

#include "host/ByteText.h"
#include "host/LineSettings.h"
#include "host/Options.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <dbt.h>

namespace {

const char ClassName[] = "comrelay_host";

enum ControlId {
    IdPort = 100,
    IdBaud,
    IdDataBits,
    IdStopBits,
    IdOpen,
    IdClose,
    IdSettings,
    IdAbout,
    IdTraffic,
    IdHex,
    IdClear,
    IdSendText,
    IdLineEnd,
    IdStatus,
    IdSend = IDOK, // Enter in the send line presses it
};

const char* const LineEndNames[] = {"None", "CR", "LF", "CR LF"};
const char* const LineEnds[] = {"", "\r", "\n", "\r\n"};

// Layout, in pixels of the client area at 96 DPI; scaled to the window's.
constexpr int Margin = 10;
constexpr int LeftWidth = 251;      // the component's 231 and its frame
constexpr int ComponentWidth = 231; // the size the plug-in gives itself
constexpr int ComponentHeight = 89;
constexpr int RowHeight = 30;
constexpr int ButtonHeight = 26;
constexpr int MinClientWidth = 640, MinClientHeight = 520;

constexpr UINT_PTR FlushTimer = 1;

// What the traffic pane keeps.
constexpr size_t MaxEntries = 4000;
constexpr size_t MaxEntryBytes = 256u << 10;

std::wstring Widen(const std::string& text) {
    // The plug-in's own texts are Windows-1251; everything else the host
    // shows is escaped to ASCII first, which 1251 maps unchanged.
    if (text.empty()) return std::wstring();
    int n = MultiByteToWideChar(1251, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(1251, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string WindowText(HWND w) {
    int n = GetWindowTextLengthA(w);
    std::string s(static_cast<size_t>(n) + 1, '\0');
    GetWindowTextA(w, s.data(), n + 1);
    s.resize(static_cast<size_t>(n));
    return s;
}

// A name not in the list (a port typed into the port box's field) stays
// shown as the box's text.
void SelectItem(HWND box, const std::string& text) {
    LRESULT i = SendMessageA(box, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                             reinterpret_cast<LPARAM>(text.c_str()));
    SendMessageA(box, CB_SETCURSEL, i == CB_ERR ? static_cast<WPARAM>(-1) : static_cast<WPARAM>(i),
                 0);
    if (i == CB_ERR) SetWindowTextA(box, text.c_str());
}

// The COM ports that exist, in number order: Windows lists them under
// SERIALCOMM (a USB adapter while plugged in), and so does wine.
std::vector<std::string> ExistingPorts() {
    std::vector<std::pair<int, std::string>> found;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) ==
        ERROR_SUCCESS) {
        char name[256], value[64];
        for (DWORD i = 0;; ++i) {
            DWORD nameSize = sizeof name, valueSize = sizeof value - 1, type = 0;
            LONG r = RegEnumValueA(key, i, name, &nameSize, nullptr, &type,
                                   reinterpret_cast<BYTE*>(value), &valueSize);
            if (r == ERROR_NO_MORE_ITEMS) break;
            if (r != ERROR_SUCCESS || type != REG_SZ) continue;
            value[valueSize] = 0;
            if (_strnicmp(value, "COM", 3) == 0 && std::atoi(value + 3) > 0)
                found.push_back(
                    {std::atoi(value + 3), "COM" + std::to_string(std::atoi(value + 3))});
        }
        RegCloseKey(key);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> ports;
    for (const auto& f : found)
        if (ports.empty() || ports.back() != f.second) ports.push_back(f.second);
    return ports;
}

// The text of a notification for people: data escaped, the plug-in's own
// status and error texts as they are.
std::string Displayable(const Notification& n) {
    if (n.kind == Notification::Kind::Data) return "str#" + EscapeBytes(n.body) + "#";
    return n.text;
}

} // namespace

HostWindow::~HostWindow() {
    if (window_) DestroyWindow(window_);
    if (uiFont_) DeleteObject(uiFont_);
    if (monoFont_) DeleteObject(monoFont_);
}

bool HostWindow::Create(int show) {
    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSEXA wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = Procedure;
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(1));
    wc.hIconSm = wc.hIcon;
    wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = ClassName;
    if (!RegisterClassExA(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;

    // The window opens on the screen whose DPI the screen's device context
    // gives; the message font already comes at that DPI.
    HDC screen = GetDC(nullptr);
    dpi_ = screen ? GetDeviceCaps(screen, LOGPIXELSY) : USER_DEFAULT_SCREEN_DPI;
    if (screen) ReleaseDC(nullptr, screen);
    if (dpi_ <= 0) dpi_ = USER_DEFAULT_SCREEN_DPI;
    NONCLIENTMETRICSA metrics = {};
    metrics.cbSize = sizeof metrics;
    if (SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0))
        uiFont_ = CreateFontIndirectA(&metrics.lfMessageFont);
    monoFont_ = CreateFontA(-Px(13), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                            OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                            FIXED_PITCH | FF_MODERN, "Courier New");

    RECT frame = {0, 0, Px(860), Px(560)};
    AdjustWindowRectEx(&frame, WS_OVERLAPPEDWINDOW, FALSE, WS_EX_CONTROLPARENT);
    window_ = CreateWindowExA(
        WS_EX_CONTROLPARENT, ClassName, "comrelay-host", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 40,
        40, frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, instance, this);
    if (!window_) return false;
    CreateControls();

    plugin_.SetPath(plugin_.Path());
    Call("SetParentWindow");
    plugin_.SetParentWindow(window_);
    Layout();
    ShowWindow(window_, show);
    UpdateWindow(window_);

    // The plug-in moves its window in about 200 ms later, from a timer; a
    // host window destroyed before that would leave the component outside.
    DWORD end = GetTickCount() + 3000;
    auto moved = [this] {
        for (HWND c = GetWindow(window_, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
            char cls[32] = {};
            GetClassNameA(c, cls, sizeof cls);
            if (lstrcmpiA(cls, "COMBOBOX") && lstrcmpiA(cls, "BUTTON") && lstrcmpiA(cls, "EDIT") &&
                lstrcmpiA(cls, "STATIC"))
                return true;
        }
        return false;
    };
    while (window_ && !moved() && static_cast<LONG>(end - GetTickCount()) > 0) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        MSG m;
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
            if (m.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(m.wParam));
                closedWhileStarting_ = true;
                return false;
            }
            Dispatch(m);
        }
    }
    // Closed while the wait served its messages (the settings dialog may
    // even have run in it).
    if (!window_) {
        closedWhileStarting_ = true;
        return false;
    }
    // Placed again now that it is ours: the first Draw moved it inside the
    // plug-in's own hidden window.
    drawn_ = RECT{};
    Layout();
    ReadBackSettings();
    return true;
}

void HostWindow::Dispatch(MSG& m) {
    if (window_ && IsDialogMessageA(window_, &m)) return;
    TranslateMessage(&m);
    DispatchMessageA(&m);
}

void HostWindow::CreateControls() {
    HINSTANCE instance = GetModuleHandleA(nullptr);
    auto make = [&](DWORD ex, const char* cls, const char* text, DWORD style, int id,
                    int height = 10) {
        HWND w =
            CreateWindowExA(ex, cls, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 10, height, window_,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
        SendMessageA(w, WM_SETFONT, reinterpret_cast<WPARAM>(uiFont_), FALSE);
        return w;
    };
    auto label = [&](const char* text) { labels_.push_back(make(0, "STATIC", text, SS_LEFT, -1)); };
    // Made as tall as the open list: a drop-down box keeps that as its list's
    // height and shrinks itself to one line.
    auto combo = [&](int id) {
        return make(0, "COMBOBOX", "", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, id, Px(300));
    };

    // The ports that exist to pick from, as they come and go; any other name
    // can be typed in the box's field (a port that Windows does not list).
    label("Port");
    portBox_ = make(0, "COMBOBOX", "", CBS_DROPDOWN | WS_VSCROLL | WS_TABSTOP, IdPort, Px(300));
    FillPortBox();
    label("Baud rate");
    baudBox_ = combo(IdBaud);
    for (std::int32_t rate : BaudRates)
        SendMessageA(baudBox_, CB_ADDSTRING, 0,
                     reinterpret_cast<LPARAM>(std::to_string(rate).c_str()));
    label("Data bits");
    dataBox_ = combo(IdDataBits);
    for (std::int32_t bits : DataBitsValues)
        SendMessageA(dataBox_, CB_ADDSTRING, 0,
                     reinterpret_cast<LPARAM>(std::to_string(bits).c_str()));
    label("Stop bits");
    stopBox_ = combo(IdStopBits);
    for (std::int32_t code = 1; code <= 3; ++code)
        SendMessageA(stopBox_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(StopBitsName(code)));
    openButton_ = make(0, "BUTTON", "Open", BS_PUSHBUTTON | WS_TABSTOP, IdOpen);
    closeButton_ = make(0, "BUTTON", "Close", BS_PUSHBUTTON | WS_TABSTOP, IdClose);
    settingsButton_ = make(0, "BUTTON", "Settings...", BS_PUSHBUTTON | WS_TABSTOP, IdSettings);
    aboutButton_ = make(0, "BUTTON", "About...", BS_PUSHBUTTON | WS_TABSTOP, IdAbout);

    hexCheck_ = make(0, "BUTTON", "Hex", BS_AUTOCHECKBOX | WS_TABSTOP, IdHex);
    clearButton_ = make(0, "BUTTON", "Clear", BS_PUSHBUTTON | WS_TABSTOP, IdClear);
    // Wide, so that the plug-in's Windows-1251 texts show whatever the
    // machine's ANSI code page is.
    traffic_ = CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"",
                               WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE |
                                   ES_READONLY | ES_AUTOVSCROLL | ES_AUTOHSCROLL | WS_TABSTOP,
                               0, 0, 10, 10, window_,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(IdTraffic)), instance,
                               nullptr);
    SendMessageW(traffic_, WM_SETFONT, reinterpret_cast<WPARAM>(monoFont_ ? monoFont_ : uiFont_),
                 FALSE);
    SendMessageW(traffic_, EM_SETLIMITTEXT, 0, 0);

    label("Send");
    sendEdit_ = make(WS_EX_CLIENTEDGE, "EDIT", "hello", ES_AUTOHSCROLL | WS_TABSTOP, IdSendText);
    label("Line end");
    eolBox_ = combo(IdLineEnd);
    for (const char* name : LineEndNames)
        SendMessageA(eolBox_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
    SendMessageA(eolBox_, CB_SETCURSEL, 3, 0);
    sendButton_ = make(0, "BUTTON", "Send", BS_DEFPUSHBUTTON | WS_TABSTOP, IdSend);
    EnableWindow(settingsButton_, plugin_.HasSettingsDialog());
    label("The grey box is the plug-in's own window, placed here with SetParentWindow "
          "and Draw. For each notification it posts a click at its corner; the host "
          "answers with GetFile.");

    status_ = CreateWindowExW(
        0, L"STATIC", L"",
        WS_CHILD | WS_VISIBLE | SS_SUNKEN | SS_LEFTNOWORDWRAP | SS_CENTERIMAGE | SS_NOPREFIX, 0, 0,
        10, 10, window_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(IdStatus)), instance,
        nullptr);
    SendMessageW(status_, WM_SETFONT, reinterpret_cast<WPARAM>(uiFont_), FALSE);
    UpdateState();
}

void HostWindow::FillPortBox() {
    // The refill must not take from the user what the box shows: a port
    // chosen, a name half typed (with the caret where it was), or the open
    // port after its adapter was pulled out, which the plug-in holds open
    // until the host closes it.
    std::string shown = WindowText(portBox_);
    DWORD from = 0, to = 0;
    SendMessageA(portBox_, CB_GETEDITSEL, reinterpret_cast<WPARAM>(&from),
                 reinterpret_cast<LPARAM>(&to));
    SendMessageA(portBox_, CB_RESETCONTENT, 0, 0);
    for (const std::string& name : ExistingPorts())
        SendMessageA(portBox_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
    SelectItem(portBox_, shown);
    SendMessageA(portBox_, CB_SETEDITSEL, 0, MAKELPARAM(from, to));
}

namespace {

// The height that a word-wrapped static control needs for its text.
int NoteHeight(HWND label, int width) {
    char text[512] = {};
    GetWindowTextA(label, text, sizeof text);
    HDC dc = GetDC(label);
    HGDIOBJ font = reinterpret_cast<HGDIOBJ>(SendMessageA(label, WM_GETFONT, 0, 0));
    HGDIOBJ old = SelectObject(dc, font ? font : GetStockObject(DEFAULT_GUI_FONT));
    RECT r = {0, 0, width, 0};
    DrawTextA(dc, text, -1, &r, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    SelectObject(dc, old);
    ReleaseDC(label, dc);
    return r.bottom + 2;
}

} // namespace

void HostWindow::Layout() {
    // WM_SIZE comes once while the window is being made, before its controls.
    if (!window_ || !status_) return;
    RECT client;
    GetClientRect(window_, &client);
    int w = client.right > Px(MinClientWidth) ? client.right : Px(MinClientWidth);
    int h = client.bottom > Px(MinClientHeight) ? client.bottom : Px(MinClientHeight);
    // Every size below is given for 96 DPI; place scales it to the window's.
    auto place = [this](HWND c, int x, int y, int cx, int cy) {
        SetWindowPos(c, nullptr, Px(x), Px(y), Px(cx), Px(cy), SWP_NOZORDER | SWP_NOACTIVATE);
    };
    // Drop-down boxes move and widen at their own height. Given the list's
    // height again, a box would stand that tall until it shrinks itself, and
    // a look from another thread or process could catch it covering what lies
    // below.
    auto placeBox = [this](HWND c, int x, int y, int cx) {
        RECT r;
        GetWindowRect(c, &r);
        SetWindowPos(c, nullptr, Px(x), Px(y), Px(cx), r.bottom - r.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    };
    auto scaled = [this](RECT r) { return RECT{Px(r.left), Px(r.top), Px(r.right), Px(r.bottom)}; };
    // The window's width and height in 96-DPI units, for the rows that span it.
    w = MulDiv(w, USER_DEFAULT_SCREEN_DPI, dpi_);
    h = MulDiv(h, USER_DEFAULT_SCREEN_DPI, dpi_);

    // Left column: the serial line, then the plug-in's component.
    int x = Margin, y = Margin;
    RECT lineFrame = {x, y, x + LeftWidth, y + 186};
    lineFrame_ = scaled(lineFrame);
    HWND boxes[] = {portBox_, baudBox_, dataBox_, stopBox_};
    for (int i = 0; i < 4; ++i) {
        int row = y + 24 + i * RowHeight;
        place(labels_[static_cast<size_t>(i)], x + 12, row + 4, 74, 18);
        placeBox(boxes[i], x + 90, row, LeftWidth - 102);
    }
    place(openButton_, x + 12, y + 148, 108, ButtonHeight);
    place(closeButton_, x + LeftWidth - 120, y + 148, 108, ButtonHeight);

    y = lineFrame.bottom + Margin;
    RECT component96 = {x + 10, y + 26, x + 10 + ComponentWidth, y + 26 + ComponentHeight};
    RECT component = scaled(component96);
    place(settingsButton_, x + 12, component96.bottom + 12, 108, ButtonHeight);
    place(aboutButton_, x + LeftWidth - 120, component96.bottom + 12, 108, ButtonHeight);
    // The note wraps to as many lines as the machine's font makes of it; the
    // frame grows around them rather than cutting the last one off.
    int noteHeight = NoteHeight(labels_[6], Px(LeftWidth - 24));
    SetWindowPos(labels_[6], nullptr, Px(x + 12), Px(component96.bottom + 46), Px(LeftWidth - 24),
                 noteHeight, SWP_NOZORDER | SWP_NOACTIVATE);
    componentFrame_ = {Px(x), Px(y), Px(x + LeftWidth),
                       Px(component96.bottom + 46) + noteHeight + Px(8)};

    // Right column: the traffic pane takes what is left.
    int rx = Margin + LeftWidth + Margin, rw = w - rx - Margin;
    int sendTop = h - 74;
    RECT trafficFrame = {rx, Margin, rx + rw, sendTop - 8};
    trafficFrame_ = scaled(trafficFrame);
    place(clearButton_, trafficFrame.right - 82, Margin + 20, 70, 24);
    place(hexCheck_, trafficFrame.right - 142, Margin + 22, 52, 20);
    place(traffic_, rx + 10, Margin + 52, rw - 20, trafficFrame.bottom - Margin - 62);

    // Bottom: the send row and the status line, across the whole width.
    place(labels_[4], Margin + 2, sendTop + 6, 36, 18);
    place(sendEdit_, Margin + 42, sendTop + 1, w - 2 * Margin - 42 - 262, 24);
    place(labels_[5], w - Margin - 254, sendTop + 6, 56, 18);
    placeBox(eolBox_, w - Margin - 196, sendTop + 1, 86);
    place(sendButton_, w - Margin - 100, sendTop, 100, ButtonHeight);
    place(status_, Margin, h - 36, w - 2 * Margin, 24);

    // The component keeps its place; Draw only when the rectangle changed.
    if (!EqualRect(&component, &drawn_)) {
        drawn_ = component;
        char line[96];
        std::snprintf(line, sizeof line, "Draw(0, %ld, %ld, %ld, %ld)", component.left,
                      component.top, component.right - component.left,
                      component.bottom - component.top);
        Call(line);
        plugin_.Draw(component);
        // A click posted before this Draw still carries the old point.
        points_[1] = points_[0];
        points_[0] = MAKELPARAM(component.left, component.top);
    }
    InvalidateRect(window_, nullptr, TRUE);
}

void HostWindow::Paint() {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window_, &ps);
    HGDIOBJ oldFont = SelectObject(dc, uiFont_ ? uiFont_ : GetStockObject(DEFAULT_GUI_FONT));
    SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
    SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
    // Group frames drawn by hand: a group-box control under WS_CLIPCHILDREN
    // does not paint its inside, and one over the component would cover it.
    auto group = [&](RECT r, const char* title) {
        RECT edge = {r.left, r.top + Px(7), r.right, r.bottom};
        DrawEdge(dc, &edge, EDGE_ETCHED, BF_RECT);
        RECT text = {r.left + Px(8), r.top, r.right - Px(8), r.top + Px(16)};
        DrawTextA(dc, (std::string(" ") + title + " ").c_str(), -1, &text,
                  DT_LEFT | DT_SINGLELINE | DT_NOPREFIX);
    };
    group(lineFrame_, "Serial line");
    group(componentFrame_, "Plug-in component (comrelay.dll)");
    group(trafficFrame_, "Traffic: TX sent, RX received, -- notifications");
    // A sunken well around the component, which paints only a plain face.
    RECT well = drawn_;
    InflateRect(&well, 2, 2);
    DrawEdge(dc, &well, EDGE_SUNKEN, BF_RECT);
    SelectObject(dc, oldFont);
    EndPaint(window_, &ps);
}

LRESULT CALLBACK HostWindow::Procedure(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
        auto* cs = reinterpret_cast<CREATESTRUCTA*>(lp);
        auto* self = static_cast<HostWindow*>(cs->lpCreateParams);
        self->window_ = hwnd;
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<HostWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (!self) return DefWindowProcA(hwnd, msg, wp, lp);
    return self->OnMessage(msg, wp, lp);
}

LRESULT HostWindow::OnMessage(UINT msg, WPARAM wp, LPARAM lp) {
    HWND hwnd = window_;
    switch (msg) {
    case WM_LBUTTONDOWN:
        if (IsNotificationPoint(lp)) {
            // Clicks queued behind this one read the same mailbox: the
            // plug-in writes its text before it posts the click, so the
            // mailbox already holds the newest of them.
            int clicks = 1;
            MSG m;
            while (PeekMessageA(&m, window_, WM_LBUTTONDOWN, WM_LBUTTONDOWN, PM_REMOVE))
                if (IsNotificationPoint(m.lParam)) ++clicks;
            AnswerClick(clicks);
            return 0;
        }
        break;
    case WM_SIZE:
        Layout();
        return 0;
    case WM_DEVICECHANGE: {
        // A USB adapter plugged in or pulled out. Windows tells of drives and
        // other devices the same way, and asks before some removals: TRUE,
        // the host never stands in a device's way.
        auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lp);
        if ((wp == DBT_DEVICEARRIVAL || wp == DBT_DEVICEREMOVECOMPLETE) && header &&
            header->dbch_devicetype == DBT_DEVTYP_PORT)
            FillPortBox();
        return TRUE;
    }
    case WM_GETMINMAXINFO: {
        RECT r = {0, 0, Px(MinClientWidth), Px(MinClientHeight)};
        AdjustWindowRectEx(&r, WS_OVERLAPPEDWINDOW, FALSE, WS_EX_CONTROLPARENT);
        auto* info = reinterpret_cast<MINMAXINFO*>(lp);
        info->ptMinTrackSize = {r.right - r.left, r.bottom - r.top};
        return 0;
    }
    case WM_PAINT:
        Paint();
        return 0;
    case WM_CTLCOLORSTATIC:
        // The read-only traffic pane keeps the white of an edit box.
        if (reinterpret_cast<HWND>(lp) == traffic_) {
            SetBkColor(reinterpret_cast<HDC>(wp), GetSysColor(COLOR_WINDOW));
            return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
        }
        break;
    case WM_COMMAND:
        Command(LOWORD(wp), HIWORD(wp));
        return 0;
    case WM_TIMER:
        if (wp == FlushTimer) FlushTraffic();
        return 0;
    case WM_CLOSE:
        // The settings dialog runs its own loop on this thread and swallows
        // WM_QUIT; the window goes when the dialog has returned.
        if (inSettings_) {
            closeAfterSettings_ = true;
            return 0;
        }
        Shut();
        return 0;
    case WM_DESTROY:
        window_ = nullptr;
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
}

void HostWindow::Command(int id, int code) {
    auto selected = [](HWND box) {
        LRESULT i = SendMessageA(box, CB_GETCURSEL, 0, 0);
        if (i == CB_ERR) return std::string();
        char text[32] = {};
        if (SendMessageA(box, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0) < 31)
            SendMessageA(box, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
        return std::string(text);
    };
    switch (id) {
    case IdPort:
        if (code == CBN_SELCHANGE) {
            SelectPort(selected(portBox_));
        } else if (code == CBN_KILLFOCUS) {
            char typed[32] = {};
            GetWindowTextA(portBox_, typed, sizeof typed);
            if (typed != port_) SelectPort(typed);
        }
        break;
    case IdBaud:
        if (code == CBN_SELCHANGE) SelectBaudRate(std::atoi(selected(baudBox_).c_str()));
        break;
    case IdDataBits:
        if (code == CBN_SELCHANGE) SelectDataBits(std::atoi(selected(dataBox_).c_str()));
        break;
    case IdStopBits:
        if (code == CBN_SELCHANGE) SelectStopBits(StopBitsCode(selected(stopBox_)));
        break;
    case IdOpen:
        Open();
        break;
    case IdClose:
        Close();
        break;
    case IdSettings:
        ShowSettings();
        break;
    case IdAbout:
        ShowAbout();
        break;
    case IdHex:
        RebuildTraffic();
        break;
    case IdClear:
        entries_.clear();
        entryBytes_ = 0;
        RebuildTraffic();
        break;
    case IdSend:
        SendLine();
        break;
    }
}

bool HostWindow::IsNotificationPoint(LPARAM lp) const {
    // Clicks of the user on the host's own background are not notifications;
    // the plug-in's land on the corner of the component, where a real click
    // would reach the component's window instead.
    DWORD p = static_cast<DWORD>(lp);
    return p == static_cast<DWORD>(points_[0]) || p == static_cast<DWORD>(points_[1]);
}

bool HostWindow::AnswerQueuedClicks() {
    if (!window_) return false;
    int clicks = 0;
    MSG m;
    while (PeekMessageA(&m, window_, WM_LBUTTONDOWN, WM_LBUTTONDOWN, PM_REMOVE))
        if (IsNotificationPoint(m.lParam)) ++clicks;
    if (clicks) AnswerClick(clicks);
    return clicks > 0;
}

void HostWindow::AnswerClick(int clicks) {
    Notification n = ReadNotification(plugin_.FetchMailbox());
    switch (n.kind) {
    case Notification::Kind::Data:
        AddEntry('R', n.body);
        break;
    case Notification::Kind::Status:
        if (n.body == "Open") open_ = true;
        if (n.body == "Close") open_ = false;
        AddEntry('S', n.text);
        break;
    case Notification::Kind::Error:
        // The plug-in's error text is Russian ("port error"); say what it
        // most likely means here.
        AddEntry('E', n.text + (open_ ? "  (port error)"
                                      : "  (port error: " + port_ + " did not open)"));
        break;
    case Notification::Kind::Other:
        AddEntry('S', EscapeBytes(n.text));
        break;
    }
    lastText_ = Displayable(n);
    if (lastText_.size() > 72) lastText_ = lastText_.substr(0, 68) + " ...";
    UpdateState();
    if (onNotification) onNotification(n, clicks);
}

void HostWindow::Call(const std::string& what) {
    if (onCall) onCall(what);
}

std::string HostWindow::SelectPort(const std::string& name) {
    // setport on an open port closes it and opens the new device, and both
    // clicks would read one mailbox: a failed reopen's "err#" would hide the
    // "sts#Close#" before it. So the host closes and reopens by itself and
    // answers each notification as it comes (they are posted inside the calls).
    // A typed text that names no port moves nothing: the plug-in refuses it
    // with an err#, and the open port stays open.
    std::string named;
    bool reopen = open_ && PortName(name, named) && named != port_;
    if (reopen) {
        Close();
        AnswerQueuedClicks();
    }
    AnswerQueuedClicks();
    Call("SetFile(\"" + EscapeBytes(name) + "\"); setport");
    plugin_.SetPort(name);
    AnswerQueuedClicks();
    port_ = plugin_.Port();
    SelectItem(portBox_, port_);
    UpdateState();
    if (reopen) {
        Open();
        AnswerQueuedClicks();
    }
    return port_;
}

std::int32_t HostWindow::SelectBaudRate(std::int32_t rate) {
    Call("SetData(" + std::to_string(rate) + "); setbaudrate");
    baud_ = plugin_.SetBaudRate(rate);
    SelectItem(baudBox_, baud_ ? std::to_string(baud_) : std::string());
    UpdateState();
    return baud_;
}

std::int32_t HostWindow::SelectDataBits(std::int32_t bits) {
    Call("SetData(" + std::to_string(bits) + "); setdatabit");
    dataBits_ = plugin_.SetDataBits(bits);
    SelectItem(dataBox_, dataBits_ ? std::to_string(dataBits_) : std::string());
    UpdateState();
    return dataBits_;
}

std::int32_t HostWindow::SelectStopBits(std::int32_t code) {
    Call("SetData(" + std::to_string(code) + "); setstopbit");
    stopCode_ = plugin_.SetStopBits(code);
    SelectItem(stopBox_, stopCode_ ? StopBitsName(stopCode_) : std::string());
    UpdateState();
    return stopCode_;
}

void HostWindow::ReadBackSettings() {
    AnswerQueuedClicks();
    port_ = plugin_.Port();
    baud_ = plugin_.BaudRate();
    dataBits_ = plugin_.DataBits();
    stopCode_ = plugin_.StopBits();
    SelectItem(portBox_, port_);
    SelectItem(baudBox_, baud_ ? std::to_string(baud_) : std::string());
    SelectItem(dataBox_, dataBits_ ? std::to_string(dataBits_) : std::string());
    SelectItem(stopBox_, stopCode_ ? StopBitsName(stopCode_) : std::string());
    UpdateState();
}

void HostWindow::Open() {
    AnswerQueuedClicks();
    Call("open");
    plugin_.Open();
}

void HostWindow::Close() {
    AnswerQueuedClicks();
    Call("Close");
    plugin_.Close();
}

bool HostWindow::Send(const std::string& bytes) {
    if (bytes.find('\0') != std::string::npos) return false;
    AnswerQueuedClicks();
    Call("SetFile(\"" + EscapeBytes(bytes) + "\"); sendstring");
    plugin_.Send(bytes);
    AddEntry('T', bytes);
    return true;
}

void HostWindow::SendLine() {
    if (!open_) {
        SetStatus("open the port first");
        return;
    }
    LRESULT end = SendMessageA(eolBox_, CB_GETCURSEL, 0, 0);
    if (end < 0 || end > 3) end = 3;
    Send(WindowText(sendEdit_) + LineEnds[end]);
    SendMessageA(sendEdit_, EM_SETSEL, 0, -1);
    SetFocus(sendEdit_);
}

void HostWindow::Shut() {
    if (!window_) return;
    if (open_) {
        Close();
        AnswerQueuedClicks();
    }
    DestroyWindow(window_);
}

void HostWindow::ShowSettings() {
    if (inSettings_ || !plugin_.HasSettingsDialog()) return;
    inSettings_ = true;
    EnableWindow(settingsButton_, FALSE);
    Call("Interface");
    plugin_.RunSettingsDialog();
    inSettings_ = false;
    if (window_) EnableWindow(settingsButton_, TRUE);
    if (closeAfterSettings_ && window_) PostMessageA(window_, WM_CLOSE, 0, 0);
}

void HostWindow::ShowAbout() {
    std::string info = plugin_.Info();
    while (!info.empty() && (info.back() == '\r' || info.back() == '\n'))
        info.pop_back();
    std::string text = "comrelay-host, the reference host for comrelay.dll\n\n"
                       "Plug-in: " +
                       plugin_.ShortInfo() + "\n" + info + "\n" + plugin_.Copyright() +
                       "\n\nLoaded from " + plugin_.Path();
    MessageBoxA(window_, text.c_str(), "About comrelay-host", MB_OK | MB_ICONINFORMATION);
}

void HostWindow::UpdateState() {
    if (!window_) return;
    EnableWindow(openButton_, !open_);
    EnableWindow(closeButton_, open_);
    EnableWindow(sendButton_, open_);
    std::string title = "comrelay-host - " + port_ + (open_ ? " open" : " closed");
    SetWindowTextA(window_, title.c_str());
    SetStatus(std::string());
}

void HostWindow::SetStatus(const std::string& note) {
    if (!status_) return;
    std::string line = " " + port_ + (open_ ? " open" : " closed") + ", " +
                       (baud_ ? std::to_string(baud_) : std::string("?")) + " baud, " +
                       std::to_string(dataBits_) + " data bits, " + StopBitsName(stopCode_) +
                       " stop bit" + (stopCode_ == 1 ? "" : "s") +
                       "    |    last notification: " + lastText_;
    if (!note.empty()) line += "    |    " + note;
    SetWindowTextW(status_, Widen(line).c_str());
}

void HostWindow::AddEntry(char kind, const std::string& bytes) {
    Entry e;
    GetLocalTime(&e.time);
    e.kind = kind;
    e.bytes = bytes;
    entries_.push_back(e);
    entryBytes_ += bytes.size();
    // A long session must neither slow the pane down nor grow without limit:
    // past either bound the oldest half goes.
    if (entries_.size() > MaxEntries || entryBytes_ > MaxEntryBytes) {
        size_t keepBytes = MaxEntryBytes / 2, keepEntries = MaxEntries / 2;
        size_t drop = 0;
        while (drop + 1 < entries_.size() &&
               (entries_.size() - drop > keepEntries || entryBytes_ > keepBytes))
            entryBytes_ -= entries_[drop++].bytes.size();
        entries_.erase(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(drop));
        RebuildTraffic();
        return;
    }
    // Shown at the next flush: one edit per burst of entries, not one each.
    unshown_ += EntryText(entries_.back());
    if (!flushPending_) flushPending_ = SetTimer(window_, FlushTimer, 100, nullptr) != 0;
    if (!flushPending_) FlushTraffic();
}

void HostWindow::FlushTraffic() {
    if (flushPending_) KillTimer(window_, FlushTimer);
    flushPending_ = false;
    if (unshown_.empty()) return;
    int length = GetWindowTextLengthW(traffic_);
    SendMessageW(traffic_, EM_SETSEL, static_cast<WPARAM>(length), length);
    SendMessageW(traffic_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(unshown_.c_str()));
    unshown_.clear();
}

std::wstring HostWindow::EntryText(const Entry& e) const {
    char stamp[40];
    const char* tag = e.kind == 'R' ? "RX" : e.kind == 'T' ? "TX" : e.kind == 'E' ? "!!" : "--";
    std::snprintf(stamp, sizeof stamp, "%02u:%02u:%02u.%03u  %s  ", e.time.wHour, e.time.wMinute,
                  e.time.wSecond, e.time.wMilliseconds, tag);
    std::string line = stamp;
    bool hex = SendMessageA(hexCheck_, BM_GETCHECK, 0, 0) == BST_CHECKED;
    if (e.kind == 'R' || e.kind == 'T') {
        if (!hex) {
            // Rows of a fixed width, broken by the host: word wrap in the
            // edit control costs more with every line it holds (under wine,
            // more than the rest of the host together).
            std::string indent(line.size(), ' ');
            for (size_t at = 0; at < e.bytes.size(); at += 24) {
                if (at) line += "\r\n" + indent;
                line += EscapeBytes(e.bytes.substr(at, 24));
            }
        } else {
            // Sixteen bytes a row, continued under the first.
            std::string indent(line.size(), ' ');
            for (size_t at = 0; at < e.bytes.size(); at += 16) {
                if (at) line += "\r\n" + indent;
                line += HexBytes(e.bytes.substr(at, 16));
            }
        }
        line +=
            "  (" + std::to_string(e.bytes.size()) + (e.bytes.size() == 1 ? " byte)" : " bytes)");
    } else {
        line += e.bytes;
    }
    return Widen(line + "\r\n");
}

void HostWindow::RebuildTraffic() {
    unshown_.clear();
    std::wstring all;
    for (const Entry& e : entries_)
        all += EntryText(e);
    SetWindowTextW(traffic_, all.c_str());
    int length = GetWindowTextLengthW(traffic_);
    SendMessageW(traffic_, EM_SETSEL, static_cast<WPARAM>(length), length);
    SendMessageW(traffic_, EM_SCROLLCARET, 0, 0);
}
