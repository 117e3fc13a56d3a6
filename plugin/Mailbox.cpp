// The text mailbox and the notifications through it. A notification replaces
// the mailbox, except that announced data stays until the host has fetched it
// (GetFile); notices that come meanwhile wait in a short queue and follow,
// each with its own click. Whether and where to click again is decided in one
// place, ClickAgainIfDue, from the click's state (see the header).
//
// Threads: the host's GUI thread alone, as the header says; the hook that
// ends the host's own text runs there too, inside its GetMessage or
// PeekMessage.
#include "plugin/Mailbox.h"

#include "plugin/PluginAPI.h"
#include "plugin/Trace.h"
#include <cassert>
#include <optional>

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

// How long a click may lie passed and unanswered before it is posted again.
// A host may answer a click late on purpose (from its next timer tick or
// idle moment): a second click before its fetch would make it read the same
// text twice. Such hosts answer within a few tens of milliseconds; a host
// that lost its click waits only this long, plus its next call or arrival.
constexpr DWORD Grace = 500;

enum class Click { Idle, Posted, Returned, Passed, Owed };

// Stack addresses: the stack grows down, so a loop above the writer of a
// text (the one whose message its handler answers) has the higher level.
using StackLevel = UINT_PTR;
// Two calls into user32 made at one level of a host's code (a PeekMessage
// and a GetMessage, an export call and a loop in one handler) lie closer
// than this; a dispatch into a window procedure and its handler lies deeper.
constexpr StackLevel Slack = 160;
constexpr int MaxLoops = 8;
constexpr UINT MeasureMessage = WM_APP + 0x106;
enum class Kind { Data, Open, Close, Error };

// The notices that wait their turn behind an unfetched text, oldest first,
// each with the host window of its moment (its click goes there).
class NoticeQueue {
  public:
    struct Entry {
        Notice notice;
        HWND host;
    };
    bool Empty() const { return count_ == 0; }

    // The fold (see the header): a notice equal to the last waiting one
    // says nothing new and goes; a full queue folds to the newest state of
    // the port, with one error before it if errors came before it, and one
    // after it if errors came since.
    void Push(Notice n, HWND host) {
        if (count_ > 0 && entries_[count_ - 1].notice == n) return;
        if (count_ < MaxWaiting) {
            entries_[count_++] = {n, host};
            return;
        }
        Entry all[MaxWaiting + 1];
        for (int i = 0; i < count_; ++i)
            all[i] = entries_[i];
        all[count_] = {n, host};
        int newest = count_; // the newest state; a full queue always holds one
        while (newest > 0 && all[newest].notice == Notice::Error)
            --newest;
        count_ = 0;
        for (int i = 0; i < newest; ++i)
            if (all[i].notice == Notice::Error) {
                entries_[count_++] = all[i];
                break;
            }
        entries_[count_++] = all[newest];
        for (int i = newest + 1; i <= MaxWaiting; ++i)
            if (all[i].notice == Notice::Error) {
                entries_[count_++] = all[i];
                break;
            }
    }
    Entry Pop() {
        Entry first = entries_[0];
        --count_;
        for (int i = 0; i < count_; ++i)
            entries_[i] = entries_[i + 1];
        return first;
    }
    // What was told to a host window that is gone has no one left to read it.
    void DropGone() {
        int kept = 0;
        for (int i = 0; i < count_; ++i)
            if (IsWindow(entries_[i].host)) entries_[kept++] = entries_[i];
        count_ = kept;
    }
    // No notice twice in a row, so no status either.
    bool Valid() const {
        for (int i = 1; i < count_; ++i)
            if (entries_[i].notice == entries_[i - 1].notice) return false;
        return count_ >= 0 && count_ <= MaxWaiting;
    }
    bool Starts(Notice n) const { return count_ > 0 && entries_[0].notice == n; }

  private:
    Entry entries_[MaxWaiting] = {};
    int count_ = 0;
};

