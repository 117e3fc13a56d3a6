// The component: Form1 inside the host's window, the serial port, the timers,
// the relay and the serial exports. The port's link to its device is
// DeviceLink.cpp's; the notifications go through the mailbox (Mailbox.cpp).
//
// Threads, and how work passes between them:
// - The host's GUI thread runs every export (one called from another thread
//   is queued for it and runs where it takes messages outside any export,
//   see PluginAPI.cpp) and Form1's window procedure. It
//   alone reads and writes the text mailbox, opens, closes, configures,
//   reads and writes the port, moves Form1 and posts the clicks. sendstring
//   hands its write to a thread of the port's own and relays on this thread
//   until the write has completed.
// - The multimedia timer thread runs the two OnTimer handlers. Each only
//   hands a private message to Form1's window and never waits for it: the
//   relay tick disarms its one-shot timer and posts RelayTickMessage; the
//   start-up tick sends StartupTickMessage with SendNotifyMessage, since
//   until it has run Form1 is a top-level window whose posted messages a
//   host loop that takes only its own window's messages never dispatches,
//   while a message sent from another thread is served by every kind of
//   loop. The tick's work runs on the host's thread. So a relay can never
//   read a port that Close is closing, and GetFile's pointer stays valid
//   until the host calls an export or dispatches messages again.
// - The port's event thread runs OnRxChar, which arms RelayTimer (Timer may
//   be switched from several threads; the relay itself arms it again on the
//   host's thread after a failed count or read), OnError for line errors,
//   which sets ErrorRaised, and OnLinkFailure, which reports each failed
//   wait, and the first answer after them, to the link (ReportWaits); each
//   posts ErrorMessage to Form1's window. The host's thread takes them back
//   with an interlocked exchange, there, at a relay, at a host call, or when
//   the port closes or opens again, so that an error is told once, and never
//   after the close of the port that raised it. A port let go (Abandon)
//   calls no hook from then on.
// - The link's search thread and the teardown thread of a port let go: see
//   DeviceLink.h and ComPort.h. The host's thread never waits for either,
//   but where its open needs the port they may hold.
// Any posted message may be lost (a full queue, a host loop that throws a
// range away). Every host call and relay tick therefore asks again (Recover):
// the mailbox re-posts a click or wake, an error still raised is posted
// again, reports of the event and search threads are taken, and bytes
// waiting in the driver arm the relay. Each of these is
// harmless when nothing was lost.
// PortComponent::Window is stored before any timer or the port can run and
// is never read after the timers are stopped and the port is closed.
#include "plugin/Unit1.h"

#include "comport/ComDevice.h"
#include "comport/ComPort.h"
#include "framework/BaseObject.h"
#include "framework/Dpi.h"
#include "framework/OwnedHandle.h"
#include "framework/Timer.h"
#include "framework/WindowObject.h"
#include "plugin/Mailbox.h"
#include "plugin/PluginAPI.h"
#include "plugin/PortComponent.h"
#include "plugin/Trace.h"

