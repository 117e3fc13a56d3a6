// The settings dialog: Form2 with an edit box and the buttons "OK" and
// "Cansel", run modally on the host's thread. It changes no setting.
#include "plugin/Unit2.h"

#include "framework/BaseObject.h"
#include "framework/Dpi.h"
#include "framework/MessageLoop.h"
#include "framework/WindowObject.h"
#include "plugin/PluginAPI.h"

struct SettingsDialog : BaseObject {
    WindowObject* Form2 = nullptr;
    WindowObject* OkButton = nullptr;
    WindowObject* CanselButton = nullptr;
    WindowObject* EditBox = nullptr;
    // The controls' font; it goes with the dialog.
    FontHandle Font;
};

namespace {

void Answer(SettingsDialog* dialog, int result) {
    dialog->Form2->ModalResult = result;
    dialog->Form2->SetVisible(false);
    dialog->Form2->SetEnabled(false);
}

// The two buttons are the only way out. Without the Close item in its system
// menu Windows refuses Alt+F4 and the close box, but a WM_CLOSE still comes
// from a posted SC_CLOSE (and wine sends one for Alt+F4): refuse it here too.
bool RefuseClose(WindowObject*, MSG& message, LRESULT& result) {
    if (message.message != WM_CLOSE) return false;
    result = 0;
    return true;
}

void OnOk(void* context, BaseObject*) {
    Answer(static_cast<SettingsDialog*>(context), 10);
}
void OnCansel(void* context, BaseObject*) {
    Answer(static_cast<SettingsDialog*>(context), 20);
}

// Places a control given in pixels at 96 DPI, at dpi.
void Place(WindowObject* control, int left, int top, int width, int height, int dpi) {
    int x = ScaleToDpi(left, dpi), y = ScaleToDpi(top, dpi);
    control->SetBoundsRect({x, y, x + ScaleToDpi(width, dpi), y + ScaleToDpi(height, dpi)});
}

SettingsDialog* BuildDialog(WindowObject* applet) {
    auto* d = NewObject<SettingsDialog>();
    Library.Dialog = d;
    WindowObject* form = NewForm(applet, Text("Form2"));
    d->Form2 = form;
    form->SetPosition(256, 158);
    AddToAutoFree(form, d);
    form->Hide();
    form->SetStyle(form->Style & ~DWORD(WS_MINIMIZEBOX | WS_MAXIMIZEBOX));
    // Laid out for 96 DPI and scaled, with the font, to the screen the dialog
    // is shown on: a DPI-aware host at 150% would clip the captions otherwise.
    int dpi = WindowDpi(form->GetWindowHandle());
    form->SetClientSize(ScaleToDpi(176, dpi), ScaleToDpi(130, dpi));
    form->SetStayOnTop(true);
    // Without the Close item the close box and Alt+F4 do nothing: the two
    // buttons are the only way out.
    DeleteMenu(GetSystemMenu(form->GetWindowHandle(), FALSE), SC_CLOSE, MF_BYCOMMAND);
    d->OkButton = NewButton(form, Text("OK"));
    Place(d->OkButton, 24, 88, 64, 22, dpi);
    d->CanselButton = NewButton(form, Text("Cansel"));
    Place(d->CanselButton, 104, 88, 64, 22, dpi);
    d->EditBox = NewEditBox(form, 0);
    Place(d->EditBox, 40, 48, 100, 22, dpi);
    d->EditBox->SetUnicodeFormat(true);
    d->EditBox->SetText(Text("EditBox1"));
    d->Font = NewMessageFont(dpi);
    WindowObject* controls[] = {d->OkButton, d->CanselButton, d->EditBox};
    for (WindowObject* control : controls)
        control->Perform(WM_SETFONT, reinterpret_cast<WPARAM>(d->Font.Get()), FALSE);
    d->OkButton->OnClick.Set(OnOk, d);
    d->CanselButton->OnClick.Set(OnCansel, d);
    d->EditBox->SetColor(ColorWindow);
    form->AttachMessageHook(RefuseClose);
    return d;
}

} // namespace

std::int32_t RunSettingsDialog() {
    // A call from a host handler that runs during the wait leaves the running
    // dialog alone.
    if (Library.Dialog) return 0;
    HoldModule();
    WindowObject* applet = NewApplet(Text("formset"));
    Library.DialogApplet = applet;
    applet->Hide();
    WindowObject* form = BuildDialog(applet)->Form2;
    form->SetVisible(true);
    form->SetEnabled(true);
    // Both held, so that a window destroyed from outside (the host tearing
    // down its windows, or the applet closed) ends the wait instead of
    // freeing Form2 under it. Form2 alone is not enough: the applet's end
    // releases the Form2 it owns, using up that hold, and a click still in
    // hand on Form2 (a host's loop inside it may close the applet) then frees
    // Form2 as it finishes.
    AddRef(applet);
    AddRef(form);
    // One message at a time, so that the answer ends the wait at once even
    // while the host keeps its queue full. A WM_QUIT ends the wait too.
    auto waiting = [form] {
        return form->ModalResult == 0 && !QuitReceived && form->Life == Lifecycle::Live;
    };
    {
        ModalLend lend;
        while (waiting())
            if (!ProcessMessage(form) && waiting()) WaitForMessage();
    }
    // The quit is noted for the wait alone: the host may dispatch its queue
    // while Form2 goes (its WM_ACTIVATE comes then), and Form1's hooks must
    // run. The quit goes back to the host's loop when Interface returns.
    bool quit = TakeQuit();
    form->Destroy();
    Library.Dialog = nullptr;
    Library.DialogApplet = nullptr;
    applet->Destroy();
    if (quit) HandBackQuit();
    return 0;
}