struct State {
    // The announced text while the click is not Idle; otherwise the single
    // slot that SetFile writes and GetFile reads.
    Text box;
    // The host's text written over an announced one: read instead of box
    // until the handler that wrote it has returned (takeHook sees that).
    std::optional<Text> own;
    StackLevel writer = 0;        // where the export that wrote own was called
    bool writerInHandler = false; // the writer ran in a window procedure (WriterInHandler)
    // Every message the thread takes, while a window is attached.
    HHOOK takeHook = nullptr;
    // The stack levels of the loops that have taken messages and may still
    // run, outermost first; 0 in peekDepth: not known, every take ends own.
    StackLevel loops[MaxLoops] = {};
    int loopCount = 0;
    StackLevel peekDepth = 0;
    StackLevel calibration = 0; // where the hook saw the measuring message
    // Where user32 returns to from a window procedure: found on the stack
    // above the writer, it shows the writer runs inside a handler.
    StackLevel procedureReturn = 0;
    // While an export called from another thread runs here: that thread's
    // text mailbox, which stands in for the host's.
    Text* borrowed = nullptr;
    Click click = Click::Idle;
    Kind kind = Kind::Data; // what box announces, unless Idle
    HWND clicked = nullptr; // where the last click went, or was meant to go
    int graceClicks = 0;    // clicks posted again on the grace for the text announced
    // Posted, Returned: the host gave a newer window while this click was on
    // its way to an older one that lives; should it pass, the next goes to
    // the newer window at once.
    bool newerWindow = false;
    WPARAM probeFrom = 0; // Posted: a probe this new or newer proves the click dispatched
    DWORD since = 0;      // Posted, Returned: when the last probe went; Passed: when it came back
    WPARAM probes = 0;    // the number of the last probe posted
    NoticeQueue waiting;
    bool dataWaiting = false; // bytes left in the driver for later
    // Bytes read from the driver that the announced text could not take: they
    // follow a "#" that ends it, and start with the zero byte that would have
    // made that "#" its end in the host's eyes. They go first at the next
    // fetch, as a text of their own, ahead of any notice that waits.
    Text rest;
    HWND window = nullptr;
};

State mailbox;

// Where a batch of received bytes has to end: right after the first "#" that
// a zero byte follows, since a host finds a data text's end at the first "#"
// that the terminating zero follows; the whole batch if there is none.
int BatchEnd(const char* bytes, int length) {
    for (int i = 0; i + 1 < length; ++i)
        if (bytes[i] == '#' && bytes[i + 1] == '\0') return i + 1;
    return length;
}

// The invariants of the header's table. Compiled in where COMRELAY_CHECKED is
// defined (the tests' checked build); every transition runs it.
void CheckState() {
#ifdef COMRELAY_CHECKED
    const State& m = mailbox;
    assert(m.waiting.Valid());
    // An announced status is never followed by the same status: errors
    // alone wait behind a status while nothing else does.
    assert(m.click == Click::Idle || m.kind == Kind::Data || m.kind == Kind::Error ||
           !m.waiting.Starts(m.kind == Kind::Open ? Notice::Open : Notice::Close));
    // The host's own text exists only over an announced one; its hook never
    // outlives it.
    assert(!m.own || m.click != Click::Idle);
    // The loops are nested: each lies deeper than the one before.
    assert(m.loopCount >= 0 && m.loopCount <= MaxLoops);
    for (int i = 1; i < m.loopCount; ++i)
        assert(m.loops[i] + Slack < m.loops[i - 1]);
    // At most one click again on the grace for each text.
    assert(m.graceClicks >= 0 && m.graceClicks <= 1);
    // A posted click went to a window, and its probes are numbered.
    assert((m.click != Click::Posted && m.click != Click::Returned) ||
           (m.clicked && m.probeFrom != 0));
    // Announced data is one whole "str#...#" text, and no "#" that a zero
    // byte follows ends it early.
    assert(m.click == Click::Idle || m.kind != Kind::Data ||
           (m.box.Length() >= 5 && m.box.Data()[m.box.Length() - 1] == '#' &&
            BatchEnd(m.box.Data() + 4, m.box.Length() - 5) == m.box.Length() - 5));
    // Held bytes wait for a text of their own.
    assert(m.rest.IsEmpty() || m.rest.Data()[0] == '\0');
#endif
}

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

Kind KindOf(Notice n) {
    return n == Notice::Open ? Kind::Open : n == Notice::Close ? Kind::Close : Kind::Error;
}

DWORD Elapsed(DWORD since) {
    return GetTickCount() - since;
}

