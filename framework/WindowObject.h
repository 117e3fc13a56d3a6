// WindowObject: one Win32 window (applet, form, push button or edit box) as an
// object of the framework, created lazily, bound to its window through
// GWL_USERDATA and served by the one window procedure of WindowProc.cpp.
#pragma once

#include <windows.h>

#include <cstdint>

#include "framework/BaseObject.h"
#include "framework/EventSlot.h"
#include "framework/PointerList.h"
#include "framework/Text.h"

class WindowObject;

// A message hook: (Sender, the message record, the result) -> handled. Hooks
// run last-attached first, before the window's own handling.
using MessageHook = bool (*)(WindowObject* sender, MSG& message, LRESULT& result);
// Consulted by ProcessMessage before a message is dispatched.
using MessageFilterProc = bool (*)(WindowObject* window, MSG& message);
using AfterCreateProc = void (*)(WindowObject* window);

// Private messages between the framework's own windows: a parent re-sends
// WM_COMMAND and WM_CTLCOLOR* to the framework child that sent them.
constexpr UINT ReflectedCommand = 0xB005;
constexpr UINT ReflectedColorOffset = 0xBC00;
constexpr UINT ReflectedColorFirst = WM_CTLCOLORMSGBOX + ReflectedColorOffset; // 0xBD32
constexpr UINT ReflectedColorLast = WM_CTLCOLORSTATIC + ReflectedColorOffset;  // 0xBD38

// A colour with bit 31 set is a system colour index (COLOR_*), else an RGB.
constexpr DWORD SystemColor(int index) {
    return 0x80000000u | static_cast<DWORD>(index);
}
constexpr DWORD ColorButtonFace = SystemColor(COLOR_BTNFACE); // 0x8000000F
constexpr DWORD ColorWindow = SystemColor(COLOR_WINDOW);      // 0x80000005
COLORREF ColorToRgb(DWORD color);

// Which notification codes of WM_COMMAND fire which event of a control.
struct NotificationTable {
    WORD ClickCode;
    WORD EnterCode;
    WORD LeaveCode;
    WORD ChangeCode;
    WORD SelectionChangeCode;
    UINT ColorMessage; // sent by SetColor when not 0
};

// Edit box options: a 16-bit set of the members below. NoHorzScroll and
// NoVertScroll add their style bits when absent, every other member when present.
using EditOptions = std::uint16_t;
namespace EditOption {
constexpr EditOptions NoHorzScroll = 1u << 0; // absent: ES_AUTOHSCROLL | WS_HSCROLL
constexpr EditOptions NoVertScroll = 1u << 1; // absent: ES_AUTOVSCROLL | WS_VSCROLL
constexpr EditOptions LowerCase = 1u << 2;
constexpr EditOptions MultiLine = 1u << 3;
constexpr EditOptions NoHideSel = 1u << 4;
constexpr EditOptions OemConvert = 1u << 5;
constexpr EditOptions Password = 1u << 6;
constexpr EditOptions ReadOnly = 1u << 7;
constexpr EditOptions UpperCase = 1u << 8;
constexpr EditOptions WantReturn = 1u << 9;
constexpr EditOptions WordWrap = 1u << 10; // adds nothing
constexpr EditOptions Number = 1u << 11;
} // namespace EditOption
// The window style that a set of options gives before creation adjusts it.
DWORD EditStyle(EditOptions options);

// Where a window object stands between its creation and its end. A message
// in hand (MessageDepth > 0) keeps the object alive whatever happens during
// it; what it leaves to do is done when the last one is finished.
//   Live        in use; its window, if it has one, is alive and bound to it.
//   WindowGone  its window got WM_DESTROY and the object let go of it. It
//               ends when no message is in hand and no one holds a counted
//               reference; a holder ends it with Free or Destroy.
//   EndAsked    Destroy (or the last Free) came while a message was in hand;
//               the teardown runs when that message is finished.
//   Ending      the teardown is running: messages get default processing
//               only, and a second Destroy returns at once.
// The object never gets a new window once it has left Live.
enum class Lifecycle : BYTE { Live, WindowGone, EndAsked, Ending };

class WindowObject : public BaseObject {
  public:
    // Virtual operations after Init and Destroy, in slot order.
    void Init() override;
    // Teardown: OnDestroy and the owned objects first (the window still
    // exists then, unless it was destroyed from outside), then the window,
    // the brush and the parent link. Called while a message for the object is
    // in hand, it only asks for the end, which follows that message.
    void Destroy() override;
    // Init, then with a parent: copy its Color and ChangeParent to it.
    virtual void InitWithParent(WindowObject* parent);
    // Creates the window (and its children's) if needed; false when it cannot.
    virtual bool CreateWindowHandle();
    // Every message of the window: OnMessage, the hooks, then the built-in rules.
    virtual LRESULT WindowProc(MSG& message);

