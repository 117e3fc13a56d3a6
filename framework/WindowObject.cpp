// Window objects: the four kinds, their properties, lazy window creation with
// class registration and superclassing, and the teardown.
//
// Threads: everything here runs on the thread that owns the windows (the
// host's GUI thread); no other thread calls into a window object, so there is
// no lock. Work from the timer or serial threads reaches a window as a posted
// message.
#include "framework/WindowObject.h"

#include <cstring>

#include "framework/FrameworkHooks.h"

// The linker's symbol for the start of the module that holds this code: the
// DLL when the framework is linked into it (GetModuleHandle(NULL) would name
// the host's EXE).
extern "C" IMAGE_DOS_HEADER __ImageBase;

WindowObject* Applet = nullptr;
WindowObject* CreatingObject = nullptr;
WORD NextControlId = 0x8000;
bool AppletUsed = false;

namespace {

HBRUSH DefaultBackgroundBrush(WindowObject* window) {
    return window->GetBackgroundBrush();
}
void NoShowResize(WindowObject*) {}
bool NoKeyPreFilter(WindowObject*, MSG&) {
    return false;
}

const NotificationTable ButtonNotifications = {BN_CLICKED, BN_SETFOCUS, BN_KILLFOCUS, 0, 0, 0};
const NotificationTable EditNotifications = {0, EN_SETFOCUS, EN_KILLFOCUS, EN_CHANGE, 0, 0};

constexpr UINT ClassStyleMask = 0xFFFFBF1F; // no CS_OWNDC, CS_CLASSDC, CS_PARENTDC, CS_GLOBALCLASS
constexpr DWORD BorderStyles = WS_CAPTION | WS_THICKFRAME;
constexpr DWORD TopLevelBorder = 0x00CF0000; // caption, system menu, frame, both boxes
constexpr DWORD NoBorderStyleMask = 0xFF30FFFF;
constexpr DWORD NoBorderExStyleMask = 0xFFFEFCFE;
const HICON NoIcon = reinterpret_cast<HICON>(-1);
constexpr UINT SetUnicodeFormatMessage = 0x2005; // CCM_SETUNICODEFORMAT, from commctrl.h

// Steps shared by the four kinds after InitWithParent.
WindowObject* NewKind(WindowObject* parent, const char* className) {
    WindowObject* w = NewWindowObject<WindowObject>(parent);
    w->ClassName = className;
    if (parent) {
        w->TextColor = parent->TextColor;
        w->Color = parent->Color;
    }
    return w;
}

// Steps shared by buttons and edit boxes.
void MakeChildControl(WindowObject* w, DWORD style) {
    w->Style = style | WS_CLIPSIBLINGS | WS_CLIPCHILDREN;
    w->IsChild = true;
    w->Visible = (w->Style & WS_VISIBLE) != 0;
    w->BoundsRect = {2, 2, 66, 66};
    WindowObject* form = w->ParentForm();
    if (form) w->TabOrder = ++form->TabCounter;
    if (w->Style & WS_TABSTOP) {
        w->TabStop = true;
        if (form && !form->FocusedControl) form->FocusedControl = w;
    }
    w->ControlId = NextControlId++;
    w->AttachMessageHook(ControlHook);
}

} // namespace

BackgroundBrushProc BackgroundBrushProvider = DefaultBackgroundBrush;
ShowResizeProc ShowResizeNotifier = NoShowResize;
KeyPreFilterProc KeyPreFilter = NoKeyPreFilter;

HINSTANCE ModuleInstance() {
    return reinterpret_cast<HINSTANCE>(&__ImageBase);
}

COLORREF ColorToRgb(DWORD color) {
    if (color & 0x80000000u) return GetSysColor(static_cast<int>(color & 0x7FFFFFFFu));
    return color;
}

DWORD EditStyle(EditOptions options) {
    struct Member {
        EditOptions option;
        DWORD bits;
        bool whenAbsent;
    };
    static const Member members[] = {
        {EditOption::NoHorzScroll, ES_AUTOHSCROLL | WS_HSCROLL, true},
        {EditOption::NoVertScroll, ES_AUTOVSCROLL | WS_VSCROLL, true},
        {EditOption::LowerCase, ES_LOWERCASE, false},
        {EditOption::MultiLine, ES_MULTILINE, false},
        {EditOption::NoHideSel, ES_NOHIDESEL, false},
        {EditOption::OemConvert, ES_OEMCONVERT, false},
        {EditOption::Password, ES_PASSWORD, false},
        {EditOption::ReadOnly, ES_READONLY, false},
        {EditOption::UpperCase, ES_UPPERCASE, false},
        {EditOption::WantReturn, ES_WANTRETURN, false},
        {EditOption::Number, ES_NUMBER, false},
    };
    DWORD style = 0;
    for (const Member& m : members)
        if (((options & m.option) != 0) != m.whenAbsent) style |= m.bits;
    if (!(options & EditOption::MultiLine)) style &= ~(WS_HSCROLL | WS_VSCROLL);
    return style | WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP;
}