// One wake may be lost or come late without harm: each checks the state it
// finds, so several in flight do no more than one.
void PostWake() {
    State& m = mailbox;
    if (m.window) PostMessageA(m.window, Mailbox::WakeMessage, 0, 0);
}

// A numbered wake posted behind a click: posted messages of a thread come in
// order, so when it comes back, the click before it has been dispatched.
void PostProbe() {
    State& m = mailbox;
    m.since = GetTickCount();
    if (m.window) PostMessageA(m.window, Mailbox::WakeMessage, ++m.probes, 0);
}

// A click is queued to m.clicked: Posted, with the probe behind it.
void AwaitFetch() {
    State& m = mailbox;
    m.click = Click::Posted;
    m.probeFrom = m.probes + 1;
    if (m.probeFrom == 0) m.probeFrom = m.probes = 1; // 0 is the plain wake
    PostProbe();
}

// A click that cannot be posted (a full queue, no live window) is owed; the
// button-up alone is not worth a second try.
void ClickHost(HWND target, bool again) {
    State& m = mailbox;
    const DrawRectangle& r = Library.DrawRect;
    LPARAM point = static_cast<LPARAM>((static_cast<DWORD>(r.Top) << 16) |
                                       (static_cast<DWORD>(r.Left) & 0xFFFF));
    m.clicked = target;
    m.newerWindow = false;
    if (!target || !PostMessageA(target, WM_LBUTTONDOWN, MK_LBUTTON, point)) {
        m.click = Click::Owed;
        TraceLine("comrelay: %s owed, window %08lX", again ? "re-click" : "click",
                  static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(target)));
        return;
    }
    PostMessageA(target, WM_LBUTTONUP, 0, point);
    AwaitFetch();
    TraceLine("comrelay: %s window %08lX at (%d,%d)", again ? "re-click" : "click",
              static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(target)), int(r.Left),
              int(r.Top));
}

// Only posted messages are looked at, so no sent message is served here.
bool ClickQueued() {
    MSG queued;
    return PeekMessageA(&queued, mailbox.clicked, WM_LBUTTONDOWN, WM_LBUTTONDOWN,
                        PM_NOREMOVE | PM_NOYIELD | PM_QS_POSTMESSAGE) != FALSE;
}

// The newest live host window.
HWND Newest() {
    State& m = mailbox;
    if (IsWindow(Library.HostWindow)) return Library.HostWindow;
    return IsWindow(m.clicked) ? m.clicked : nullptr;
}

// Why the click is looked at again.
enum class Chance {
    Call,      // a host call, an arrival or a relay tick
    PutBack,   // the announced text is back from under the host's own
    NewWindow, // the host gave another window
};

// The one place that decides whether to click again, and where: always the
// newest live host window, since the host may have moved its work there.
void ClickAgainIfDue(Chance why) {
    State& m = mailbox;
    switch (m.click) {
    case Click::Idle:
        return;
    case Click::Posted:
    case Click::Returned:
        if (IsWindow(m.clicked)) {
            // The click is on its way, or the probe behind it was lost (a
            // loop that throws that range away): then another probe.
            if (why == Chance::NewWindow && m.clicked != Newest()) m.newerWindow = true;
            if (Elapsed(m.since) >= Grace) PostProbe();
            return;
        }
        break; // its window is gone, and the click with it
    case Click::Passed:
        if (!IsWindow(m.clicked)) break;
        // A loop that filters may take the probe before the click.
        if (ClickQueued()) return;
        // A late answer is still allowed, unless the host has shown it has
        // moved on: its own text has gone, or it gave a new window.
        // Once: a host that lets the second click pass too does not answer
        // clicks now, and is clicked again when it shows it is back.
        if (why == Chance::Call && !m.newerWindow &&
            (Elapsed(m.since) < Grace || m.graceClicks > 0))
            return;
        if (why == Chance::Call) ++m.graceClicks;
        break;
    case Click::Owed:
        break;
    }
    ClickHost(Newest(), true);
    CheckState();
}

