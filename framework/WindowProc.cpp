// The one window procedure of every framework class, the object's WindowProc
// with its built-in rules, the hook dispatcher and the hooks the framework
// attaches (control, double-click, focus, background, applet, close).
//
// Threads: all of it runs on the thread that owns the windows. A SendMessage
// from inside a handler re-enters FrameworkWindowProc; MessageDepth counts
// that nesting per object, and an object with a message in hand is not torn
// down before that message has finished (see Lifecycle).
#include "framework/FrameworkHooks.h"
#include "framework/MessageLoop.h"

namespace {

// The system procedures behind the superclasses registered so far, by class
// atom: only "BUTTON" and "EDIT" are ever superclassed.
struct Superclass {
    ATOM atom;
    WNDPROC proc;
};
Superclass Superclasses[8];
int SuperclassCount = 0;

WindowObject* BoundObject(HWND hwnd) {
    return reinterpret_cast<WindowObject*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
}

// A reference held for the length of a scope.
struct Hold {
    explicit Hold(WindowObject* w) : w(w) { AddRef(w); }
    ~Hold() { Free(w); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    WindowObject* w;
};

// A control's own click: the focus follows a click on a tab stop.
void MoveFocusOnClick(WindowObject* w) {
    if (!w->TabStop) return;
    if (!w->IsChild) {
        SetForegroundWindow(w->GetWindowHandle());
        return;
    }
    WindowObject* form = w->ParentForm();
    if (form && form->FocusedControl && form->FocusedControl != w) SetFocus(nullptr);
    if (form) form->FocusedControl = w;
    SetFocus(w->GetWindowHandle());
}

void CreateChildWindows(WindowObject* w) {
    for (int i = 0; i < w->Children->Count; ++i)
        w->Children->GetAs<WindowObject>(i)->CreateWindowHandle();
}

// What the messages in hand left to do, once the last of them is finished.
void EndIfDue(WindowObject* w) {
    switch (w->Life) {
    case Lifecycle::EndAsked:
        w->Destroy();
        break;
    case Lifecycle::WindowGone:
        // Its window is gone and no one else holds it: the object goes with it.
        if (w->RefCount == 0 && w != Applet) Free(w);
        break;
    default:
        break;
    }
}

// Hands one message to an object. The message keeps the object alive until
// it has finished, whatever a hook or handler frees or destroys meanwhile.
LRESULT Deliver(WindowObject* w, MSG& m) {
    ++w->MessageDepth;
    LRESULT result = w->WindowProc(m);
    if (--w->MessageDepth == 0) EndIfDue(w);
    return result;
}

// A window that no object answers for: its own class's default behaviour.
// WM_NCDESTROY is answered 0, but a system control still gets it, since it
// frees its own state there.
LRESULT UnboundDefault(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    WNDPROC proc = SuperclassedProc(hwnd);
    if (message == WM_NCDESTROY) {
        if (proc) CallWindowProcA(proc, hwnd, message, wParam, lParam);
        return 0;
    }
    if (proc) return CallWindowProcA(proc, hwnd, message, wParam, lParam);
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

} // namespace

void RememberSuperclass(ATOM atom, WNDPROC systemProc) {
    if (SuperclassCount < static_cast<int>(sizeof Superclasses / sizeof Superclasses[0]))
        Superclasses[SuperclassCount++] = {atom, systemProc};
}

WNDPROC SuperclassedProc(HWND hwnd) {
    ATOM atom = static_cast<ATOM>(GetClassLongA(hwnd, GCW_ATOM));
    for (int i = 0; i < SuperclassCount; ++i)
        if (Superclasses[i].atom == atom) return Superclasses[i].proc;
    return nullptr;
}

bool IsFrameworkWindow(HWND hwnd) {
    if (!hwnd || !BoundObject(hwnd)) return false;
    return reinterpret_cast<WNDPROC>(GetClassLongPtrA(hwnd, GCLP_WNDPROC)) == FrameworkWindowProc;
}

LRESULT CALLBACK FrameworkWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    MSG m = {};
    m.hwnd = hwnd;
    m.message = message;
    m.wParam = wParam;
    m.lParam = lParam;

    WindowObject* w = nullptr;
    if (hwnd) {
        w = BoundObject(hwnd);
        // The first message of a window being created binds it to the object
        // whose CreateWindowExA is in progress; a bound window is never rebound.
        if (!w && CreatingObject) {
            w = CreatingObject;
            CreatingObject = nullptr;
            w->Handle = hwnd;
            SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(w));
        }
    }

