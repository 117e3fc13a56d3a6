// The text mailbox and the notifications through it. A notification replaces
// the mailbox, except that announced data stays until the host has fetched it
// (GetFile) or written the mailbox itself (SetFile, getport); notices that
// come meanwhile wait in a short queue and follow, each with its own click.
//
// Threads: the host's GUI thread alone, as the header says.
#include "plugin/Mailbox.h"

#include "plugin/PluginAPI.h"

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

struct State {
    Text box;
    Held held = Held::Nothing; // what the host has been told of and not fetched
    Notice waiting[MaxWaiting];
    int waitingCount = 0;
    bool dataWaiting = false; // bytes left in the driver for later
    bool wakePosted = false;
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

void ClickHost() {
    const DrawRectangle& r = Library.DrawRect;
    LPARAM point = static_cast<LPARAM>((static_cast<DWORD>(r.Top) << 16) |
                                       (static_cast<DWORD>(r.Left) & 0xFFFF));
    PostMessageA(Library.HostWindow, WM_LBUTTONDOWN, MK_LBUTTON, point);
    PostMessageA(Library.HostWindow, WM_LBUTTONUP, 0, point);
}

void Deliver(Held kind, const Text& text) {
    mailbox.box = text;
    mailbox.held = kind;
    ClickHost();
}

// Repeated errors fold into one. A full queue keeps only the newest state of
// the port (dropping an error with it is allowed: an error never follows the
// close of the port it was raised on, but it may be left out).
void Enqueue(Notice n) {
    State& m = mailbox;
    if (n == Notice::Error && m.waitingCount > 0 && m.waiting[m.waitingCount - 1] == Notice::Error)
        return;
    if (m.waitingCount == MaxWaiting) {
        int kept = 0;
        for (int i = m.waitingCount - 1; i >= 0; --i)
            if (m.waiting[i] != Notice::Error) {
                m.waiting[kept++] = m.waiting[i];
                break;
            }
        m.waitingCount = kept;
    }
    m.waiting[m.waitingCount++] = n;
}

// The host has taken what the mailbox held: whatever waits may go next, after
// the host is done with the pointer GetFile gave it, hence the posted message.
void Freed() {
    State& m = mailbox;
    m.held = Held::Nothing;
    if (m.wakePosted || (m.waitingCount == 0 && !m.dataWaiting) || !m.window) return;
    m.wakePosted = PostMessageA(m.window, Mailbox::WakeMessage, 0, 0) != FALSE;
}

} // namespace

namespace Mailbox {

void Attach(HWND window) {
    mailbox.window = window;
    mailbox.wakePosted = false;
    mailbox.waitingCount = 0;
    mailbox.dataWaiting = false;
    mailbox.held = Held::Nothing;
}

const char* Fetch() {
    Freed();
    return mailbox.box.Data();
}

void Write(const Text& text) {
    mailbox.box = text;
    Freed();
}

const Text& Content() {
    return mailbox.box;
}

void Release() {
    mailbox.box = Text();
}

void Post(Notice notice) {
    if (NoticesWait())
        Enqueue(notice);
    else
        Deliver(Held::Notice, Text(TextOf(notice)));
}

bool AcceptsData() {
    State& m = mailbox;
    bool accepts = m.waitingCount == 0 && m.held != Held::Notice &&
                   (m.held == Held::Nothing || m.box.Length() < MaxData);
    if (!accepts) m.dataWaiting = true;
    return accepts;
}

void PostData(const Text& bytes) {
    State& m = mailbox;
    m.dataWaiting = false; // the relay has read everything there was
    if (m.held != Held::Data) {
        Deliver(Held::Data, Text("str#") + bytes + Text("#"));
        return;
    }
    // In place: the closing "#" makes way for the new bytes and comes last.
    if (bytes.IsEmpty()) return;
    m.box.SetLength(m.box.Length() - 1);
    m.box.Append(bytes);
    m.box.Append("#", 1);
}

bool DataUnfetched() {
    return mailbox.held == Held::Data;
}

bool NoticesWait() {
    return mailbox.held == Held::Data || mailbox.waitingCount > 0;
}

void Reannounce() {
    if (mailbox.held != Held::Nothing) ClickHost();
}

bool Wake() {
    State& m = mailbox;
    m.wakePosted = false;
    if (m.held != Held::Nothing) return false; // something new is out; its fetch wakes again
    if (m.waitingCount > 0) {
        Notice next = m.waiting[0];
        --m.waitingCount;
        for (int i = 0; i < m.waitingCount; ++i)
            m.waiting[i] = m.waiting[i + 1];
        Deliver(Held::Notice, Text(TextOf(next)));
        return false;
    }
    bool relay = m.dataWaiting;
    m.dataWaiting = false;
    return relay;
}

} // namespace Mailbox