void Deliver(Kind kind, const Text& text, HWND host) {
    State& m = mailbox;
    m.box = text;
    m.kind = kind;
    m.graceClicks = 0;
    TraceLine("comrelay: notice %s", kind == Kind::Data ? "str#" : text.Data());
    HWND target = IsWindow(host) ? host : Newest();
    // Nothing unfetched, and yet a click queued to that window: one of a
    // notice that the next replaced (both clicks read the newest), whose text
    // the host fetched at the first. That click fetches this text; a click of
    // its own would have the host read it twice, the bytes of a relay that
    // ran between the two clicks too.
    if (m.click == Click::Idle && target && m.clicked == target && ClickQueued()) {
        TraceLine("comrelay: a queued click fetches it");
        AwaitFetch();
    } else {
        ClickHost(target, false);
    }
    CheckState();
}

// The host's text has had its handler: the announced one is read again, and
// clicked again if its click has passed meanwhile.
void PutBack(bool clickNext = false) {
    State& m = mailbox;
    if (!m.own) return;
    m.own.reset();
    TraceLine("comrelay: put back");
    // A click still on its way is answered with the text back in place; one
    // that has passed meanwhile, the probe behind it will tell.
    if (m.click == Click::Posted)
        m.click = Click::Returned;
    else if (!clickNext)
        ClickAgainIfDue(Chance::PutBack);
    CheckState();
}

// Whether a level lies on this thread's own stack (a host that runs
// handlers on a fiber of its own has levels that compare to nothing).
bool OnThreadStack(StackLevel level) {
    const NT_TIB* tib; // the thread's own block (NtCurrentTeb, without its warning)
    asm("movl %%fs:0x18, %0" : "=r"(tib));
    return level >= reinterpret_cast<StackLevel>(tib->StackLimit) &&
           level < reinterpret_cast<StackLevel>(tib->StackBase);
}

// A loop at this level took a message: the loops deeper than it have ended,
// one at about its level is itself, and a deeper one is new.
void NoteLoop(StackLevel level) {
    State& m = mailbox;
    while (m.loopCount > 0 && m.loops[m.loopCount - 1] + Slack < level)
        --m.loopCount;
    if (m.loopCount > 0 && m.loops[m.loopCount - 1] <= level + Slack)
        m.loops[m.loopCount - 1] = level;
    else if (m.loopCount < MaxLoops)
        m.loops[m.loopCount++] = level;
}

// Whether the loop at this level that takes a message ends the handler that
// wrote the host's text: it does when it runs above the writer (the handler
// has returned), or when the writer was no handler at all (the code that
// runs the outermost loop). A loop below a writer that answers a message
// runs inside its handler (a MessageBox, a dialog, a "sleep" that pumps).
bool EndsOwn(StackLevel level) {
    const State& m = mailbox;
    return !m.peekDepth || !m.writerInHandler || level > m.writer + Slack;
}

LRESULT CALLBACK OnTake(int code, WPARAM remove, LPARAM message) {
    State& m = mailbox;
    const MSG* taken = reinterpret_cast<const MSG*>(message);
    if (code == HC_ACTION && remove == PM_REMOVE) {
        StackLevel here = reinterpret_cast<StackLevel>(__builtin_frame_address(0));
        if (taken->message == MeasureMessage && taken->hwnd == m.window) {
            m.calibration = here;
        } else if (m.peekDepth) {
            NoteLoop(here + m.peekDepth);
            // The message taken may be the click itself, out of the queue already.
            if (m.own && EndsOwn(here + m.peekDepth))
                PutBack(taken->message == WM_LBUTTONDOWN && taken->hwnd == m.clicked);
        } else {
            PutBack(taken->message == WM_LBUTTONDOWN && taken->hwnd == m.clicked);
        }
    }
    return CallNextHookEx(nullptr, code, remove, message);
}

// How deep below a PeekMessage call the hook runs, measured once with a
// message of our own: the calls that follow make every loop's level the
// stack level it called from, as the writer's is. Only posted messages are
// looked at, so no sent message is served here.
__attribute__((noinline)) StackLevel MeasurePeekDepth() {
    State& m = mailbox;
    StackLevel caller;
    asm volatile("movl %%esp, %0" : "=r"(caller));
    MSG taken;
    m.calibration = 0;
    if (!PostMessageA(m.window, MeasureMessage, 0, 0) ||
        !PeekMessageA(&taken, m.window, MeasureMessage, MeasureMessage,
                      PM_REMOVE | PM_NOYIELD | PM_QS_POSTMESSAGE) ||
        !m.calibration || m.calibration >= caller || !OnThreadStack(m.calibration))
        return 0;
    return caller - m.calibration;
}

