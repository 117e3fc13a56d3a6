// The component: Form1 inside the host's window, the serial port, the two
// timers, the host notification (a tagged text in the mailbox, then a posted
// click), and the serial exports.
//
// Threads, and how work passes between them:
// - The host's GUI thread runs every export and Form1's window procedure. It
//   alone reads and writes the text mailbox, opens, closes, configures,
//   reads and writes the port, moves Form1 and posts the clicks.
// - The multimedia timer thread runs the two OnTimer handlers. Each only posts
//   a private message (StartupTickMessage, RelayTickMessage) to Form1's
//   window; the tick's work runs when the host dispatches it. So a relay can
//   never read a port that Close is closing, and GetFile's pointer stays
//   valid until the host calls an export or dispatches messages again.
// - The port's event thread runs OnRxChar, which arms RelayTimer (Timer may
//   be switched from several threads), and OnError for line errors, which
//   posts ErrorMessage to Form1's window.
// PortComponent::Window is stored before either timer or the port can run
// and is never read after both timers are stopped and the port is closed.
#include "plugin/Unit1.h"

#include "comport/ComPort.h"
#include "framework/BaseObject.h"
#include "framework/Timer.h"
#include "framework/WindowObject.h"
#include "plugin/PluginAPI.h"

// The component record: Form1 owns it and everything it refers to.
struct PortComponent : BaseObject {
    WindowObject* Form1 = nullptr;
    Timer* StartupTimer = nullptr;
    ComPort* Port = nullptr;
    Timer* RelayTimer = nullptr;
    HWND Window = nullptr;      // Form1's window, the target of the private messages
    bool DataPending = false;   // the mailbox holds a "str#" text the host has not fetched
    bool NoticePending = false; // ... or an open, close or error text it has not fetched
    bool RelayDeferred = false; // bytes left in the driver until the host fetches
};

