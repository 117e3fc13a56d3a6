// The message path on real windows: clicks through the reflected command,
// focus, keys, closing, destruction from outside, hooks and object lifetime
// while messages are handled, and ProcessMessages.
#include <doctest/doctest.h>

#include "WindowTests.h"

namespace {

// A plain record of the program's own, owned by a form.
struct Record : BaseObject {};

int Clicks = 0;
void CountClick(void*, BaseObject*) {
    ++Clicks;
}

// A form with an edit box (the first tab stop) and a button, shown.
struct Dialog {
    Dialog() {
        form = NewForm(nullptr, "dialog");
        form->SetPosition(200, 150);
        form->SetClientSize(240, 120);
        edit = NewEditBox(form, EditOption::MultiLine);
        edit->SetBoundsRect({10, 10, 130, 60}); // clear of the button
        button = NewButton(form, "Press");
        button->SetPosition(150, 80);
        form->SetVisible(true);
        PaintNow(form->GetWindowHandle());
        DrainQueue();
    }
    ~Dialog() {
        Free(form);
        DrainQueue();
    }
    WindowObject* form;
    WindowObject* edit;
    WindowObject* button;
};

// Records the order in which hooks run.
std::string HookOrder;
bool FirstHook(WindowObject*, MSG& m, LRESULT&) {
    if (m.message == WM_APP) HookOrder += '1';
    return false;
}
bool SecondHook(WindowObject*, MSG& m, LRESULT& result) {
    if (m.message != WM_APP) return false;
    HookOrder += '2';
    result = 42;
    return m.wParam == 1; // handled on request
}

int ReflectedCommands = 0;
bool CountReflected(WindowObject*, MSG& m, LRESULT&) {
    if (m.message == ReflectedCommand && HIWORD(m.wParam) == BN_CLICKED) ++ReflectedCommands;
    return false;
}

int CloseCalls = 0;
void RefuseClose(void*, BaseObject*, bool& accept) {
    ++CloseCalls;
    accept = false;
}
bool BlockClose = false;
bool CloseBlocker(WindowObject*, MSG& m, LRESULT&) {
    return m.message == WM_CLOSE && BlockClose;
}

// Frees (or destroys) the object inside the handling of its own message.
bool FreeInHook(WindowObject* w, MSG& m, LRESULT& result) {
    if (m.message != WM_APP + 1) return false;
    Free(w);
    result = 7;
    return true;
}
std::string* JournalSeen = nullptr;
std::string SeenInsideHook;
bool DestroyInHook(WindowObject* w, MSG& m, LRESULT&) {
    if (m.message != WM_APP + 2) return false;
    w->Destroy();
    SeenInsideHook = *JournalSeen; // the object must still be alive here
    return false;                  // so that WindowProc goes on with it
}

// Frees the owner of the window's object on WM_DESTROY, as the plug-in does.
WindowObject* OwnerToFree = nullptr;
bool FreeOwnerOnDestroy(WindowObject*, MSG& m, LRESULT&) {
    if (m.message == WM_DESTROY) FreeAndNil(OwnerToFree);
    return false;
}

// Wraps a window's procedure to see what it answers.
WNDPROC Wrapped = nullptr;
LRESULT NcDestroyAnswer = -1;
LRESULT CALLBACK Spy(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    LRESULT r = CallWindowProcA(Wrapped, h, msg, wp, lp);
    if (msg == WM_NCDESTROY) NcDestroyAnswer = r;
    return r;
}

int PlainButtonReflections = 0;
WNDPROC PlainButtonProc = nullptr;
LRESULT CALLBACK PlainButtonSpy(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == ReflectedCommand) ++PlainButtonReflections;
    return CallWindowProcA(PlainButtonProc, h, msg, wp, lp);
}

int AppMessages = 0;
bool CountApp(WindowObject*, MSG& m, LRESULT&) {
    if (m.message == WM_APP + 5) ++AppMessages;
    return false;
}
// What an OnDestroy handler finds still alive when it runs.
struct EndWatch {
    DestroyJournal* journal;
    std::string seenAtEnd;
    bool windowAlive = false;
};
void NoteEnd(void* context, BaseObject* sender) {
    auto* e = static_cast<EndWatch*>(context);
    e->seenAtEnd = e->journal->order;
    HWND h = static_cast<WindowObject*>(sender)->Handle;
    e->windowAlive = h && IsWindow(h);
}