LRESULT CALLBACK Probe(HWND, UINT, WPARAM, LPARAM) {
    mailbox.procedureReturn = reinterpret_cast<StackLevel>(__builtin_return_address(0));
    return 0;
}

// Whether the writer runs inside a window procedure that a loop above it
// called: between the writer and the innermost such loop lies a return into
// user32 from a window procedure. A loop that has returned leaves its level
// behind until a loop above it takes again, but its dispatch lay deeper than
// code that merely calls the export from a few calls below it.
bool WriterInHandler() {
    const State& m = mailbox;
    if (!m.peekDepth || !m.procedureReturn || !OnThreadStack(m.writer)) return false;
    int above = m.loopCount - 1;
    while (above >= 0 && m.loops[above] <= m.writer + Slack)
        --above;
    if (above < 0 || !OnThreadStack(m.loops[above])) return false;
    for (StackLevel at = m.writer; at < m.loops[above]; at += sizeof(StackLevel))
        if (*reinterpret_cast<const StackLevel*>(at) == m.procedureReturn) return true;
    return false;
}

// The hook lives while a window of this thread is attached.
void WatchTakes() {
    State& m = mailbox;
    if (m.takeHook || !m.window ||
        GetWindowThreadProcessId(m.window, nullptr) != GetCurrentThreadId())
        return;
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&OnTake), &self);
    m.takeHook = SetWindowsHookExA(WH_GETMESSAGE, OnTake, self, GetCurrentThreadId());
    if (m.takeHook && !m.peekDepth) m.peekDepth = MeasurePeekDepth();
    if (!m.procedureReturn) CallWindowProcA(Probe, nullptr, WM_NULL, 0, 0);
}

void StopWatching() {
    State& m = mailbox;
    if (m.takeHook) UnhookWindowsHookEx(m.takeHook);
    m.takeHook = nullptr;
    m.loopCount = 0;
}

} // namespace