namespace {

// The device layer of the ports that components build.
ComDevice* PortDevice = nullptr;

void PostToForm1(PortComponent* c, UINT message) {
    PostMessageA(c->Window, message, 0, 0);
}

// The relay's one-shot timer, armed from any thread (Timer may be switched
// from several): the next relay tick comes a relay interval on.
void ArmRelay(PortComponent* c) {
    c->RelayTimer->SetEnabled(true);
}

// Asks again for what a lost message may have left undone; see the top of
// the file. Changes neither the mailbox nor the port's state, unless a
// report of the event or search thread moves the link.
void Recover(PortComponent* c) {
    Mailbox::Recover();
    if (!c) return;
    if (c->ErrorRaised) PostToForm1(c, ErrorMessage);
    if (LinkConnected(c->Link) && c->Port->InputCount() > 0) ArmRelay(c);
    TakeReports(c);
}

// Recovers what a lost message may have left undone (re-posts, arms the
// relay) and returns the component of the moment: the start of a host call.
PortComponent* RecoverComponent() {
    ReleaseEndedHolds();
    Recover(Library.Component);
    return Library.Component;
}

// The host's value for a setting is looked up in the port's own table.
template <class T, int N> int IndexOf(const T (&table)[N], std::int32_t value, int first = 0) {
    for (int i = first; i < N; ++i)
        if (static_cast<std::int32_t>(table[i]) == value) return i;
    return -1;
}

// The host's stop-bit codes 1, 2 and 3 are the driver's values plus one.
std::int32_t StopBitCode(int index) {
    return StopBitsValues[index] + 1;
}

// The relay, on the host's thread: everything waiting in the driver becomes
// one "str#" notification, or joins the one the host has not fetched yet.
// While the mailbox holds a notice, or notices wait their turn, the bytes
// stay in the driver until the host has fetched; but the last relay before
// a close (closing) joins them to unfetched data whatever notices wait
// behind it, since the close would purge them (nothing unfetched: they go,
// as at any close).
void Relay(PortComponent* c, bool closing = false) {
    c->RelayTimer->SetEnabled(false);
    Mailbox::Recover();
    // An error whose message was lost goes before the bytes that came after it.
    TellRaisedError(c);
    TakeReports(c);
    auto accepts = [closing] {
        return closing ? Mailbox::DataUnfetched() : Mailbox::AcceptsData();
    };
    if (!LinkConnected(c->Link) || !accepts()) return;
    std::int32_t waiting = 0;
    bool failed = !c->Port->ReadInputCount(waiting);
    DWORD cause = failed ? c->Port->Device->GetLastError() : 0;
    // Bytes the driver dropped for want of room are told before the bytes
    // that came after them; those follow once the host has fetched.
    if (c->Port->TakeInputOverflow()) {
        Mailbox::Post(Notice::Error);
        if (!accepts()) return;
    }
    Text data;
    if (!failed && (c->Port->ReadText(data, waiting, &failed), failed))
        cause = c->Port->Device->GetLastError();
    // A tick can find nothing: bytes that arrived during the last relay were
    // read by it and armed this one. An empty text would tell the host
    // nothing, so none is posted.
    if (!data.IsEmpty()) Mailbox::PostData(data);
    if (!failed) {
        FeedLink(c, LinkEvent::Answered);
        return;
    }
    // The bytes may still wait in the driver, and no new arrival need come
    // to announce them: look again at the next tick, for as long as the
    // device fails; the link tells a failure that persists, once.
    FeedLink(c, LinkMeansRemoval(cause) ? LinkEvent::Removed : LinkEvent::Failed);
    if (LinkConnected(c->Link)) ArmRelay(c);
}

void EndAndFree(PortComponent* c);

// Ticks that queued up while the host's thread was busy find Form1 moved
// already: it moves once, into the window of that moment. If the host has
// destroyed that window meanwhile, Form1 would be left outside every host
// window; the component ends instead, as it does with a window it lives in.
void StartupTick(PortComponent* c) {
    c->StartupTimer->SetEnabled(false);
    if (c->Shown) return;
    if (!IsWindow(Library.HostWindow)) {
        EndAndFree(c);
        return;
    }
    c->Shown = true;
    SetParent(c->Window, Library.HostWindow);
    c->Form1->SetVisible(true);
}

// A wake: the next waiting notice, or bytes left in the driver for the relay
// of the component of the moment, if there is one.
void OnWake(WPARAM ticket) {
    if (Mailbox::Wake(ticket) && Library.Component) ArmRelay(Library.Component);
}

// The library's applet outlives every component: when one ends with
// something the host has not fetched, its window takes the mailbox's wakes.
// The window is made then, hidden; a close sent to it (tools close every
// top-level window) is refused, since the framework would take the close of
// its applet for the end of the program.
bool LibraryAppletHook(WindowObject* sender, MSG& message, LRESULT&) {
    if (message.hwnd != sender->Handle) return false;
    if (message.message == Mailbox::WakeMessage) {
        HostFrame frame;
        OnWake(message.wParam);
        return true;
    }
    return message.message == WM_CLOSE;
}

HWND LibraryWindow() {
    static bool hooked = false;
    WindowObject* applet = Library.LibraryApplet;
    if (!hooked) {
        hooked = true;
        applet->Hide();
        applet->AttachMessageHook(LibraryAppletHook);
    }
    return applet->GetWindowHandle();
}

// Every way the component can end comes here, once: the host destroying its
// window, a close or DestroyWindow on Form1, or its applet closed, destroyed
// or freed (then Form1 is freed with it, and its OnDestroy calls this). The
// port is closed first, which ends the event thread, then both timers are
// stopped, waiting for a callback that is running, so that nothing reaches
// the record after Form1 has freed it. The exports are no-ops afterwards, and
// the next SetParentWindow builds a new component. While a stop waits it
// serves messages that other threads send to this one, and a host handler
// reached that way may already build that new component: from the first
// step on, the library's state is no longer this component's to clear.
void EndComponent(PortComponent* c) {
    if (Library.Component != c) return;
    Library.Component = nullptr;
    // A lost device has no handle to close, but the host still counts the
    // port as open: it hears the close all the same.
    LinkHostClose(c);
    c->StartupTimer->Stop();
    c->RelayTimer->Stop();
    // A component built meanwhile (a handler reached while the stops waited)
    // has the mailbox already; otherwise what still waits is woken through
    // the library's own window.
    if (!Library.Component) Mailbox::Attach(Mailbox::Pending() ? LibraryWindow() : nullptr);
    // Its thread owns the plug-in no longer: the next SetParentWindow's does.
    if (!Library.Component) ReleaseHostThread();
}

// Ends the component and frees its applet, which takes Form1 and everything
// Form1 owns. The applet is this component's own, taken before the end can
// serve messages (a new component brings a new one), and held meanwhile, so
// that a window closed from outside during the wait cannot free it first.
void EndAndFree(PortComponent* c) {
    WindowObject* applet = Library.ComponentApplet;
    AddRef(applet);
    EndComponent(c);
    if (Library.ComponentApplet == applet) Library.ComponentApplet = nullptr;
    Free(applet); // the hold
    Free(applet); // the component's own reference
}

void OnForm1Destroy(void* context, BaseObject*) {
    EndComponent(static_cast<PortComponent*>(context));
}

// The applet may go first (a WM_CLOSE or DestroyWindow from outside); the
// library forgets it then, and it takes Form1 with it.
void OnAppletDestroy(void*, BaseObject* sender) {
    if (Library.ComponentApplet == sender) Library.ComponentApplet = nullptr;
}

bool Form1Hook(WindowObject* sender, MSG& message, LRESULT&) {
    PortComponent* c = Library.Component;
    if (!c || c->Form1 != sender) return false;
    HostFrame frame;
    switch (message.message) {
    case StartupTickMessage:
        StartupTick(c);
        return true;
    case RelayTickMessage:
        Relay(c);
        return true;
    case ErrorMessage:
        TellRaisedError(c);
        TakeReports(c);
        return true;
    case SearchTickMessage:
        TakeReports(c);
        return true;
    case Mailbox::WakeMessage:
        // Bytes left in the driver go with the next relay, 50 ms on as ever.
        OnWake(message.wParam);
        return true;
    case WM_DESTROY:
        EndAndFree(c);
        return false; // default processing goes on
    }
    return false;
}

void OnStartupTimer(void* context, BaseObject*) {
    SendNotifyMessageA(static_cast<PortComponent*>(context)->Window, StartupTickMessage, 0, 0);
}
// The tick disarms its one-shot timer before it posts: should the message be
// lost (a full queue, or a host loop that skips or throws away our messages),
// the next arrival arms the relay again rather than finding it fired for good.
void OnRelayTimer(void* context, BaseObject*) {
    auto* c = static_cast<PortComponent*>(context);
    c->RelayTimer->SetEnabled(false);
    PostMessageA(c->Window, RelayTickMessage, 0, 0);
}
void OnRxChar(void* context, BaseObject*, std::int32_t) {
    ArmRelay(static_cast<PortComponent*>(context));
}
void OnAfterOpen(void* context, BaseObject*) {
    FeedLink(static_cast<PortComponent*>(context), LinkEvent::Opened);
}
void OnAfterClose(void* context, BaseObject*) {
    FeedLink(static_cast<PortComponent*>(context), LinkEvent::Closed);
}
// A failed open reports on the host's thread inside open; line errors report
// from the event thread and are handed over.
void OnError(void* context, BaseObject*) {
    auto* c = static_cast<PortComponent*>(context);
    if (GetWindowThreadProcessId(c->Window, nullptr) == GetCurrentThreadId()) {
        if (c->Link.Trying) return;
        TraceLine("comrelay: device failure: the port did not open");
        Mailbox::Post(Notice::Error);
        return;
    }
    TraceLine("comrelay: line error");
    InterlockedExchange(&c->ErrorRaised, 1);
    PostToForm1(c, ErrorMessage);
}
// A wait of the event thread failed, or answers again after failures.
void OnLinkFailure(void* context, BaseObject*, bool failing) {
    auto* c = static_cast<PortComponent*>(context);
    ReportWaits(c->Link, failing);
    PostToForm1(c, ErrorMessage);
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
    // Every event but TxEmpty, which no hook of ours hears: it would wake the
    // event thread after every sendstring for nothing, and under wine each
    // such wake leaks 172 bytes of the process heap.
    port->Events = ComEvents::All & ~ComEvents::TxEmpty;
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
    // Sized for 96 DPI, scaled to the host window it lives in.
    int dpi = WindowDpi(Library.HostWindow);
    form->SetClientSize(ScaleToDpi(231, dpi), ScaleToDpi(89, dpi));
    c->Window = form->GetWindowHandle();
    Mailbox::Attach(c->Window);
    DeleteMenu(GetSystemMenu(c->Window, FALSE), SC_CLOSE, MF_BYCOMMAND);
    form->SetOnClose(OnForm1Close, c);
    form->OnDestroy.Set(OnForm1Destroy, c);

    c->StartupTimer = NewTimer(200);
    AddToAutoFree(form, c->StartupTimer);
    c->StartupTimer->OnTimer.Set(OnStartupTimer, c);

    c->Port = PortDevice ? NewComPort(PortDevice) : NewComPort();
    ConfigurePort(c->Port);
    AddToAutoFree(form, c->Port);
    c->Port->OnRxChar.Set(OnRxChar, c);
    c->Port->OnAfterOpen.Set(OnAfterOpen, c);
    c->Port->OnAfterClose.Set(OnAfterClose, c);
    c->Port->OnError.Set(OnError, c);
    c->Port->OnLinkFailure.Set(OnLinkFailure, c);

    c->RelayTimer = NewTimer(50);
    c->RelayTimer->Periodic = 0;
    AddToAutoFree(form, c->RelayTimer);
    c->RelayTimer->OnTimer.Set(OnRelayTimer, c);

    form->AttachMessageHook(Form1Hook);
}

} // namespace

