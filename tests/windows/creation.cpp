// Window objects on real windows: lazy creation, classes, style words, sizes,
// placement, parents, icons and the style setters, as Win32 reports them.
#include <doctest/doctest.h>

#include "WindowTests.h"

namespace {

// Counts the messages of one kind that reach a window through its hooks.
UINT CountedMessage = 0;
int CountedTimes = 0;
bool CountMessage(WindowObject*, MSG& m, LRESULT&) {
    if (m.message == CountedMessage) ++CountedTimes;
    return false;
}

UINT SystemClassStyle(const char* name) {
    WNDCLASSA wc = {};
    GetClassInfoA(nullptr, name, &wc);
    return wc.style;
}

} // namespace

// Runs first: the control IDs are numbered process-wide.
TEST_CASE("the first command controls of the process get IDs 0x8000, 0x8001 and tab orders") {
    WindowObject* form = NewForm(nullptr, "ids");
    WindowObject* first = NewButton(form, "A");
    WindowObject* second = NewButton(form, "B");
    CHECK(first->ControlId == 0x8000);
    CHECK(second->ControlId == 0x8001);
    CHECK(first->TabOrder == 1);
    CHECK(second->TabOrder == 2);
    CHECK(first->TabStop);
    CHECK(form->FocusedControl == first);
    CHECK(form->ControlId == 0);
    // The ID reaches Win32 as the child window ID.
    CHECK(GetDlgCtrlID(second->GetWindowHandle()) == 0x8001);
    Free(form);
}

TEST_CASE("a window object creates its window only when its handle is needed") {
    WindowObject* form = NewForm(nullptr, "Lazy");
    CHECK(form->Handle == nullptr);
    form->SetPosition(120, 80);
    form->SetText("Lazy form");
    CHECK(form->Handle == nullptr);
    HWND h = form->GetWindowHandle();
    REQUIRE(h != nullptr);
    CHECK(form->Handle == h);
    CHECK(GetWindowLongPtrA(h, GWLP_USERDATA) == reinterpret_cast<LONG_PTR>(form));
    CHECK(WindowText(h) == "Lazy form");
    // Never shown or hidden by the program: created hidden, to be shown later.
    CHECK_FALSE(IsWindowVisible(h));
    CHECK(form->ShowPending);
    CHECK(form->GetWindowHandle() == h);
    Free(form);
}

TEST_CASE("each kind registers its class, style words and size") {
    WindowObject* applet = NewApplet("app");
    WindowObject* form = NewForm(applet, "form");
    WindowObject* button = NewButton(form, "OK");
    WindowObject* edit = NewEditBox(form, 0);
    WindowObject* memo = NewEditBox(form, EditOption::MultiLine);
    for (WindowObject* w : {applet, form, button, edit, memo})
        w->SetVisible(true);

    struct Row {
        const char* name;
        WindowObject* w;
        const char* className;
        DWORD style;
        DWORD exStyle;
        DWORD win32Style; // Win32 adds WS_CLIPSIBLINGS to every top-level window
        UINT classStyle;
        int width, height; // 0: not fixed
    } rows[] = {
        {"applet", applet, "obj_App", 0x90CA0000, WS_EX_APPWINDOW, 0x94CA0000, 0, 0, 0},
        {"form", form, "obj_Form", 0x16CF0000, WS_EX_CONTROLPARENT, 0x16CF0000, CS_DBLCLKS, 0, 0},
        {"button", button, "obj_BUTTON", 0x56015000, WS_EX_CONTROLPARENT, 0x56015000,
         SystemClassStyle("BUTTON") & 0xFFFFBF1F, 64, 22},
        {"edit", edit, "obj_EDIT", 0x560100C0, WS_EX_CONTROLPARENT | WS_EX_CLIENTEDGE, 0x560100C0,
         SystemClassStyle("EDIT") & 0xFFFFBF1F, 100, 22},
        {"multi-line edit", memo, "obj_EDIT", 0x563100C4, WS_EX_CONTROLPARENT | WS_EX_CLIENTEDGE,
         0x563100C4, SystemClassStyle("EDIT") & 0xFFFFBF1F, 200, 200},
    };
    for (const Row& row : rows) {
        CAPTURE(row.name);
        CHECK(row.w->Style == row.style);
        CHECK(row.w->ExStyle == row.exStyle);
        HWND h = row.w->GetWindowHandle();
        REQUIRE(h != nullptr);
        CHECK(ClassOf(h) == row.className);
        CHECK(StyleOf(h) == row.win32Style);
        // Win32 adds WS_EX_WINDOWEDGE to framed windows by itself.
        CHECK((ExStyleOf(h) & ~DWORD(WS_EX_WINDOWEDGE)) == row.exStyle);
        CHECK(GetClassLongA(h, GCL_STYLE) == row.classStyle);
        if (row.width) {
            CHECK(OuterSize(h).cx == row.width);
            CHECK(OuterSize(h).cy == row.height);
            CHECK(PlaceInParent(h).x == 2);
            CHECK(PlaceInParent(h).y == 2);
            CHECK(GetParent(h) == form->Handle);
        }
    }
    // Superclassing keeps the system control's behaviour.
    CHECK(reinterpret_cast<void*>(button->DefaultProc) != nullptr);
    CHECK(reinterpret_cast<void*>(form->DefaultProc) == nullptr);
    CHECK(SendMessageA(edit->Handle, EM_GETLIMITTEXT, 0, 0) > 0);
    CHECK(WindowText(button->Handle) == "OK");
    CHECK(WindowText(edit->Handle) == "");
    Free(applet);
}