WindowObject* NewApplet(const Text& caption) {
    WindowObject* w = NewKind(nullptr, "App");
    AppletUsed = true;
    w->Style = 0x90CA0000; // WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX
    w->ExStyle = WS_EX_APPWINDOW;
    w->AfterCreate = TrimAppletSystemMenu;
    w->AttachMessageHook(AppletHook);
    w->SetText(caption);
    return w;
}

WindowObject* NewForm(WindowObject* parent, const Text& caption) {
    WindowObject* w = NewKind(parent, "Form");
    w->ClassStyle |= CS_DBLCLKS;
    w->AttachMessageHook(FocusHook);
    w->AttachMessageHook(BackgroundHook);
    w->SetText(caption);
    return w;
}

WindowObject* NewButton(WindowObject* parent, const Text& caption) {
    WindowObject* w = NewKind(parent, "BUTTON");
    w->Notifications = ButtonNotifications;
    MakeChildControl(w, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_NOTIFY | BS_PUSHLIKE);
    w->BoundsRect.bottom = w->BoundsRect.top + 22;
    w->AttachMessageHook(DoubleClickHook);
    w->SetText(caption);
    return w;
}

WindowObject* NewEditBox(WindowObject* parent, EditOptions options) {
    WindowObject* w = NewKind(parent, "EDIT");
    w->Notifications = EditNotifications;
    MakeChildControl(w, EditStyle(options));
    w->Ctl3D = true;
    w->Style &= ~WS_BORDER;
    w->ExStyle |= WS_EX_CLIENTEDGE;
    bool multiLine = (options & EditOption::MultiLine) != 0;
    w->BoundsRect.right = w->BoundsRect.left + (multiLine ? 200 : 100);
    w->BoundsRect.bottom = w->BoundsRect.top + (multiLine ? 200 : 22);
    return w;
}

void WindowObject::Init() {
    Color = ColorButtonFace;
    TextColor = 8;
    Style = 0x16CF0000;
    ExStyle = WS_EX_CONTROLPARENT;
    ClassStyle = CS_OWNDC;
    Enabled = true;
    Visible = true;
    Hooks = NewList();
    Children = NewList();
}

void WindowObject::InitWithParent(WindowObject* parent) {
    Init();
    if (parent) {
        Color = parent->Color;
        ChangeParent(parent);
    }
}

HWND WindowObject::GetWindowHandle() {
    // A window that is gone is not made again, nor one for an object that is
    // ending: nothing would ever destroy it.
    if (Handle || Life != Lifecycle::Live) return Handle;
    if (!VisibilitySet) {
        ApplyVisibility(false);
        CreateWindowHandle();
        ShowPending = true;
    } else {
        CreateWindowHandle();
    }
    return Handle;
}