namespace {

// A component whose thread has ended, its windows with it: nothing of it
// can run any more. Its port is let go, its timers stopped, and the record
// left behind, as its windows' end never came to free it.
void ForgetOrphan(PortComponent* c) {
    Library.Component = nullptr;
    Library.ComponentApplet = nullptr;
    c->StartupTimer->Stop();
    c->RelayTimer->Stop();
    LinkHostClose(c);
}

} // namespace

void ComponentSetParentWindow(HWND window) {
    ClaimHostThread(); // also after the last owner's component ended here
    if (Library.Component && !IsWindow(Library.Component->Window)) ForgetOrphan(Library.Component);
    HWND previous = Library.HostWindow;
    // A component still waiting for its move ends with the window it was
    // given, as a shown one does with the window it lives in; its close
    // notice goes to that window, and the new one gets a fresh component.
    if (PortComponent* c = RecoverComponent(); c && !c->Shown && !IsWindow(previous)) EndAndFree(c);
    Library.HostWindow = window;
    const char* caption = GetParent(window) ? "pluginedit" : "pluginreal";
    if (Library.Component) {
        if (window != previous) Mailbox::Reannounce();
        Recover(Library.Component);
        return;
    }
    HoldModule();
    Library.ComponentApplet = NewApplet(Text(caption));
    Library.ComponentApplet->Hide();
    Library.ComponentApplet->OnDestroy.Set(OnAppletDestroy, nullptr);
    BuildComponent();
    ClaimHostThread(); // an old component's end may have let it go
    WindowObject* form = Library.Component->Form1;
    form->SetStyle(WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN);
    form->SetExStyle(WS_EX_CONTROLPARENT);
    form->Hide();
    Library.Component->StartupTimer->SetEnabled(true);
}