    if (!w) {
        // Unbound windows (those whose object has let go of them) are served
        // by the Applet.
        if (!Applet || Applet->Life == Lifecycle::Ending)
            return UnboundDefault(hwnd, message, wParam, lParam);
        return Deliver(Applet, m);
    }
    if (w->Life == Lifecycle::Ending) {
        // Messages sent while the object is going away (say, from inside an
        // owned timer's Destroy): the window's default behaviour, no hooks.
        if (message == WM_NCDESTROY) return UnboundDefault(hwnd, message, wParam, lParam);
        return w->DefaultHandler(m);
    }
    return Deliver(w, m);
}

LRESULT WindowObject::DefaultHandler(const MSG& m) {
    if (m.hwnd && m.hwnd != Handle) {
        // A message of another window handed to this object (the Applet gets
        // those of unbound windows): that window's own default behaviour.
        if (WNDPROC proc = SuperclassedProc(m.hwnd))
            return CallWindowProcA(proc, m.hwnd, m.message, m.wParam, m.lParam);
        return DefWindowProcA(m.hwnd, m.message, m.wParam, m.lParam);
    }
    if (DefaultProc) return CallWindowProcA(DefaultProc, Handle, m.message, m.wParam, m.lParam);
    return DefWindowProcA(m.hwnd, m.message, m.wParam, m.lParam);
}

LRESULT WindowObject::WindowProc(MSG& m) {
    if (m.hwnd && !Handle && BoundObject(m.hwnd) == this) Handle = m.hwnd;
    if (OnMessage) {
        LRESULT result = 0;
        if (OnMessage(this, m, result)) return result;
    }
    {
        LRESULT result = 0;
        if (HookDispatcher(m, result)) return result;
    }

    // The rules about the object's own state apply to its own window only,
    // not to the messages of unbound windows that reach the Applet.
    bool own = m.hwnd == Handle;
    switch (m.message) {
    case WM_CLOSE:
        if (own && (this == Applet || IsMainWindow())) PostQuitMessage(0);
        break;
    case WM_DESTROY: {
        if (!own) break;
        LRESULT result = DefaultHandler(m);
        // The window is on its way out: its last messages take the unbound
        // path, and the object ends once its messages in hand are finished.
        LetGoOfWindow();
        if (Life == Lifecycle::Live) Life = Lifecycle::WindowGone;
        return result;
    }
    case WM_NCDESTROY:
        // Answered without DefWindowProc; a system control still gets it,
        // since it frees its own state there.
        if (WNDPROC proc = own ? DefaultProc : SuperclassedProc(m.hwnd))
            CallWindowProcA(proc, m.hwnd, m.message, m.wParam, m.lParam);
        return 0;
    case WM_SIZE: {
        LRESULT result = DefaultHandler(m);
        if (own) {
            SizeType = LOBYTE(m.wParam);
            ShowResizeNotifier(this);
        }
        return result;
    }
    case WM_SYSCOMMAND:
        // Without an Applet the main window minimizes itself.
        if ((m.wParam & 0xFFF0) == SC_MINIMIZE && own && Applet && this != Applet &&
            IsMainWindow()) {
            PostMessageA(Applet->Handle, WM_SYSCOMMAND, SC_MINIMIZE, 0);
            return 0;
        }
        break;
    case WM_SETFOCUS:
        if (!own) break;
        if (Enabled || (TabStop && (Style & WS_TABSTOP))) {
            // A click notification that these calls cause is not a click.
            ++FocusDepth;
            SetFocus(Handle);
            --FocusDepth;
            ++FocusDepth;
            LRESULT result = DefaultHandler(m);
            --FocusDepth;
            return result;
        }
        return 0;
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC: {
        HWND child = reinterpret_cast<HWND>(m.lParam);
        // Only a framework child knows the private message.
        if (IsFrameworkWindow(child))
            return SendMessageA(child, m.message + ReflectedColorOffset, m.wParam, m.lParam);
        break;
    }
    case WM_COMMAND: {
        // lParam 0: a menu or an accelerator, not a control.
        HWND child = reinterpret_cast<HWND>(m.lParam);
        if (IsFrameworkWindow(child))
            return SendMessageA(child, ReflectedCommand, m.wParam, m.lParam);
        break;
    }
    default:
        if (m.message >= WM_KEYFIRST && m.message <= WM_KEYLAST) {
            if (KeyPreFilter(this, m)) return 0;
            // Tab moves between controls; it is never typed into one. Ctrl+Tab
            // and Alt+Tab still reach the control.
            if (m.message == WM_CHAR && m.wParam == VK_TAB && GetKeyState(VK_CONTROL) >= 0 &&
                GetKeyState(VK_MENU) >= 0)
                return 0;
        }
        break;
    }
    return DefaultHandler(m);
}