namespace {

// Private messages to Form1's window.
constexpr UINT StartupTickMessage = WM_APP + 0x101;
constexpr UINT RelayTickMessage = WM_APP + 0x102;
constexpr UINT ErrorMessage = WM_APP + 0x103;

// A host that stops fetching must not make the process grow without limit:
// past this size the relay leaves further bytes in the driver until GetFile.
constexpr int MaxPendingData = 1 << 20;

const char OpenText[] = "sts#Open#";
const char CloseText[] = "sts#Close#";
// "err#" + "ошибка порта" in Windows-1251 + "#".
const char ErrorText[] = "err#\xEE\xF8\xE8\xE1\xEA\xE0 \xEF\xEE\xF0\xF2\xE0#";

const std::int32_t BaudRates[] = {0,     110,   300,   600,   1200,  2400,   4800,   9600,
                                  14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
const std::int32_t DataBits[] = {5, 6, 7, 8};
const std::int32_t StopBitCodes[] = {1, 2, 3};

// Once a component has been built the module stays loaded for the life of
// the process: windows, timers and the event thread run its code, and the
// host may call FreeLibrary at any time, even while the port is open. (An
// unload after the component's threads have run and a load again is also
// where wine's loader falls over on the module's TLS slot.)
void HoldModule() {
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCSTR>(&HoldModule), &self);
}

PortComponent* Component() {
    return Library.Component;
}

template <int N> int IndexOf(const std::int32_t (&table)[N], std::int32_t value, int first) {
    for (int i = first; i < N; ++i)
        if (table[i] == value) return i;
    return -1;
}

void NotifyHost() {
    const DrawRectangle& r = Library.DrawRect;
    LPARAM point = static_cast<LPARAM>((static_cast<DWORD>(r.Top) << 16) |
                                       (static_cast<DWORD>(r.Left) & 0xFFFF));
    PostMessageA(Library.HostWindow, WM_LBUTTONDOWN, MK_LBUTTON, point);
    PostMessageA(Library.HostWindow, WM_LBUTTONUP, 0, point);
}

void Notify(const char* text) {
    SetTextMailbox(Text(text));
    if (Library.Component) Library.Component->NoticePending = true;
    NotifyHost();
}

// The relay, on the host's thread: everything waiting in the driver becomes
// one "str#" notification. While the previous one is still unfetched, the new
// bytes join it and no second click is posted, so nothing is lost or doubled.
// An unfetched open, close or error text is not overwritten: the bytes wait
// in the driver until the host has fetched it.
void Relay(PortComponent* c) {
    c->RelayTimer->SetEnabled(false);
    if (!c->Port->Connected) return;
    if (c->NoticePending || (c->DataPending && Library.TextMailbox.Length() >= MaxPendingData)) {
        c->RelayDeferred = true;
        return;
    }
    Text data;
    c->Port->ReadText(data, c->Port->InputCount());
    if (c->DataPending) {
        // In place: the closing "#" makes way for the new bytes and comes last.
        if (data.IsEmpty()) return;
        Text& box = Library.TextMailbox;
        box.SetLength(box.Length() - 1);
        box.Append(data);
        box.Append("#", 1);
        return;
    }
    SetTextMailbox(Text("str#") + data + Text("#"));
    c->DataPending = true;
    NotifyHost();
}

void StartupTick(PortComponent* c) {
    c->StartupTimer->SetEnabled(false);
    SetParent(c->Window, Library.HostWindow);
    c->Form1->SetVisible(true);
}

// The component ends with Form1's window. The port is closed first, which
// ends the event thread, and the timers stopped, so that no callback reaches
// the objects that the applet frees with Form1.
void EndComponent(PortComponent* c) {
    Library.Component = nullptr;
    c->Port->Close();
    c->RelayTimer->SetEnabled(false);
    c->StartupTimer->SetEnabled(false);
    FreeAndNil(Library.ComponentApplet);
}

bool Form1Hook(WindowObject* sender, MSG& message, LRESULT&) {
    PortComponent* c = Library.Component;
    if (!c || c->Form1 != sender) return false;
    switch (message.message) {
    case StartupTickMessage:
        StartupTick(c);
        return true;
    case RelayTickMessage:
        Relay(c);
        return true;
    case ErrorMessage:
        Notify(ErrorText);
        return true;
    case WM_DESTROY:
        EndComponent(c);
        return false; // default processing goes on
    }
    return false;
}

void PostToForm1(void* context, BaseObject*, UINT message) {
    PostMessageA(static_cast<PortComponent*>(context)->Window, message, 0, 0);
}

void OnStartupTimer(void* context, BaseObject* sender) {
    PostToForm1(context, sender, StartupTickMessage);
}
void OnRelayTimer(void* context, BaseObject* sender) {
    PostToForm1(context, sender, RelayTickMessage);
}
void OnRxChar(void* context, BaseObject*, std::int32_t) {
    static_cast<PortComponent*>(context)->RelayTimer->SetEnabled(true);
}
void OnAfterOpen(void*, BaseObject*) {
    Notify(OpenText);
}
void OnAfterClose(void*, BaseObject*) {
    Notify(CloseText);
}
// A failed open reports on the host's thread inside open; line errors and a
// vanished device report from the event thread and are handed over.
void OnError(void* context, BaseObject* sender) {
    auto* c = static_cast<PortComponent*>(context);
    if (GetWindowThreadProcessId(c->Window, nullptr) == GetCurrentThreadId())
        Notify(ErrorText);
    else
        PostToForm1(context, sender, ErrorMessage);
}
void OnForm1Close(void* context, BaseObject*, bool&) {
    static_cast<PortComponent*>(context)->Port->SetBaudRateIndex(2);
}

// The plug-in's port settings, stated in full although a fresh port has them.
void ConfigurePort(ComPort* port) {
    port->SetBaudRateIndex(7);
    port->SetPortName(Text("COM1"));
    port->SetDiscardNull(false);
    port->SetCustomBaudRate(9600);
    port->SetStopBitsIndex(0);
    port->SetDataBitsIndex(3);
    port->SetEventChar(0);
    port->SetSyncMethod(SyncThread);
    port->Events = ComEvents::All;
    port->Parity->SetBits(0);
    port->Parity->SetCheck(false);
    port->Parity->SetReplace(false);
    port->Parity->SetReplaceChar(0);
    port->Buffer->SetInputSize(16384);
    port->Buffer->SetOutputSize(1024);
    ComFlowControl* flow = port->FlowControl;
    flow->SetDtrControl(0);
    flow->SetRtsControl(0);
    flow->SetDsrSensitivity(false);
    flow->SetOutCtsFlow(false);
    flow->SetOutDsrFlow(false);
    flow->SetTxContinueOnXoff(false);
    flow->SetXoffChar(0x13);
    flow->SetXonChar(0x11);
    flow->SetInX(false);
    flow->SetOutX(false);
    ComTimeouts* t = port->Timeouts;
    t->SetReadInterval(MAXDWORD);
    t->SetReadTotalConstant(0);
    t->SetReadTotalMultiplier(0);
    t->SetWriteTotalConstant(1000);
    t->SetWriteTotalMultiplier(100);
}

void BuildComponent() {
    auto* c = NewObject<PortComponent>();
    Library.Component = c;
    WindowObject* form = NewForm(Library.ComponentApplet, Text("Form1"));
    c->Form1 = form;
    form->SetPosition(356, 171);
    AddToAutoFree(form, c);
    form->SetHasBorder(false);
    form->SetClientSize(231, 89);
    c->Window = form->GetWindowHandle();
    DeleteMenu(GetSystemMenu(c->Window, FALSE), SC_CLOSE, MF_BYCOMMAND);
    form->SetOnClose(OnForm1Close, c);

    c->StartupTimer = NewTimer(200);
    AddToAutoFree(form, c->StartupTimer);
    c->StartupTimer->OnTimer.Set(OnStartupTimer, c);

    c->Port = NewComPort();
    ConfigurePort(c->Port);
    AddToAutoFree(form, c->Port);
    c->Port->OnRxChar.Set(OnRxChar, c);
    c->Port->OnAfterOpen.Set(OnAfterOpen, c);
    c->Port->OnAfterClose.Set(OnAfterClose, c);
    c->Port->OnError.Set(OnError, c);

    c->RelayTimer = NewTimer(50);
    c->RelayTimer->Periodic = 0;
    AddToAutoFree(form, c->RelayTimer);
    c->RelayTimer->OnTimer.Set(OnRelayTimer, c);

    form->AttachMessageHook(Form1Hook);
}

} // namespace