    // Returns the window, creating it on first use (hidden unless the program
    // has called SetVisible). 0 when it cannot be created.
    HWND GetWindowHandle();
    void ChangeParent(WindowObject* parent);
    RECT GetBoundsRect();
    void SetBoundsRect(const RECT& rect);
    void SetPosition(int left, int top);
    RECT GetClientRectangle();
    // Outer size := client size + frame; a side <= 0 stays. Creates the window.
    void SetClientSize(int width, int height);
    void SetStyle(DWORD style);
    void SetExStyle(DWORD exStyle);
    void SetText(const ::Text& text);
    void SetVisible(bool visible);
    void Hide() { SetVisible(false); }
    void ApplyVisibility(bool visible);
    void SetEnabled(bool enabled);
    void SetHasBorder(bool hasBorder);
    void SetStayOnTop(bool stayOnTop);
    // Creates the window; an unchanged colour keeps the cached brush.
    void SetColor(DWORD color);
    WindowObject* SetUnicodeFormat(bool unicode);
    // SendMessageA to the window, creating it first.
    LRESULT Perform(UINT message, WPARAM wParam, LPARAM lParam);
    HBRUSH GetBackgroundBrush();
    HICON GetIcon();
    void SetOnClose(EventSlot<void(bool& accept)>::HandlerFn handler, void* context);
    void AttachMessageHook(MessageHook hook);
    // Runs the hooks last-attached first; true when one answered handled.
    bool HookDispatcher(MSG& message, LRESULT& result);
    bool IsMainWindow() const;
    // This window when it is not a child control, else the first such ancestor.
    WindowObject* ParentForm();
    // Default processing: the superclassed system procedure or DefWindowProcA.
    LRESULT DefaultHandler(const MSG& message);

    HWND Handle = nullptr;
    UINT ClassStyle = 0;
    DWORD Style = 0;
    DWORD ExStyle = 0;
    HICON Icon = nullptr; // all ones: no icon
    WNDPROC DefaultProc = nullptr;
    WindowObject* Parent = nullptr;
    bool Enabled = false;
    bool Visible = false;
    bool TabStop = false;
    int TabOrder = 0;
    PointerList* Hooks = nullptr;    // (MessageHook, flag) pairs
    PointerList* Children = nullptr; // child WindowObjects in creation order
    MessageFilterProc MessageFilter = nullptr;
    HBRUSH BackgroundBrush = nullptr;
    COLORREF BrushColor = 0;
    Lifecycle Life = Lifecycle::Live;
    int MessageDepth = 0; // messages for the object in hand (nested sends)
    UINT ControlId = 0;
    bool IsChild = false;
    BYTE PositionSet = 0; // bit 0: left changed, bit 1: top changed
    EventSlot<void()> OnLeave;
    const char* ClassName = nullptr;
    DWORD TextColor = 0;
    DWORD Color = 0;
    RECT BoundsRect = {};
    bool Transparent = false;
    EventSlot<bool(MSG& message, LRESULT& result)> OnMessage;
    EventSlot<void()> OnClick;
    WindowObject* FocusedControl = nullptr;
    bool VisibilitySet = false;
    bool ShowPending = false;
    signed char FocusDepth = 0;
    EventSlot<void()> OnChange;
    EventSlot<void()> OnEnter;
    NotificationTable Notifications = {};
    int ModalResult = 0;
    ::Text Text;
    EventSlot<void(bool& accept)> OnClose;
    AfterCreateProc AfterCreate = nullptr;

    // A form's count of the tab stops handed out to its controls.
    int TabCounter = 0;
    // The size type of the last WM_SIZE (SIZE_RESTORED, SIZE_MINIMIZED, ...).
    BYTE SizeType = 0;
    // Edit boxes: a border means WS_EX_CLIENTEDGE rather than WS_BORDER.
    bool Ctl3D = false;

    // Forgets the window and unbinds it. Returns it when it was alive and
    // bound to this object; the window itself is left alone.
    HWND LetGoOfWindow();
};

// Creates a window object of kind T through InitWithParent (no window yet).
template <class T> T* NewWindowObject(WindowObject* parent) {
    T* object = new T();
    object->InitWithParent(parent);
    return object;
}

// The four kinds. None of them creates a window.
WindowObject* NewApplet(const Text& caption);
WindowObject* NewForm(WindowObject* parent, const Text& caption);
WindowObject* NewButton(WindowObject* parent, const Text& caption);
WindowObject* NewEditBox(WindowObject* parent, EditOptions options);

// The Win32 window procedure of every framework class.
LRESULT CALLBACK FrameworkWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Framework globals. All of them belong to the thread that owns the windows.
extern WindowObject* Applet;         // the application window object
extern WindowObject* CreatingObject; // whose CreateWindowExA is in progress
extern WORD NextControlId;           // starts at 0x8000
extern bool AppletUsed;              // set by any NewApplet

// Replaceable procedures with their defaults: the background-brush provider
// (WindowObject::GetBackgroundBrush), a show/resize notifier that does nothing
// and a key pre-filter that never handles a key.
using BackgroundBrushProc = HBRUSH (*)(WindowObject* window);
using ShowResizeProc = void (*)(WindowObject* window);
using KeyPreFilterProc = bool (*)(WindowObject* window, MSG& message);
extern BackgroundBrushProc BackgroundBrushProvider;
extern ShowResizeProc ShowResizeNotifier;
extern KeyPreFilterProc KeyPreFilter;

// The module that holds this code (the DLL when built into it, never the EXE).
HINSTANCE ModuleInstance();