void ComponentUseDevice(ComDevice* device) {
    EndLinkThreads(); // the old device's searches and teardowns end first
    PortDevice = device;
}

void ComponentDraw(std::int32_t left, std::int32_t top, std::int32_t width, std::int32_t height) {
    PortComponent* c = RecoverComponent();
    if (!c) return;
    Library.DrawRect = {left, top, width, height};
    SetWindowPos(c->Window, HWND_BOTTOM, left, top, width, height, SWP_NOZORDER);
}

namespace {

// Bytes that came before a close join the data the host has not fetched yet,
// ahead of the notices that wait behind it and of the close notice; a close
// with nothing unfetched drops them as ever.
void RelayBeforeClose(PortComponent* c) {
    if (LinkConnected(c->Link) && Mailbox::DataUnfetched()) Relay(c, true);
}

} // namespace

// A setting the device refuses on an open port is told, as a refused open
// is, and the setting goes back to its old value, which the get export then
// reports. The driver may have taken part of it (the rate, and not the
// format after it), so the whole previous line setting goes back on the
// device; if even that fails, the link is failing, and told so once.
// While the device fails the value is only stored (the getter reports it);
// the handle that answers again, or the new one, gets it.
void SetOrTell(PortComponent* c, std::uint8_t& field, bool (ComPort::*set)(std::uint8_t),
               int index) {
    if (LinkFailing(c->Link)) {
        field = std::uint8_t(index);
        FeedLink(c, LinkEvent::SettingStored);
        return;
    }
    std::uint8_t old = field;
    if ((c->Port->*set)(std::uint8_t(index))) return;
    field = old;
    Mailbox::Post(Notice::Error);
    if (!c->Port->ApplyDcb()) FeedLink(c, LinkEvent::FailureTold);
}