bool WindowObject::CreateWindowHandle() {
    if (!Handle && Life != Lifecycle::Live) return false;
    if (Parent && !Parent->GetWindowHandle()) return false;
    if (Handle) {
        for (int i = 0; i < Children->Count; ++i)
            Children->GetAs<WindowObject>(i)->CreateWindowHandle();
        if (ShowPending) {
            ApplyVisibility(true);
            ShowPending = false;
        }
        return true;
    }

    char className[64] = "obj_";
    std::strncat(className, ClassName ? ClassName : "", sizeof className - 5);
    HINSTANCE module = ModuleInstance();
    WNDCLASSA wc = {};
    wc.style = ClassStyle;
    wc.lpfnWndProc = DefaultProc;
    wc.hInstance = module;
    wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    // For "BUTTON" and "EDIT" this copies the system class (its procedure,
    // extra bytes and style); the framework's own kinds keep the values above.
    GetClassInfoA(module, ClassName ? ClassName : "", &wc);
    wc.hInstance = module;
    wc.style &= ClassStyleMask;
    if (!DefaultProc) DefaultProc = wc.lpfnWndProc;

    HWND parentHandle = Parent ? Parent->GetWindowHandle() : nullptr;
    if (!parentHandle && (Style & WS_CHILD)) return false;

    WNDCLASSA existing;
    if (!GetClassInfoA(module, className, &existing)) {
        wc.lpszClassName = className;
        wc.lpfnWndProc = FrameworkWindowProc;
        ATOM atom = RegisterClassA(&wc);
        if (!atom) return false;
        if (DefaultProc) RememberSuperclass(atom, DefaultProc);
    }

    int x = BoundsRect.left, y = BoundsRect.top;
    int width = BoundsRect.right - BoundsRect.left;
    int height = BoundsRect.bottom - BoundsRect.top;
    if (width == 0) width = CW_USEDEFAULT;
    if (height == 0) height = CW_USEDEFAULT;
    if (!IsChild && PositionSet == 0) x = y = CW_USEDEFAULT;

    // The creation counts as a message in hand: a WM_DESTROY seen during a
    // failing CreateWindowExA must not end the object under our feet, and
    // whoever asked for the window still holds the object afterwards.
    ++MessageDepth;
    CreatingObject = this;
    HWND created =
        CreateWindowExA(ExStyle, className, Text.Data(), Style, x, y, width, height, parentHandle,
                        reinterpret_cast<HMENU>(static_cast<UINT_PTR>(ControlId)), module, nullptr);
    --MessageDepth;
    // The window procedure consumes CreatingObject at the window's first
    // message. If that never happened (CreateWindowExA failed early), it must
    // not bind whichever window comes next.
    if (CreatingObject == this) CreatingObject = nullptr;
    Handle = created;
    if (!created) {
        // The window of the failed attempt, not ours to end with.
        if (Life == Lifecycle::WindowGone) Life = Lifecycle::Live;
        return false;
    }

    SendMessageA(Handle, WM_UPDATEUISTATE, MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS), 0);
    if (GetWindowLongPtrA(Handle, GWLP_USERDATA) == 0)
        SetWindowLongPtrA(Handle, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    if (!IsChild) Perform(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(GetIcon()));
    if (AfterCreate) AfterCreate(this);
    for (int i = 0; i < Children->Count; ++i)
        Children->GetAs<WindowObject>(i)->CreateWindowHandle();
    return true;
}

void WindowObject::ChangeParent(WindowObject* parent) {
    if (parent == Parent) return;
    if (Parent) {
        // The old form must not go on naming a control it no longer holds.
        WindowObject* form = Parent->ParentForm();
        if (form && form->FocusedControl == this) form->FocusedControl = nullptr;
        Parent->Children->Remove(this);
        RemoveFromAutoFree(Parent, this);
    }
    Parent = parent;
    if (parent) {
        parent->Children->Add(this);
        AddToAutoFree(parent, this);
        if (Handle) SetParent(Handle, parent->GetWindowHandle());
    }
    if (Handle) InvalidateRect(Handle, nullptr, TRUE);
}

RECT WindowObject::GetBoundsRect() {
    RECT r = BoundsRect;
    if (!Handle) return r;
    GetWindowRect(Handle, &r);
    if (IsChild) {
        if (!Parent) return r;
        POINT origin = {0, 0};
        ClientToScreen(GetParent(Handle), &origin);
        OffsetRect(&r, -origin.x, -origin.y);
    }
    BoundsRect = r;
    return r;
}