TEST_CASE("EditOptions map to style bits") {
    struct Row {
        EditOptions options;
        DWORD style;
    } rows[] = {
        {0, 0x508100C0},
        {EditOption::NoHorzScroll, 0x50810040},
        {EditOption::NoVertScroll, 0x50810080},
        {EditOption::MultiLine, 0x50B100C4},
        {EditOption::MultiLine | EditOption::NoHorzScroll | EditOption::NoVertScroll, 0x50810004},
        {EditOption::Password | EditOption::ReadOnly, 0x508108E0},
        {EditOption::LowerCase | EditOption::UpperCase | EditOption::Number, 0x508120D8},
        {EditOption::NoHideSel | EditOption::OemConvert | EditOption::WantReturn, 0x508115C0},
        {EditOption::WordWrap, 0x508100C0},
    };
    for (const Row& row : rows) {
        CAPTURE(row.options);
        CHECK(EditStyle(row.options) == row.style);
    }
}

TEST_CASE("a button made before its form's window gets its window with the form") {
    WindowObject* form = NewForm(nullptr, "before");
    WindowObject* button = NewButton(form, "early");
    CHECK(button->Handle == nullptr);
    form->SetVisible(true);
    HWND h = form->GetWindowHandle();
    REQUIRE(button->Handle != nullptr);
    CHECK(GetParent(button->Handle) == h);
    CHECK(IsWindowVisible(button->Handle));
    Free(form);
}

TEST_CASE("a button made after its form's window waits for the form's erase or focus") {
    WindowObject* form = NewForm(nullptr, "after");
    form->SetVisible(true);
    HWND h = form->GetWindowHandle();
    REQUIRE(h != nullptr);
    DrainQueue();

    SUBCASE("until the form erases its background") {
        WindowObject* button = NewButton(form, "late");
        DrainQueue();
        CHECK(button->Handle == nullptr);
        PaintNow(h);
        REQUIRE(button->Handle != nullptr);
        CHECK(GetParent(button->Handle) == h);
        CHECK(IsWindowVisible(button->Handle));
    }
    SUBCASE("until the form takes the focus") {
        WindowObject* button = NewButton(form, "late");
        CHECK(button->Handle == nullptr);
        SendMessageA(h, WM_SETFOCUS, 0, 0);
        REQUIRE(button->Handle != nullptr);
        CHECK(GetParent(button->Handle) == h);
    }
    SUBCASE("until an operation needs its handle") {
        WindowObject* button = NewButton(form, "late");
        CHECK(button->Handle == nullptr);
        button->SetPosition(10, 40);
        CHECK(button->Handle == nullptr);
        HWND b = button->GetWindowHandle();
        REQUIRE(b != nullptr);
        CHECK(PlaceInParent(b).x == 10);
        CHECK(PlaceInParent(b).y == 40);
        // Not shown or hidden by the program: hidden until the form shows it.
        CHECK_FALSE(IsWindowVisible(b));
        PaintNow(h);
        CHECK(IsWindowVisible(b));
    }
    Free(form);
}

TEST_CASE("SetColor and SetUnicodeFormat create a control hidden; the form shows it") {
    WindowObject* form = NewForm(nullptr, "colour");
    form->SetVisible(true);
    HWND h = form->GetWindowHandle();
    WindowObject* edit = NewEditBox(form, 0);
    WindowObject* other = NewEditBox(form, 0);
    edit->SetColor(ColorWindow);
    CHECK(other->SetUnicodeFormat(true) == other);
    for (WindowObject* w : {edit, other}) {
        REQUIRE(w->Handle != nullptr);
        CHECK_FALSE((StyleOf(w->Handle) & WS_VISIBLE));
        CHECK(w->ShowPending);
    }
    CHECK(edit->Color == ColorWindow);
    PaintNow(h);
    for (WindowObject* w : {edit, other}) {
        CHECK(IsWindowVisible(w->Handle));
        CHECK_FALSE(w->ShowPending);
    }
    Free(form);
}