void ComponentSetParentWindow(HWND window) {
    Library.HostWindow = window;
    const char* caption = GetParent(window) ? "pluginedit" : "pluginreal";
    if (Component()) return;
    HoldModule();
    Library.ComponentApplet = NewApplet(Text(caption));
    Library.ComponentApplet->Hide();
    BuildComponent();
    WindowObject* form = Library.Component->Form1;
    form->SetStyle(WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN);
    form->SetExStyle(WS_EX_CONTROLPARENT);
    form->Hide();
    Library.Component->StartupTimer->SetEnabled(true);
}

void ComponentDraw(std::int32_t left, std::int32_t top, std::int32_t width, std::int32_t height) {
    PortComponent* c = Component();
    if (!c) return;
    Library.DrawRect = {left, top, width, height};
    SetWindowPos(c->Window, HWND_BOTTOM, left, top, width, height, SWP_NOZORDER);
}

namespace {

// The mailbox is free again: bytes that a relay left in the driver go next.
void ResumeRelay(PortComponent* c) {
    c->DataPending = false;
    c->NoticePending = false;
    if (c->RelayDeferred) {
        c->RelayDeferred = false;
        c->RelayTimer->SetEnabled(true);
    }
}

} // namespace

void ComponentMailboxFetched() {
    if (PortComponent* c = Library.Component) ResumeRelay(c);
}

// The host's own writes (SetFile, getport) free the mailbox as a fetch does.
void SetTextMailbox(const Text& text) {
    Library.TextMailbox = text;
    if (PortComponent* c = Library.Component) ResumeRelay(c);
}

void SerialSetBaudRate() {
    PortComponent* c = Component();
    int i = IndexOf(BaudRates, Library.IntMailbox, 1);
    if (c && i > 0) c->Port->SetBaudRateIndex(std::uint8_t(i));
}

void SerialGetBaudRate() {
    PortComponent* c = Component();
    if (c && c->Port->BaudRateIndex >= 1 && c->Port->BaudRateIndex <= 15)
        Library.IntMailbox = BaudRates[c->Port->BaudRateIndex];
}

void SerialSetDataBits() {
    PortComponent* c = Component();
    int i = IndexOf(DataBits, Library.IntMailbox, 0);
    if (c && i >= 0) c->Port->SetDataBitsIndex(std::uint8_t(i));
}

void SerialGetDataBits() {
    PortComponent* c = Component();
    if (c && c->Port->DataBitsIndex < 4) Library.IntMailbox = DataBits[c->Port->DataBitsIndex];
}

void SerialSetStopBits() {
    PortComponent* c = Component();
    int i = IndexOf(StopBitCodes, Library.IntMailbox, 0);
    if (c && i >= 0) c->Port->SetStopBitsIndex(std::uint8_t(i));
}

void SerialGetStopBits() {
    PortComponent* c = Component();
    if (c && c->Port->StopBitsIndex < 3) Library.IntMailbox = StopBitCodes[c->Port->StopBitsIndex];
}

void SerialSendString() {
    if (PortComponent* c = Component()) c->Port->WriteText(Library.TextMailbox);
}

void SerialSetPort() {
    // A copy: the reopen's notifications replace the mailbox.
    if (PortComponent* c = Component()) c->Port->SetPortName(Text(Library.TextMailbox));
}

void SerialGetPort() {
    if (PortComponent* c = Component()) SetTextMailbox(c->Port->PortName);
}

void SerialOpen() {
    if (PortComponent* c = Component()) c->Port->Open();
}

void SerialClose() {
    if (PortComponent* c = Component()) c->Port->Close();
}