void SerialSetBaudRate() {
    PortComponent* c = RecoverComponent();
    int i = IndexOf(BaudRateValues, Library.IntMailbox, 1);
    if (c && i > 0) SetOrTell(c, c->Port->BaudRateIndex, &ComPort::SetBaudRateIndex, i);
}

void SerialGetBaudRate() {
    PortComponent* c = RecoverComponent();
    if (c && c->Port->BaudRateIndex >= 1 && c->Port->BaudRateIndex <= 15)
        Library.IntMailbox = static_cast<std::int32_t>(BaudRateValues[c->Port->BaudRateIndex]);
}

void SerialSetDataBits() {
    PortComponent* c = RecoverComponent();
    int i = IndexOf(DataBitsValues, Library.IntMailbox);
    if (c && i >= 0) SetOrTell(c, c->Port->DataBitsIndex, &ComPort::SetDataBitsIndex, i);
}

void SerialGetDataBits() {
    PortComponent* c = RecoverComponent();
    if (c && c->Port->DataBitsIndex < DataBitsCount)
        Library.IntMailbox = DataBitsValues[c->Port->DataBitsIndex];
}

void SerialSetStopBits() {
    PortComponent* c = RecoverComponent();
    int i = StopBitsCount - 1;
    while (i >= 0 && StopBitCode(i) != Library.IntMailbox)
        --i;
    if (c && i >= 0) SetOrTell(c, c->Port->StopBitsIndex, &ComPort::SetStopBitsIndex, i);
}

void SerialGetStopBits() {
    PortComponent* c = RecoverComponent();
    if (c && c->Port->StopBitsIndex < StopBitsCount)
        Library.IntMailbox = StopBitCode(c->Port->StopBitsIndex);
}

// A long write holds the host's thread for the line's time (16 KiB at 9600
// baud: 17 s), and no relay tick is served meanwhile; an echoing device would
// fill the driver's input queue behind it. So the write relays from here,
// as a tick would, whenever it has waited a relay interval.
namespace {
void RelayWhileWriting(void* context, BaseObject*) {
    Relay(static_cast<PortComponent*>(context));
}
} // namespace

// A write that fails or stops short is told; what did go out is not sent
// again (the host cannot know which bytes those were, the far end can).
void SerialSendString() {
    PortComponent* c = RecoverComponent();
    if (!c) return;
    Text text = Mailbox::Content();
    EventSlot<void()> relay;
    relay.Set(RelayWhileWriting, c);
    FeedLink(c, LinkEvent::WriteBegins);
    bool whole = c->Port->WriteText(text, relay) == text.Length();
    FeedLink(c, LinkEvent::WriteEnds);
    if (!whole) Mailbox::Post(Notice::Error);
    TakeReports(c); // what waited for the write's end
}

// A text that names no port (LPT1, COM0, a notice the host read) changes
// nothing: moving an open port to some other port would send the host's
// next writes to a device it never chose.
void SerialSetPort() {
    // A copy: the reopen's notifications replace the mailbox.
    if (PortComponent* c = RecoverComponent()) {
        Text name = Mailbox::Content();
        if (NormalizePortName(name).IsEmpty()) {
            TraceLine("comrelay: setport: the text names no port");
            Mailbox::Post(Notice::Error);
            return;
        }
        RelayBeforeClose(c);
        LinkHostMove(c, name);
    }
}

void SerialGetPort() {
    if (PortComponent* c = RecoverComponent()) Mailbox::Write(c->Port->PortName);
}

// A device that cannot take its settings fails the open (the port closes
// and OnError tells it here, on the host's thread).
void SerialOpen() {
    if (PortComponent* c = RecoverComponent()) LinkHostOpen(c);
}

void SerialClose() {
    PortComponent* c = RecoverComponent();
    if (!c) return;
    RelayBeforeClose(c);
    LinkHostClose(c);
}

bool TakeRaisedError(PortComponent* c) {
    return InterlockedExchange(&c->ErrorRaised, 0) != 0;
}

void TellRaisedError(PortComponent* c) {
    if (TakeRaisedError(c)) Mailbox::Post(Notice::Error);
}