TEST_CASE("a top-level window without SetPosition is placed by the system") {
    // CW_USEDEFAULT reaches CreateWindowExA: a window placed at 0,0 of the
    // screen would show that it did not.
    WindowObject* placed = NewForm(nullptr, "placed");
    placed->SetPosition(300, 200);
    placed->SetVisible(true);
    RECT r;
    GetWindowRect(placed->GetWindowHandle(), &r);
    CHECK(r.left == 300);
    CHECK(r.top == 200);
    CHECK(placed->PositionSet == 3);

    WindowObject* unplaced = NewForm(nullptr, "unplaced");
    CHECK(unplaced->PositionSet == 0);
    unplaced->SetVisible(true);
    HWND h = unplaced->GetWindowHandle();
    REQUIRE(h != nullptr);
    // CW_USEDEFAULT also gives the window a size; 0 x 0 would stay 0 x 0.
    CHECK(OuterSize(h).cx > 0);
    CHECK(OuterSize(h).cy > 0);
    Free(placed);
    Free(unplaced);
}

TEST_CASE("SetPosition and SetStyle send nothing when nothing changes") {
    WindowObject* form = NewForm(nullptr, "quiet");
    form->SetPosition(50, 60);
    form->SetVisible(true);
    HWND h = form->GetWindowHandle();
    form->AttachMessageHook(CountMessage);

    CountedMessage = WM_WINDOWPOSCHANGING;
    CountedTimes = 0;
    form->PositionSet = 0;
    form->SetPosition(50, 60);
    CHECK(CountedTimes == 0);
    CHECK(form->PositionSet == 0);
    form->SetPosition(70, 60);
    CHECK(CountedTimes > 0);
    CHECK(form->PositionSet == 1);

    CountedMessage = WM_STYLECHANGING;
    CountedTimes = 0;
    form->SetStyle(form->Style);
    CHECK(CountedTimes == 0);
    form->SetStyle(form->Style & ~DWORD(WS_MAXIMIZEBOX));
    CHECK(CountedTimes == 1);
    CHECK(StyleOf(h) == form->Style);
    Free(form);
}

TEST_CASE("SetHasBorder(false) leaves a popup without frame; SetClientSize adds the frame") {
    WindowObject* form = NewForm(nullptr, "border");
    form->SetHasBorder(false);
    CHECK(form->Style == 0x96000000);
    CHECK(form->ExStyle == 0);
    form->SetClientSize(231, 89);
    HWND h = form->Handle;
    REQUIRE(h != nullptr);
    CHECK(OuterSize(h).cx == 231);
    CHECK(OuterSize(h).cy == 89);
    // Created hidden (never shown by the program), otherwise unchanged.
    CHECK(StyleOf(h) == 0x86000000);

    WindowObject* framed = NewForm(nullptr, "framed");
    framed->SetClientSize(176, 130);
    REQUIRE(framed->Handle != nullptr);
    CHECK(ClientSize(framed->Handle).cx == 176);
    CHECK(ClientSize(framed->Handle).cy == 130);
    CHECK(OuterSize(framed->Handle).cx > 176);
    // A side <= 0 stays as it is.
    framed->SetClientSize(0, 100);
    CHECK(ClientSize(framed->Handle).cx == 176);
    CHECK(ClientSize(framed->Handle).cy == 100);

    // Borders come back, as a frame for top-level windows and an edge for edit boxes.
    framed->SetHasBorder(false);
    CHECK_FALSE((StyleOf(framed->Handle) & WS_CAPTION));
    framed->SetHasBorder(true);
    CHECK((StyleOf(framed->Handle) & 0x00CF0000) == 0x00CF0000);
    WindowObject* edit = NewEditBox(framed, 0);
    edit->SetHasBorder(false);
    CHECK_FALSE((edit->ExStyle & WS_EX_CLIENTEDGE));
    CHECK((edit->Style & WS_TABSTOP));
    edit->SetHasBorder(true);
    CHECK((edit->ExStyle & WS_EX_CLIENTEDGE));
    CHECK_FALSE((edit->Style & WS_BORDER));
    Free(form);
    Free(framed);
}

