// The text mailbox and the notifications through it. A notification replaces
// the mailbox, except that announced data stays until the host has fetched it
// (GetFile); notices that come meanwhile wait in a short queue and follow,
// each with its own click. A text the host writes over an announced one is
// used as written, and the announced one comes back once an export has read
// it. Every posted click and wake may be lost; Recover asks again.
//
// Threads: the host's GUI thread alone, as the header says.
#include "plugin/Mailbox.h"

#include "plugin/PluginAPI.h"
#include <utility>

namespace {

const char OpenText[] = "sts#Open#";
const char CloseText[] = "sts#Close#";
// "err#" + "ошибка порта" in Windows-1251 + "#".
const char ErrorText[] = "err#\xEE\xF8\xE8\xE1\xEA\xE0 \xEF\xEE\xF0\xF2\xE0#";

// A host that stops fetching must not make the process grow without limit:
// past this size further bytes wait in the driver until the host fetches.
constexpr int MaxData = 1 << 20;

// Notices pile up only while the host neither fetches nor reads its clicks;
// past this many the queue folds to the latest state of the port.
constexpr int MaxWaiting = 4;

enum class Held { Nothing, Data, Notice };

struct Waiting {
    Notice notice;
    HWND host; // the host's window when it happened: its click goes there
};

struct State {
    Text box;                  // what GetFile, sendstring and setport read
    Text kept;                 // the announced text while the host's own is in box
    bool hostText = false;     // box holds the host's text, written over an announced one
    Held held = Held::Nothing; // what the host has been told of and not fetched
    HWND clicked = nullptr;    // where the click for it went
    bool clickOwed = false;    // that click could not be posted
    // The click may have passed unanswered (the announced text came back from
    // aside, or the host gave a new window): the first wake posted from then
    // on clicks again, unless a fetch came first. Posted messages come in
    // order, so the old click, if it was still queued, has been answered by
    // then.
    bool checkClick = false;
    WPARAM checkFrom = 0;
    WPARAM wakes = 0; // the number of the last wake posted
    Waiting waiting[MaxWaiting];
    int waitingCount = 0;
    bool dataWaiting = false; // bytes left in the driver for later
    HWND window = nullptr;
};

State mailbox;

const char* TextOf(Notice n) {
    switch (n) {
    case Notice::Open:
        return OpenText;
    case Notice::Close:
        return CloseText;
    case Notice::Error:
        break;
    }
    return ErrorText;
}

// The window a click for something announced to `host` goes to: that
// window while it lives, else the newest one.
HWND Target(HWND host) {
    return IsWindow(host) ? host : Library.HostWindow;
}

// A click that cannot be posted (a full queue) is owed, and Recover posts it
// at the next chance; the button-up alone is not worth a second try.
void ClickHost(HWND target) {
    State& m = mailbox;
    const DrawRectangle& r = Library.DrawRect;
    LPARAM point = static_cast<LPARAM>((static_cast<DWORD>(r.Top) << 16) |
                                       (static_cast<DWORD>(r.Left) & 0xFFFF));
    m.clicked = target;
    m.clickOwed = !PostMessageA(target, WM_LBUTTONDOWN, MK_LBUTTON, point);
    if (!m.clickOwed) PostMessageA(target, WM_LBUTTONUP, 0, point);
}

Text& Announced() {
    return mailbox.hostText ? mailbox.kept : mailbox.box;
}

void Deliver(Held kind, const Text& text, HWND host) {
    Announced() = text;
    mailbox.held = kind;
    mailbox.checkClick = false;
    ClickHost(Target(host));
}

// One wake may be lost or come late without harm: each checks the state it
// finds, so several in flight do no more than one.
void PostWake() {
    State& m = mailbox;
    if (m.window) PostMessageA(m.window, Mailbox::WakeMessage, ++m.wakes, 0);
}

// Repeated errors fold into one. A full queue keeps only the newest state of
// the port (dropping an error with it is allowed: an error never follows the
// close of the port it was raised on, but it may be left out).
void Enqueue(Notice n) {
    State& m = mailbox;
    if (n == Notice::Error && m.waitingCount > 0 &&
        m.waiting[m.waitingCount - 1].notice == Notice::Error)
        return;
    if (m.waitingCount == MaxWaiting) {
        int kept = 0;
        for (int i = m.waitingCount - 1; i >= 0; --i)
            if (m.waiting[i].notice != Notice::Error) {
                m.waiting[kept++] = m.waiting[i];
                break;
            }
        m.waitingCount = kept;
    }
    m.waiting[m.waitingCount++] = {n, Library.HostWindow};
}

void CheckClick() {
    State& m = mailbox;
    m.checkClick = true;
    m.checkFrom = m.wakes + 1;
    PostWake();
}

// The host's own text has been read: the announced one is back in the
// mailbox, and keeps the host's text alive behind it for GetFile's pointer.
void PutBack() {
    State& m = mailbox;
    if (!m.hostText) return;
    std::swap(m.box, m.kept);
    m.hostText = false;
    CheckClick();
}

} // namespace