bool WindowObject::HookDispatcher(MSG& message, LRESULT& result) {
    // An object on its way out runs no hooks.
    if (RefCount < 0 || Life == Lifecycle::EndAsked || Life == Lifecycle::Ending) return false;
    if (!Hooks || Hooks->Count == 0) return false;
    Hold hold(this);
    // Last attached first. The list is read afresh on every step: a hook may
    // attach another one.
    for (int i = (Hooks->Count & ~1) - 2; i >= 0; i -= 2) {
        if (i + 1 >= Hooks->Count) continue;
        if (QuitReceived && Hooks->Get(i + 1) == 0) continue;
        auto hook = reinterpret_cast<MessageHook>(Hooks->Get(i));
        if (hook(this, message, result)) return true;
    }
    return false;
}

bool ControlHook(WindowObject* w, MSG& m, LRESULT& result) {
    if (m.message >= ReflectedColorFirst && m.message <= ReflectedColorLast) {
        HDC dc = reinterpret_cast<HDC>(m.wParam);
        SetTextColor(dc, ColorToRgb(w->TextColor));
        if (w->Transparent) {
            SetBkMode(dc, TRANSPARENT);
            result = reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH));
        } else {
            SetBkMode(dc, OPAQUE);
            SetBkColor(dc, ColorToRgb(w->Color));
            result = reinterpret_cast<LRESULT>(BackgroundBrushProvider(w));
        }
        return true;
    }
    if (m.message == ReflectedCommand) {
        WORD code = HIWORD(m.wParam);
        const NotificationTable& n = w->Notifications;
        if (code == n.ClickCode) {
            if (w->FocusDepth <= 0) {
                MoveFocusOnClick(w);
                w->OnClick(w);
            }
        } else if (code == n.EnterCode) {
            w->OnEnter(w);
        } else if (code == n.LeaveCode) {
            w->OnLeave(w);
        } else if (code == n.ChangeCode || code == n.SelectionChangeCode) {
            w->OnChange(w);
        } else {
            return false;
        }
        result = w->DefaultHandler(m);
        return true;
    }
    if (m.message == WM_SETFOCUS) {
        if (WindowObject* form = w->ParentForm()) form->FocusedControl = w;
    }
    return false;
}

bool DoubleClickHook(WindowObject*, MSG& m, LRESULT&) {
    // The button procedure then sees a second press instead of a double-click.
    if (m.message == WM_LBUTTONDBLCLK) m.message = WM_LBUTTONDOWN;
    return false;
}

bool FocusHook(WindowObject* form, MSG& m, LRESULT&) {
    if (m.message != WM_SETFOCUS) return false;
    WindowObject* focused = form->FocusedControl;
    if (focused && focused->CreateWindowHandle()) SetFocus(focused->Handle);
    if (Applet && Applet != form) Applet->FocusedControl = form;
    return focused != nullptr;
}

bool BackgroundHook(WindowObject* form, MSG& m, LRESULT& result) {
    if (m.message != WM_ERASEBKGND) return false;
    result = 1;
    CreateChildWindows(form);
    if (!form->Transparent) {
        HDC dc = reinterpret_cast<HDC>(m.wParam);
        SetBkMode(dc, OPAQUE);
        SetBkColor(dc, ColorToRgb(form->Color));
        SetBrushOrgEx(dc, 0, 0, nullptr);
        RECT client;
        GetClientRect(form->Handle, &client);
        FillRect(dc, &client, BackgroundBrushProvider(form));
    }
    return false;
}

bool AppletHook(WindowObject* applet, MSG& m, LRESULT& result) {
    if (m.message == WM_SETFOCUS && applet->FocusedControl) {
        WindowObject* focused = applet->FocusedControl;
        focused->CreateWindowHandle();
        SetFocus(focused->Handle);
        return true;
    }
    if (m.message == WM_SYSCOMMAND && (m.wParam & 0xFFF0) == SC_CLOSE) {
        auto* first = applet->Children->GetAs<WindowObject>(0);
        if (first && first->IsMainWindow()) {
            PostMessageA(first->Handle, WM_CLOSE, 0, 0);
            result = 0;
            return true;
        }
    }
    return false;
}

bool CloseHook(WindowObject* w, MSG& m, LRESULT& result) {
    if (m.message != WM_CLOSE) return false;
    bool accept = true;
    if (w->OnClose) {
        EventSlot<void(bool&)> onClose = w->OnClose;
        onClose(w, accept);
        // Asked once only, and a refusal does not stop the close.
        w->OnClose.Clear();
    }
    if (accept && (w->IsMainWindow() || w == Applet)) {
        PostQuitMessage(0);
        result = 0;
    }
    return false;
}

void TrimAppletSystemMenu(WindowObject* applet) {
    HMENU menu = GetSystemMenu(applet->Handle, FALSE);
    EnableMenuItem(menu, SC_RESTORE, MF_BYCOMMAND | MF_GRAYED);
    DeleteMenu(menu, SC_SIZE, MF_BYCOMMAND);
    DeleteMenu(menu, SC_MOVE, MF_BYCOMMAND);
    DeleteMenu(menu, SC_MAXIMIZE, MF_BYCOMMAND);
}