void WindowObject::SetBoundsRect(const RECT& rect) {
    RECT current = GetBoundsRect();
    if (std::memcmp(&rect, &current, sizeof rect) == 0) return;
    if (rect.left != current.left) PositionSet |= 1;
    if (rect.top != current.top) PositionSet |= 2;
    BoundsRect = rect;
    if (Handle)
        SetWindowPos(Handle, nullptr, rect.left, rect.top, rect.right - rect.left,
                     rect.bottom - rect.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

void WindowObject::SetPosition(int left, int top) {
    RECT r = GetBoundsRect();
    r.right = left + (r.right - r.left);
    r.left = left;
    SetBoundsRect(r);
    r = GetBoundsRect();
    r.bottom = top + (r.bottom - r.top);
    r.top = top;
    SetBoundsRect(r);
}

RECT WindowObject::GetClientRectangle() {
    RECT r = BoundsRect;
    if (HWND h = GetWindowHandle()) ::GetClientRect(h, &r);
    return r;
}

void WindowObject::SetClientSize(int width, int height) {
    GetWindowHandle();
    if (width > 0) {
        RECT outer = GetBoundsRect();
        RECT client = GetClientRectangle();
        int frame = (outer.right - outer.left) - (client.right - client.left);
        outer.right = outer.left + width + frame;
        SetBoundsRect(outer);
    }
    if (height > 0) {
        RECT outer = GetBoundsRect();
        RECT client = GetClientRectangle();
        int frame = (outer.bottom - outer.top) - (client.bottom - client.top);
        outer.bottom = outer.top + height + frame;
        SetBoundsRect(outer);
    }
}

namespace {

// A new style word takes effect only after the frame is recalculated.
void PushStyleWord(HWND window, int index, DWORD value) {
    SetWindowLongA(window, index, static_cast<LONG>(value));
    SetWindowPos(window, nullptr, 0, 0, 0, 0,
                 SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
    InvalidateRect(window, nullptr, TRUE);
}

} // namespace

void WindowObject::SetStyle(DWORD style) {
    if (style == Style) return;
    Style = style;
    if (Handle) PushStyleWord(Handle, GWL_STYLE, style);
}

void WindowObject::SetExStyle(DWORD exStyle) {
    if (exStyle == ExStyle) return;
    ExStyle = exStyle;
    if (Handle) PushStyleWord(Handle, GWL_EXSTYLE, exStyle);
}

void WindowObject::SetText(const ::Text& text) {
    Text = text;
    if (Handle) SendMessageA(Handle, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(Text.Data()));
}

void WindowObject::SetVisible(bool visible) {
    VisibilitySet = true;
    ApplyVisibility(visible);
}

void WindowObject::ApplyVisibility(bool visible) {
    if (visible)
        Style |= WS_VISIBLE;
    else
        Style &= ~WS_VISIBLE;
    Visible = visible;
    if (!Handle) return;
    if (visible) {
        ShowResizeNotifier(this);
        ShowWindow(Handle, SW_SHOW);
    } else {
        ShowPending = false;
        ShowWindow(Handle, SW_HIDE);
        ShowResizeNotifier(this);
    }
}

void WindowObject::SetEnabled(bool enabled) {
    if (enabled == Enabled) return;
    Enabled = enabled;
    if (enabled)
        Style &= ~WS_DISABLED;
    else
        Style |= WS_DISABLED;
    if (!Handle) return;
    EnableWindow(Handle, enabled);
    InvalidateRect(Handle, nullptr, TRUE);
}

namespace {

// The window may have changed its own styles (or been changed by others).
void RefreshStyles(WindowObject* w) {
    if (!w->Handle) return;
    w->Style = static_cast<DWORD>(GetWindowLongA(w->Handle, GWL_STYLE));
    w->ExStyle = static_cast<DWORD>(GetWindowLongA(w->Handle, GWL_EXSTYLE));
    w->ClassStyle = static_cast<UINT>(GetClassLongA(w->Handle, GCL_STYLE));
}

} // namespace

void WindowObject::SetHasBorder(bool hasBorder) {
    RefreshStyles(this);
    bool current = (Style & BorderStyles) || (ExStyle & WS_EX_CLIENTEDGE);
    if (current == hasBorder) return;
    DWORD style = Style, exStyle = ExStyle;
    if (hasBorder) {
        if (!IsChild)
            style |= TopLevelBorder;
        else if (Ctl3D)
            exStyle |= WS_EX_CLIENTEDGE;
        else
            style |= WS_BORDER;
    } else {
        style &= NoBorderStyleMask;
        if (!IsChild) style |= WS_POPUP;
        exStyle &= NoBorderExStyleMask;
    }
    if (IsChild) {
        if (TabStop)
            style |= WS_TABSTOP;
        else
            style &= ~WS_TABSTOP;
    }
    SetStyle(style);
    SetExStyle(exStyle);
}

void WindowObject::SetStayOnTop(bool stayOnTop) {
    RefreshStyles(this);
    if (((ExStyle & WS_EX_TOPMOST) != 0) == stayOnTop) return;
    if (stayOnTop)
        ExStyle |= WS_EX_TOPMOST;
    else
        ExStyle &= ~WS_EX_TOPMOST;
    if (Handle)
        SetWindowPos(Handle, stayOnTop ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                     SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE);
}

void WindowObject::SetColor(DWORD color) {
    GetWindowHandle();
    if (Notifications.ColorMessage) Perform(Notifications.ColorMessage, 0, ColorToRgb(color));
    if (color == Color) return;
    Color = color;
    if (BackgroundBrush) DeleteObject(BackgroundBrush);
    BackgroundBrush = nullptr;
    if (Handle) InvalidateRect(Handle, nullptr, TRUE);
}

WindowObject* WindowObject::SetUnicodeFormat(bool unicode) {
    Perform(SetUnicodeFormatMessage, unicode ? 1 : 0, 0);
    return this;
}

LRESULT WindowObject::Perform(UINT message, WPARAM wParam, LPARAM lParam) {
    return SendMessageA(GetWindowHandle(), message, wParam, lParam);
}

HBRUSH WindowObject::GetBackgroundBrush() {
    WindowObject* w = this;
    while (w->Parent && w->Parent->Color == w->Color)
        w = w->Parent;
    COLORREF rgb = ColorToRgb(w->Color);
    if (w->BackgroundBrush && w->BrushColor != rgb) {
        DeleteObject(w->BackgroundBrush);
        w->BackgroundBrush = nullptr;
    }
    if (!w->BackgroundBrush) {
        w->BrushColor = rgb;
        w->BackgroundBrush = CreateSolidBrush(rgb);
    }
    return w->BackgroundBrush;
}

HICON WindowObject::GetIcon() {
    if (Icon == NoIcon) return nullptr;
    if (Icon) return Icon;
    if (Applet && Applet != this) {
        HICON a = Applet->GetIcon();
        if (a) Icon = static_cast<HICON>(CopyImage(a, IMAGE_ICON, 0, 0, 0));
    } else {
        Icon = LoadIconA(ModuleInstance(), "MAINICON");
    }
    return Icon;
}

void WindowObject::SetOnClose(EventSlot<void(bool&)>::HandlerFn handler, void* context) {
    OnClose.Set(handler, context);
    AttachMessageHook(CloseHook);
}

void WindowObject::AttachMessageHook(MessageHook hook) {
    auto item = reinterpret_cast<PointerList::Item>(hook);
    if (!hook || Hooks->IndexOf(item) >= 0) return;
    Hooks->Add(item);
    Hooks->Add(PointerList::Item(0));
}

bool WindowObject::IsMainWindow() const {
    if (!Applet) return !IsChild;
    if (AppletUsed) return Applet->Children->Get(0) == reinterpret_cast<PointerList::Item>(this);
    return this == Applet;
}

WindowObject* WindowObject::ParentForm() {
    WindowObject* w = this;
    while (w && w->IsChild)
        w = w->Parent;
    return w;
}

HWND WindowObject::LetGoOfWindow() {
    HWND window = Handle;
    Handle = nullptr;
    if (!window || !IsWindow(window) ||
        GetWindowLongPtrA(window, GWLP_USERDATA) != reinterpret_cast<LONG_PTR>(this))
        return nullptr;
    SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    return window;
}

void WindowObject::Destroy() {
    if (Life == Lifecycle::Ending) return;
    if (MessageDepth > 0) {
        Life = Lifecycle::EndAsked;
        return;
    }
    Life = Lifecycle::Ending;

    WindowObject* form = ParentForm();
    if (form && form->FocusedControl == this) form->FocusedControl = nullptr;
    if (Applet && Applet != this && Applet->FocusedControl == this)
        Applet->FocusedControl = nullptr;
    if (Handle) ShowWindow(Handle, SW_HIDE);

    Finalize();

    if (Icon && Icon != NoIcon) DestroyIcon(Icon);
    Icon = nullptr;
    // Unbound first, so that the messages of the destruction take the unbound
    // path and no hook runs on an object that is going away. A window that
    // got WM_DESTROY was let go of then: whoever destroys it finishes the job.
    if (HWND window = LetGoOfWindow()) DestroyWindow(window);
    if (BackgroundBrush) DeleteObject(BackgroundBrush);
    BackgroundBrush = nullptr;

    if (Parent) {
        if (Parent->FocusedControl == this) Parent->FocusedControl = nullptr;
        Parent->Children->Remove(this);
        RemoveFromAutoFree(Parent, this);
        Parent = nullptr;
    }
    // Children still here outlive this object only because a message for
    // them is still being handled; they must not reach back to it.
    for (int i = 0; i < Children->Count; ++i)
        Children->GetAs<WindowObject>(i)->Parent = nullptr;
    if (CreatingObject == this) CreatingObject = nullptr;
    if (Applet == this) Applet = nullptr;
    FreeAndNil(Hooks);
    FreeAndNil(Children);
    Text = ::Text();
    BaseObject::Destroy();
}