namespace Mailbox {

// A new window is a new component: what was told to a host window that is
// gone since has no one left to fetch it, and goes.
void Attach(HWND window) {
    State& m = mailbox;
    m.window = window;
    if (m.held != Held::Nothing && !IsWindow(m.clicked)) {
        m.held = Held::Nothing;
        m.hostText = m.clickOwed = m.checkClick = false;
        m.kept = Text();
    }
    int kept = 0;
    for (int i = 0; i < m.waitingCount; ++i)
        if (IsWindow(m.waiting[i].host)) m.waiting[kept++] = m.waiting[i];
    m.waitingCount = kept;
}

// Whatever waits goes next, after the host is done with the pointer GetFile
// gave it, hence the posted wake.
const char* Fetch() {
    State& m = mailbox;
    if (m.hostText) {
        PutBack();
        return m.kept.Data();
    }
    m.held = Held::Nothing;
    m.clickOwed = m.checkClick = false;
    if (m.waitingCount > 0 || m.dataWaiting) PostWake();
    return m.box.Data();
}

void Write(const Text& text) {
    State& m = mailbox;
    if (m.held != Held::Nothing && !m.hostText) {
        m.kept = std::move(m.box);
        m.hostText = true;
    }
    m.box = text;
}

Text Content() {
    Text text = mailbox.box;
    PutBack();
    return text;
}

void Release() {
    mailbox.box = Text();
    mailbox.kept = Text();
}

void Post(Notice notice) {
    if (NoticesWait())
        Enqueue(notice);
    else
        Deliver(Held::Notice, Text(TextOf(notice)), Library.HostWindow);
}

bool AcceptsData() {
    State& m = mailbox;
    bool accepts = m.waitingCount == 0 && m.held != Held::Notice &&
                   (m.held == Held::Nothing || Announced().Length() < MaxData);
    if (!accepts) m.dataWaiting = true;
    return accepts;
}

void PostData(const Text& bytes) {
    State& m = mailbox;
    m.dataWaiting = false; // the relay has read everything there was
    if (m.held != Held::Data) {
        Deliver(Held::Data, Text("str#") + bytes + Text("#"), Library.HostWindow);
        return;
    }
    // In place: the closing "#" makes way for the new bytes and comes last.
    if (bytes.IsEmpty()) return;
    Text& data = Announced();
    data.SetLength(data.Length() - 1);
    data.Append(bytes);
    data.Append("#", 1);
}

bool DataUnfetched() {
    return mailbox.held == Held::Data;
}

bool NoticesWait() {
    return mailbox.held == Held::Data || mailbox.waitingCount > 0;
}

bool Pending() {
    return mailbox.held != Held::Nothing || mailbox.waitingCount > 0;
}

void Recover() {
    State& m = mailbox;
    if (m.held == Held::Nothing) {
        if (m.waitingCount > 0 || m.dataWaiting) PostWake();
        return;
    }
    // A click that was never posted, or that went to a window since gone,
    // cannot be answered; one that is queued in a live window will be.
    if (m.clickOwed || (!IsWindow(m.clicked) && IsWindow(Library.HostWindow)))
        ClickHost(Target(m.clicked));
    else if (m.checkClick)
        PostWake();
}

void Reannounce() {
    State& m = mailbox;
    if (m.held == Held::Nothing) return;
    if (m.clickOwed || !IsWindow(m.clicked))
        ClickHost(Library.HostWindow);
    else
        CheckClick();
}

bool Wake(WPARAM ticket) {
    State& m = mailbox;
    if (m.held != Held::Nothing) {
        if (m.clickOwed) {
            ClickHost(Target(m.clicked));
        } else if (m.checkClick && static_cast<LONG>(ticket - m.checkFrom) >= 0) {
            m.checkClick = false;
            ClickHost(Library.HostWindow);
        }
        return false; // its fetch wakes again
    }
    if (m.waitingCount > 0) {
        Waiting next = m.waiting[0];
        --m.waitingCount;
        for (int i = 0; i < m.waitingCount; ++i)
            m.waiting[i] = m.waiting[i + 1];
        Deliver(Held::Notice, Text(TextOf(next.notice)), next.host);
        return false;
    }
    bool relay = m.dataWaiting;
    m.dataWaiting = false;
    return relay;
}

} // namespace Mailbox