int Paints = 0;
bool CountPaint(WindowObject*, MSG& m, LRESULT&) {
    if (m.message == WM_PAINT) ++Paints;
    return false;
}
bool FilterAll(WindowObject*, MSG& m) {
    return m.message == WM_APP + 5;
}

} // namespace

TEST_CASE("a button click reaches OnClick through the reflected command") {
    Dialog d;
    Clicks = 0;
    d.button->OnClick.Set(CountClick, nullptr);
    HWND b = d.button->Handle;

    SUBCASE("BM_CLICK") {
        SendMessageA(b, BM_CLICK, 0, 0);
        DrainQueue();
        CHECK(Clicks == 1);
    }
    SUBCASE("mouse press and release") {
        PostMessageA(b, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
        PostMessageA(b, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
        DrainQueue();
        CHECK(Clicks == 1);
    }
    SUBCASE("a double-click is a second press") {
        PostMessageA(b, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
        PostMessageA(b, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
        PostMessageA(b, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(5, 5));
        PostMessageA(b, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
        DrainQueue();
        CHECK(Clicks == 2);
    }
    SUBCASE("the system mouse, at the button's place on the screen") {
        RECT r;
        GetWindowRect(b, &r);
        SetCursorPos((r.left + r.right) / 2, (r.top + r.bottom) / 2);
        INPUT input[2] = {};
        input[0].type = input[1].type = INPUT_MOUSE;
        input[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
        input[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
        SendInput(2, input, sizeof input[0]);
        // Input travels through the X server: give it time, generously.
        for (int i = 0; i < 200 && Clicks == 0; ++i) {
            DrainQueue();
            Sleep(10);
        }
        CHECK(Clicks == 1);
    }
}

TEST_CASE("a click on a button with an empty OnClick still moves the focus") {
    Dialog d;
    SetFocus(d.edit->Handle);
    REQUIRE(GetFocus() == d.edit->Handle);
    CHECK(d.form->FocusedControl == d.edit);
    // The notification as the button sends it to its form.
    SendMessageA(d.form->Handle, WM_COMMAND, MAKEWPARAM(d.button->ControlId, BN_CLICKED),
                 reinterpret_cast<LPARAM>(d.button->Handle));
    CHECK(GetFocus() == d.button->Handle);
    CHECK(d.form->FocusedControl == d.button);
}

TEST_CASE("a WM_COMMAND from a menu or a foreign control is not reflected") {
    Dialog d;
    Clicks = 0;
    ReflectedCommands = 0;
    d.button->OnClick.Set(CountClick, nullptr);
    d.button->AttachMessageHook(CountReflected);
    SendMessageA(d.form->Handle, WM_COMMAND, MAKEWPARAM(d.button->ControlId, BN_CLICKED), 0);
    CHECK(ReflectedCommands == 0);
    CHECK(Clicks == 0);

    HWND plain = CreateWindowExA(0, "BUTTON", "plain", WS_CHILD | WS_VISIBLE, 10, 80, 60, 22,
                                 d.form->Handle, reinterpret_cast<HMENU>(77), nullptr, nullptr);
    REQUIRE(plain != nullptr);
    PlainButtonProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(plain, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(PlainButtonSpy)));
    SetWindowLongPtrA(plain, GWLP_USERDATA, 12345); // user data of its own
    SendMessageA(d.form->Handle, WM_COMMAND, MAKEWPARAM(77, BN_CLICKED),
                 reinterpret_cast<LPARAM>(plain));
    CHECK(PlainButtonReflections == 0);
    // And a genuine one is.
    SendMessageA(d.form->Handle, WM_COMMAND, MAKEWPARAM(d.button->ControlId, BN_CLICKED),
                 reinterpret_cast<LPARAM>(d.button->Handle));
    CHECK(ReflectedCommands == 1);
    CHECK(Clicks == 1);
}

TEST_CASE("an edit box gets its colours through the reflected colour message") {
    Dialog d;
    d.edit->SetColor(0x0000FF00);
    HDC dc = GetDC(d.edit->Handle);
    LRESULT brush = SendMessageA(d.form->Handle, WM_CTLCOLOREDIT, reinterpret_cast<WPARAM>(dc),
                                 reinterpret_cast<LPARAM>(d.edit->Handle));
    CHECK(brush == reinterpret_cast<LRESULT>(d.edit->GetBackgroundBrush()));
    CHECK(GetBkColor(dc) == 0x0000FF00);
    CHECK(GetTextColor(dc) == 0x00000008);
    CHECK(GetBkMode(dc) == OPAQUE);
    d.edit->Transparent = true;
    brush = SendMessageA(d.form->Handle, WM_CTLCOLOREDIT, reinterpret_cast<WPARAM>(dc),
                         reinterpret_cast<LPARAM>(d.edit->Handle));
    CHECK(brush == reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH)));
    CHECK(GetBkMode(dc) == TRANSPARENT);
    ReleaseDC(d.edit->Handle, dc);
}

TEST_CASE("Tab is not typed into an edit box; Ctrl+Tab is") {
    Dialog d;
    HWND e = d.edit->Handle;
    SendMessageA(e, WM_CHAR, 'a', 0);
    SendMessageA(e, WM_CHAR, '\t', 0);
    SendMessageA(e, WM_CHAR, 'b', 0);
    CHECK(WindowText(e) == "ab");

    BYTE keys[256];
    GetKeyboardState(keys);
    BYTE saved = keys[VK_CONTROL];
    keys[VK_CONTROL] = 0x80;
    SetKeyboardState(keys);
    SendMessageA(e, WM_CHAR, '\t', 0);
    keys[VK_CONTROL] = saved;
    SetKeyboardState(keys);
    CHECK(WindowText(e) == "ab\t");
}

TEST_CASE("WM_CLOSE asks OnClose once and a refusal does not stop the close") {
    WindowObject* form = NewForm(nullptr, "closing");
    form->SetVisible(true);
    HWND h = form->GetWindowHandle();
    DestroyJournal journal;
    journal.Watch(form, 'F');
    form->AttachMessageHook(CloseBlocker); // runs after the close hook
    form->SetOnClose(RefuseClose, nullptr);
    CloseCalls = 0;

    BlockClose = true;
    SendMessageA(h, WM_CLOSE, 0, 0);
    CHECK(CloseCalls == 1);
    SendMessageA(h, WM_CLOSE, 0, 0);
    CHECK(CloseCalls == 1);
    CHECK(IsWindow(h));
    DrainQueue();

    BlockClose = false;
    SendMessageA(h, WM_CLOSE, 0, 0);
    CHECK(CloseCalls == 1);
    CHECK_FALSE(IsWindow(h));
    CHECK(journal.order == "F");
    // Without an Applet a top-level form is the main window: closing it quits.
    CHECK(DrainQueue());
}

TEST_CASE("with an Applet that has no children, closing a form does not quit") {
    WindowObject* applet = NewApplet("vekplug");
    Applet = applet;
    WindowObject* form = NewForm(nullptr, "not main");
    form->SetOnClose(RefuseClose, nullptr);
    form->SetVisible(true);
    HWND h = form->GetWindowHandle();
    CHECK_FALSE(form->IsMainWindow());
    // The form took the focus when shown and told the Applet so.
    CHECK(applet->FocusedControl == form);
    SendMessageA(h, WM_CLOSE, 0, 0);
    CHECK_FALSE(IsWindow(h));
    CHECK_FALSE(DrainQueue());
    // The messages of the form's teardown went to the windowless Applet,
    // which must not take that dying window for its own.
    CHECK(applet->Handle == nullptr);
    CHECK(applet->FocusedControl == nullptr);
    Free(applet);
    CHECK(Applet == nullptr);
}

TEST_CASE("an applet's first form is the main window; the applet trims its system menu") {
    WindowObject* applet = NewApplet("app");
    Applet = applet;
    applet->SetVisible(true);
    HWND a = applet->GetWindowHandle();
    HMENU menu = GetSystemMenu(a, FALSE);
    for (UINT command : {SC_SIZE, SC_MOVE, SC_MAXIMIZE}) {
        CAPTURE(command);
        CHECK(GetMenuState(menu, command, MF_BYCOMMAND) == UINT(-1));
    }
    CHECK((GetMenuState(menu, SC_RESTORE, MF_BYCOMMAND) & MF_GRAYED));
    CHECK(GetMenuState(menu, SC_CLOSE, MF_BYCOMMAND) != UINT(-1));

    WindowObject* form = NewForm(applet, "main");
    DestroyJournal journal;
    journal.Watch(form, 'F');
    CHECK(form->IsMainWindow());
    CHECK_FALSE(applet->IsMainWindow());
    form->SetVisible(true);
    HWND h = form->GetWindowHandle();
    DrainQueue();

    // Minimizing the main form minimizes the applet instead.
    CHECK(SendMessageA(h, WM_SYSCOMMAND, SC_MINIMIZE, 0) == 0);
    DrainQueue();
    CHECK_FALSE(IsIconic(h));
    CHECK(IsIconic(a));

    // Closing the applet closes its main form, which ends the program.
    SendMessageA(a, WM_SYSCOMMAND, SC_CLOSE, 0);
    CHECK(IsWindow(h));
    CHECK(DrainQueue());
    CHECK_FALSE(IsWindow(h));
    CHECK(journal.order == "F");
    CHECK(IsWindow(a));
    Free(applet);
}

TEST_CASE("a window destroyed from outside takes its object and all it owns") {
    WindowObject* form = NewForm(nullptr, "outside");
    WindowObject* button = NewButton(form, "b");
    WindowObject* edit = NewEditBox(form, 0);
    Record* record = NewObject<Record>();
    AddToAutoFree(form, record);
    DestroyJournal journal;
    journal.Watch(form, 'F');
    journal.Watch(button, 'B');
    journal.Watch(edit, 'E');
    journal.Watch(record, 'R');
    form->SetVisible(true);
    HWND h = form->GetWindowHandle();
    HWND bh = button->Handle;
    REQUIRE(bh != nullptr);

    DestroyWindow(h);
    CHECK(journal.order == "FBER");
    CHECK_FALSE(IsWindow(h));
    CHECK_FALSE(IsWindow(bh));
    DrainQueue();
}

TEST_CASE("a WM_DESTROY hook that frees the form's owner, as the plug-in's does") {
    WindowObject* applet = NewApplet("pluginreal");
    applet->Hide();
    WindowObject* form = NewForm(applet, "Form1");
    form->SetHasBorder(false);
    form->SetClientSize(231, 89);
    form->SetStyle(WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN);
    form->AttachMessageHook(FreeOwnerOnDestroy);
    OwnerToFree = applet;
    DestroyJournal journal;
    journal.Watch(applet, 'A');
    journal.Watch(form, 'F');

    // The host's window, into which the form moves.
    HWND host = CreateWindowExA(0, "STATIC", "host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 40, 400,
                                300, nullptr, nullptr, nullptr, nullptr);
    REQUIRE(host != nullptr);
    HWND h = form->GetWindowHandle();
    SetParent(h, host);
    form->SetVisible(true);
    DrainQueue();

    DestroyWindow(host);
    CHECK(journal.order == "AF");
    CHECK(OwnerToFree == nullptr);
    CHECK_FALSE(IsWindow(h));
    DrainQueue();
}

TEST_CASE("hooks run last-attached first; a handled one stops the others") {
    Dialog d;
    d.form->AttachMessageHook(FirstHook);
    d.form->AttachMessageHook(SecondHook);
    d.form->AttachMessageHook(FirstHook); // already there: not attached twice
    HookOrder.clear();
    SendMessageA(d.form->Handle, WM_APP, 0, 0);
    CHECK(HookOrder == "21");
    HookOrder.clear();
    CHECK(SendMessageA(d.form->Handle, WM_APP, 1, 0) == 42);
    CHECK(HookOrder == "2");

    // While a WM_QUIT has been taken, no hook runs.
    QuitReceived = true;
    HookOrder.clear();
    SendMessageA(d.form->Handle, WM_APP, 0, 0);
    CHECK(HookOrder == "");
    QuitReceived = false;
}

TEST_CASE("an object lives until its message has finished") {
    DestroyJournal journal;
    JournalSeen = &journal.order;

    SUBCASE("when a hook frees its last reference") {
        WindowObject* form = NewForm(nullptr, "freed in hook");
        journal.Watch(form, 'F');
        form->AttachMessageHook(FreeInHook);
        HWND h = form->GetWindowHandle();
        CHECK(SendMessageA(h, WM_APP + 1, 0, 0) == 7);
        CHECK(journal.order == "F");
        CHECK_FALSE(IsWindow(h));
    }
    SUBCASE("when a hook destroys it directly") {
        WindowObject* form = NewForm(nullptr, "destroyed in hook");
        journal.Watch(form, 'F');
        form->AttachMessageHook(DestroyInHook);
        HWND h = form->GetWindowHandle();
        SeenInsideHook = "?";
        SendMessageA(h, WM_APP + 2, 0, 0);
        CHECK(SeenInsideHook == "");
        CHECK(journal.order == "F");
        CHECK_FALSE(IsWindow(h));
    }
    SUBCASE("when a button's click frees its form") {
        WindowObject* form = NewForm(nullptr, "freed by click");
        WindowObject* button = NewButton(form, "bye");
        journal.Watch(form, 'F');
        journal.Watch(button, 'B');
        form->SetVisible(true);
        HWND h = form->GetWindowHandle();
        button->OnClick.Set(
            [](void* context, BaseObject*) { Free(static_cast<WindowObject*>(context)); }, form);
        SendMessageA(button->Handle, BM_CLICK, 0, 0);
        DrainQueue();
        CHECK(journal.order == "FB");
        CHECK_FALSE(IsWindow(h));
    }
    JournalSeen = nullptr;
    DrainQueue();
}

TEST_CASE("WM_NCDESTROY is answered 0") {
    WindowObject* form = NewForm(nullptr, "ncdestroy");
    WindowObject* edit = NewEditBox(form, 0);
    form->SetVisible(true);
    form->GetWindowHandle();
    // The edit box first: its form's destruction would take it along.
    for (WindowObject* w : {edit, form}) {
        CAPTURE(w->ClassName);
        HWND h = w->GetWindowHandle();
        Wrapped = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrA(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(Spy)));
        NcDestroyAnswer = -1;
        DestroyWindow(h);
        CHECK(NcDestroyAnswer == 0);
    }
    DrainQueue();
}

TEST_CASE("ProcessMessages takes WM_QUIT without dispatching it; WM_NULL ends a run") {
    Dialog d;
    d.form->AttachMessageHook(CountApp);
    AppMessages = 0;
    CHECK_FALSE(ProcessMessage(nullptr)); // empty queue: at once

    PostMessageA(d.form->Handle, WM_APP + 5, 0, 0);
    PostMessageA(d.form->Handle, WM_NULL, 0, 0);
    PostMessageA(d.form->Handle, WM_APP + 5, 0, 0);
    ProcessMessages(d.form);
    CHECK(AppMessages == 1);
    ProcessMessages(d.form);
    CHECK(AppMessages == 2);

    QuitReceived = false;
    PostQuitMessage(3);
    PostMessageA(d.form->Handle, WM_APP + 5, 0, 0);
    ProcessMessages(d.form);
    CHECK(QuitReceived);
    CHECK(QuitExitCode == 3);
    CHECK(AppMessages == 3);
    MSG m;
    CHECK_FALSE(PeekMessageA(&m, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE));
    QuitReceived = false;

    // The window's MessageFilter sees messages first and may keep them.
    d.form->MessageFilter = FilterAll;
    PostMessageA(d.form->Handle, WM_APP + 5, 0, 0);
    ProcessMessages(d.form);
    CHECK(AppMessages == 3);
    d.form->MessageFilter = nullptr;
}

TEST_CASE("a WM_QUIT ends the run that takes it, and the messages behind it keep their hooks") {
    Dialog d;
    d.form->AttachMessageHook(CountPaint);
    Paints = 0;
    // The system hands out WM_PAINT only after WM_QUIT, so it is behind it.
    InvalidateRect(d.form->Handle, nullptr, FALSE);
    QuitReceived = false;
    PostQuitMessage(4);
    ProcessMessages(d.form);
    CHECK(QuitReceived);
    CHECK(QuitExitCode == 4);
    CHECK(Paints == 0);
    // The owner of the loop hands the quit on and carries on; nothing queued
    // was dispatched past the hooks meanwhile.
    QuitReceived = false;
    ProcessMessages(d.form);
    CHECK(Paints == 1);
}

TEST_CASE("minimizing a top-level form without an Applet minimizes the form") {
    REQUIRE(Applet == nullptr);
    WindowObject* form = NewForm(nullptr, "alone");
    form->SetVisible(true);
    HWND h = form->GetWindowHandle();
    DrainQueue();
    CHECK(form->IsMainWindow());
    SendMessageA(h, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    DrainQueue();
    CHECK(IsIconic(h));
    Free(form);
    DrainQueue();
}

TEST_CASE("WM_CLOSE on a hidden applet ends it; OnDestroy comes before anything owned goes") {
    // As the plug-in has them: the Applet of the library, and a hidden applet
    // of its own whose form lives as a child in a window of the host. Whoever
    // walks the process's top-level windows may close that applet.
    WindowObject* library = NewApplet("vekplug");
    Applet = library;
    WindowObject* applet = NewApplet("pluginreal");
    applet->Hide();
    WindowObject* form = NewForm(applet, "Form1");
    form->SetStyle(WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN);
    Record* record = NewObject<Record>();
    AddToAutoFree(form, record);
    DestroyJournal journal;
    journal.Watch(applet, 'A');
    journal.Watch(record, 'R');
    EndWatch end{&journal, "", false};
    form->OnDestroy.Set(NoteEnd, &end);
    HWND host = CreateWindowExA(0, "STATIC", "host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 40, 400,
                                300, nullptr, nullptr, nullptr, nullptr);
    REQUIRE(host != nullptr);
    HWND a = applet->GetWindowHandle();
    HWND f = form->GetWindowHandle();
    REQUIRE(f != nullptr);
    SetParent(f, host);
    form->SetVisible(true);
    DrainQueue();

    SendMessageA(a, WM_CLOSE, 0, 0);
    CHECK_FALSE(IsWindow(a));
    CHECK_FALSE(IsWindow(f));
    CHECK(journal.order == "AR");
    // The form's end was seen with its record and its window still there.
    CHECK(end.seenAtEnd == "A");
    CHECK(end.windowAlive);
    CHECK_FALSE(DrainQueue());
    DestroyWindow(host);
    Free(library);
    CHECK(Applet == nullptr);
}

TEST_CASE("a held object outlives its window, gets no new one, and ends when destroyed") {
    WindowObject* form = NewForm(nullptr, "held");
    WindowObject* edit = NewEditBox(form, 0);
    DestroyJournal journal;
    journal.Watch(form, 'F');
    journal.Watch(edit, 'E');
    form->SetVisible(true);
    HWND h = form->GetWindowHandle();
    REQUIRE(edit->GetWindowHandle() != nullptr);
    AddRef(form);
    DestroyWindow(h);
    CHECK_FALSE(IsWindow(h));
    // The edit box, which no one holds, went with its window.
    CHECK(journal.order == "E");
    CHECK(form->Life == Lifecycle::WindowGone);
    CHECK(form->Handle == nullptr);
    CHECK(form->GetWindowHandle() == nullptr);
    form->SetText("still held"); // no window to send it to
    form->Destroy();
    CHECK(journal.order == "EF");
    DrainQueue();
}

TEST_CASE("an OnDestroy that frees the object's owner, whichever of the two goes first") {
    for (bool fromOutside : {true, false}) {
        CAPTURE(fromOutside);
        WindowObject* applet = NewApplet("pluginreal");
        applet->Hide();
        WindowObject* form = NewForm(applet, "Form1");
        Record* record = NewObject<Record>();
        AddToAutoFree(form, record);
        DestroyJournal journal;
        journal.Watch(applet, 'A');
        journal.Watch(record, 'R');
        OwnerToFree = applet;
        form->OnDestroy.Set([](void*, BaseObject*) { FreeAndNil(OwnerToFree); }, nullptr);
        form->SetVisible(true);
        HWND f = form->GetWindowHandle();
        HWND a = applet->GetWindowHandle();
        if (fromOutside)
            DestroyWindow(f); // the form ends with its window and takes its owner along
        else
            Free(applet); // the owner ends first and takes the form along
        CHECK(OwnerToFree == nullptr);
        CHECK(journal.order == "AR");
        CHECK_FALSE(IsWindow(f));
        CHECK_FALSE(IsWindow(a));
        DrainQueue();
    }
}