namespace Mailbox {

// A new window is a new component: what was told to a host window that is
// gone since has no one left to fetch it, and goes.
void Attach(HWND window) {
    State& m = mailbox;
    if (window != m.window) StopWatching();
    m.window = window;
    WatchTakes();
    if (m.click != Click::Idle && !IsWindow(m.clicked)) {
        m.click = Click::Idle;
        m.own.reset();
        PutBack();
    }
    m.waiting.DropGone();
    CheckState();
}

// Whatever waits goes next, after the host is done with the pointer GetFile
// gave it, hence the posted wake.
const char* Fetch() {
    State& m = mailbox;
    if (m.borrowed) return m.borrowed->Data();
    if (m.own) return m.own->Data();
    m.click = Click::Idle;
    if (!m.waiting.Empty() || m.dataWaiting || !m.rest.IsEmpty()) PostWake();
    CheckState();
    return m.box.Data();
}

void Write(const Text& text, const void* caller) {
    State& m = mailbox;
    if (m.borrowed) {
        *m.borrowed = text;
        return;
    }
    if (m.click == Click::Idle) {
        m.box = text;
        return;
    }
    m.own = text;
    // The caller's frame lies below its return address and saved frame
    // pointer: the level the host called the export from.
    m.writer = reinterpret_cast<StackLevel>(caller) + 2 * sizeof(void*);
    m.writerInHandler = WriterInHandler();
    WatchTakes();
    // The next message may be a click still queued (then the hook puts back
    // before it is dispatched) or nothing at all: this wake makes sure there
    // is one, and puts back itself should the hook be missing.
    PostWake();
    CheckState();
}

Text Content() {
    if (mailbox.borrowed) return *mailbox.borrowed;
    return mailbox.own ? *mailbox.own : mailbox.box;
}

Text* Borrow(Text* slot) {
    Text* previous = mailbox.borrowed;
    mailbox.borrowed = slot;
    return previous;
}

Text ErrorNotice() {
    return Text(ErrorText);
}

void Release() {
    StopWatching();
    mailbox.own.reset();
    mailbox.box = Text();
    mailbox.rest = Text();
}

void Post(Notice notice) {
    State& m = mailbox;
    // An error over an unfetched open or close would hide the port's state
    // (a move to a port that then fails to open, a line error right after an
    // open): it waits its turn.
    bool behindStatus = notice == Notice::Error && m.click != Click::Idle && m.kind != Kind::Data &&
                        m.kind != Kind::Error;
    if (NoticesWait() || behindStatus) {
        m.waiting.Push(notice, Library.HostWindow);
        TraceLine("comrelay: notice %s waits", TextOf(notice));
        CheckState();
    } else {
        Deliver(KindOf(notice), Text(TextOf(notice)), Library.HostWindow);
    }
}

bool AcceptsData() {
    State& m = mailbox;
    bool accepts = m.waiting.Empty() &&
                   (m.click == Click::Idle ||
                    (m.kind == Kind::Data && m.rest.IsEmpty() && m.box.Length() < MaxData));
    if (!accepts) m.dataWaiting = true;
    return accepts;
}

namespace {

// Bytes for the host, in the order read: they join the unfetched data text,
// or become a new one with its click, up to where a batch has to end; what
// is left waits for the next fetch. So every "#" that a zero byte follows
// costs at most one more notice.
void AnnounceData(Text bytes) {
    State& m = mailbox;
    if (!m.rest.IsEmpty()) bytes = m.rest + bytes;
    m.rest = Text();
    if (bytes.IsEmpty()) return;
    bool join = m.click != Click::Idle && m.kind == Kind::Data;
    // The unfetched text's last byte and the first new one would be the pair.
    if (join && bytes[0] == '\0' && m.box.Length() > 5 && m.box[m.box.Length() - 2] == '#') {
        m.rest = bytes;
        CheckState();
        return;
    }
    int end = BatchEnd(bytes.Data(), bytes.Length());
    if (end < bytes.Length()) {
        m.rest = Text(bytes.Data() + end, bytes.Length() - end);
        bytes.SetLength(end);
    }
    if (!join) {
        Deliver(Kind::Data, Text("str#") + bytes + Text("#"), Library.HostWindow);
        return;
    }
    // In place: the closing "#" makes way for the new bytes and comes last.
    m.box.SetLength(m.box.Length() - 1);
    m.box.Append(bytes);
    m.box.Append("#", 1);
    CheckState();
}

} // namespace

void PostData(const Text& bytes) {
    mailbox.dataWaiting = false; // the relay has read everything there was
    AnnounceData(bytes);
}

bool DataUnfetched() {
    return (mailbox.click != Click::Idle && mailbox.kind == Kind::Data) || !mailbox.rest.IsEmpty();
}

bool NoticesWait() {
    return DataUnfetched() || !mailbox.waiting.Empty();
}

bool Pending() {
    return mailbox.click != Click::Idle || !mailbox.waiting.Empty() || !mailbox.rest.IsEmpty();
}

void Recover() {
    State& m = mailbox;
    if (m.click == Click::Idle) {
        if (!m.waiting.Empty() || m.dataWaiting || !m.rest.IsEmpty()) PostWake();
        return;
    }
    ClickAgainIfDue(Chance::Call);
}

void Reannounce() {
    ClickAgainIfDue(Chance::NewWindow);
}

bool Wake(WPARAM ticket) {
    State& m = mailbox;
    // Our window takes a message and no hook could say whether the handler
    // that wrote the host's text is over: it is taken to be.
    if (m.own && !m.takeHook) PutBack();
    bool probe = ticket != 0 && (m.click == Click::Posted || m.click == Click::Returned) &&
                 static_cast<LONG>(ticket - m.probeFrom) >= 0;
    if (probe) {
        bool returned = m.click == Click::Returned;
        m.click = Click::Passed;
        m.since = GetTickCount();
        TraceLine("comrelay: click passed unanswered");
        if (returned)
            ClickAgainIfDue(Chance::PutBack);
        else if (m.newerWindow)
            ClickAgainIfDue(Chance::NewWindow);
        CheckState();
    }
    if (m.click != Click::Idle) return false; // its fetch wakes again
    if (!m.rest.IsEmpty()) {
        AnnounceData(Text());
        return false; // a relay now would only find it unfetched
    }
    if (!m.waiting.Empty()) {
        NoticeQueue::Entry next = m.waiting.Pop();
        Deliver(KindOf(next.notice), Text(TextOf(next.notice)), next.host);
        return false;
    }
    bool relay = m.dataWaiting;
    m.dataWaiting = false;
    return relay;
}

} // namespace Mailbox