TEST_CASE("SetStayOnTop, SetEnabled and SetVisible reach the window") {
    WindowObject* form = NewForm(nullptr, "flags");
    form->SetStayOnTop(true);
    CHECK((form->ExStyle & WS_EX_TOPMOST));
    form->SetVisible(true);
    HWND h = form->GetWindowHandle();
    CHECK((ExStyleOf(h) & WS_EX_TOPMOST));
    form->SetStayOnTop(false);
    CHECK_FALSE((ExStyleOf(h) & WS_EX_TOPMOST));
    CHECK_FALSE((form->ExStyle & WS_EX_TOPMOST));

    form->SetEnabled(false);
    CHECK_FALSE(IsWindowEnabled(h));
    CHECK((form->Style & WS_DISABLED));
    form->SetEnabled(true);
    CHECK(IsWindowEnabled(h));

    CHECK(IsWindowVisible(h));
    form->Hide();
    CHECK_FALSE(IsWindowVisible(h));
    CHECK_FALSE(form->Visible);
    form->SetVisible(true);
    CHECK(IsWindowVisible(h));
    Free(form);
}

TEST_CASE("ChangeParent moves a control between owners and windows") {
    WindowObject* a = NewForm(nullptr, "a");
    WindowObject* b = NewForm(nullptr, "b");
    WindowObject* button = NewButton(a, "moving");
    HWND bh = button->GetWindowHandle();
    REQUIRE(bh != nullptr);
    CHECK(GetParent(bh) == a->Handle);
    CHECK(a->FocusedControl == button);
    button->ChangeParent(b);
    // The old form must not keep naming a control it no longer holds.
    CHECK(a->FocusedControl == nullptr);
    CHECK(a->Children->Count == 0);
    CHECK(b->Children->GetAs<WindowObject>(0) == button);
    CHECK(GetParent(bh) == b->GetWindowHandle());
    DestroyJournal journal;
    journal.Watch(button, 'B');
    Free(a);
    CHECK(journal.order == "");
    CHECK(IsWindow(bh));
    Free(b);
    CHECK(journal.order == "B");
    CHECK_FALSE(IsWindow(bh));
}

TEST_CASE("icons: the applet loads MAINICON, other windows take a copy") {
    WindowObject* saved = Applet;
    WindowObject* applet = NewApplet("icons");
    Applet = applet;
    HICON appletIcon = applet->GetIcon();
    CHECK(appletIcon != nullptr);
    CHECK(appletIcon == LoadIconA(ModuleInstance(), "MAINICON"));
    WindowObject* form = NewForm(applet, "with icon");
    HWND h = form->GetWindowHandle();
    HICON formIcon = reinterpret_cast<HICON>(SendMessageA(h, WM_GETICON, ICON_BIG, 0));
    CHECK(formIcon != nullptr);
    CHECK(formIcon != appletIcon);
    CHECK(formIcon == form->Icon);

    WindowObject* bare = NewForm(nullptr, "no icon");
    bare->Icon = reinterpret_cast<HICON>(-1);
    CHECK(bare->GetIcon() == nullptr);
    Free(bare);
    Free(applet);
    Applet = saved;
}

TEST_CASE("the background brush is shared with the ancestors of the same colour") {
    WindowObject* form = NewForm(nullptr, "brush");
    WindowObject* button = NewButton(form, "same");
    WindowObject* edit = NewEditBox(form, 0);
    HBRUSH formBrush = form->GetBackgroundBrush();
    CHECK(formBrush != nullptr);
    CHECK(button->GetBackgroundBrush() == formBrush);
    CHECK(form->BrushColor == GetSysColor(COLOR_BTNFACE));
    edit->SetColor(0x0000FF00);
    HBRUSH editBrush = edit->GetBackgroundBrush();
    CHECK(editBrush != formBrush);
    CHECK(edit->BrushColor == 0x0000FF00);
    // An unchanged colour keeps the cached brush.
    edit->SetColor(0x0000FF00);
    CHECK(edit->GetBackgroundBrush() == editBrush);
    Free(form);
}

TEST_CASE("a failed CreateWindowExA leaves no object waiting to bind the next window") {
    WindowObject* form = NewForm(nullptr, "orphaned parent");
    HWND dead = form->GetWindowHandle();
    // Let the window die behind the object's back: the object keeps a handle
    // that no longer names a window, so the child's CreateWindowExA fails.
    SetWindowLongPtrA(dead, GWLP_USERDATA, 0);
    DestroyWindow(dead);
    REQUIRE_FALSE(IsWindow(dead));
    WindowObject* child = NewButton(form, "never");
    child->SetVisible(true);
    CHECK(child->GetWindowHandle() == nullptr);
    CHECK(CreatingObject == nullptr);

    // Windows that reach the window procedure unbound (here: a form being torn
    // down) must not be taken for the failed child.
    WindowObject* other = NewForm(nullptr, "other");
    HWND otherHandle = other->GetWindowHandle();
    CHECK(GetWindowLongPtrA(otherHandle, GWLP_USERDATA) == reinterpret_cast<LONG_PTR>(other));
    Free(other);
    CHECK(child->Handle == nullptr);
    form->Handle = nullptr;
    Free(form);
}
