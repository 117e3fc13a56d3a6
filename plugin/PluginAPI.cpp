// The exported functions in ordinal order, the mailboxes and the information
// texts. The export directory itself is in exports.S. Every export uses the C
// calling convention and handles bad input quietly: the host's process must
// never see a crash from here.
//
// Threads. The host's thread is the one that called SetParentWindow first,
// or first after the last owner's component ended or the owner ended (then
// the next caller takes the plug-in over): the component, the mailbox and
// its hook belong to it. An export that
// another thread calls runs on the host's thread, one at a time and in the
// order made: the caller queues it (CallLock guards the queue) and pokes
// CallWindow, a message-only window of that thread, with a sent message,
// which every kind of message loop serves, also one that filters. The host's
// thread runs the queued calls only where it takes messages with no frame of
// the plug-in's own under way (HostFrames: an export, a message of the
// plug-in's windows, a step that waits): its own loop, a loop nested in its
// handler, or Interface's loop, which lends its frame back. A poke that
// comes inside a frame (a wait of ours that serves sent messages) runs
// nothing, and the caller pokes again. A call not taken within CallBound is
// withdrawn from the queue, so that it can never run later, and its caller
// reads err# in its own text mailbox (and a trace line): a GUI thread that
// waits for its worker without taking messages sees the worker go on.
// A call runs with the calling thread's own mailboxes, an integer and a text
// kept per thread (TLS) that SetData, GetData, SetFile and GetFile of that
// thread use on the spot: so a worker's sendstring sends what that worker
// wrote, and its GetFile never takes the host's announced text. Before the
// first SetParentWindow there is no host's thread, and every thread uses the
// one pair of mailboxes, as the host's thread does.
#include "plugin/PluginAPI.h"

#include "framework/OwnedHandle.h"
#include "framework/WindowObject.h"
#include "plugin/Mailbox.h"
#include "plugin/Trace.h"
#include "plugin/Unit1.h"
#include "plugin/Unit2.h"
#include <climits>
#include <cstring>
#include <initializer_list>
#include <utility>

LibraryState Library;

namespace {

const char InfoText[] = "Quillon Tarvex\r\n";
const char ShortInfoText[] = "Quillon Minvex";
const char CopyrightText[] = "Copyright (c) 2026 Quillon. All rights reserved.";

// Whether the region that info describes can be read without a fault. A
// guard page is not: the first read would disarm it (the host may rely on it
// to grow a stack), and under wine lstrlenA and IsBadReadPtr catch only
// access violations, so the guard exception would end the host.
bool Readable(const MEMORY_BASIC_INFORMATION& info) {
    const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                           PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    return info.State == MEM_COMMIT && (info.Protect & readable) &&
           !(info.Protect & (PAGE_GUARD | PAGE_NOACCESS));
}

// The length of a zero-terminated text, found without touching memory that
// is not readable: each region is asked about before any of its bytes are
// read. False for a text that runs into such memory (or into the end of the
// address space, or past the longest text a copy can hold).
bool MeasureHostText(const char* text, int& length) {
    const char* at = text;
    for (;;) {
        MEMORY_BASIC_INFORMATION info;
        if (!VirtualQuery(at, &info, sizeof info) || !Readable(info)) return false;
        const char* end = static_cast<const char*>(info.BaseAddress) + info.RegionSize;
        if (end <= at) return false; // wrapped around
        if (const void* zero = std::memchr(at, 0, size_t(end - at))) {
            size_t n = size_t(static_cast<const char*>(zero) - text);
            if (n > size_t(INT_MAX)) return false;
            length = int(n);
            return true;
        }
        if (size_t(end - text) > size_t(INT_MAX)) return false;
        at = end;
    }
}

// A copy of a text the host hands over: null is the empty text; a text that
// cannot be measured safely, or copied, is refused. False leaves copy alone.
bool CopyHostText(const char* text, Text& copy) {
    if (!text) {
        copy = Text();
        return true;
    }
    int length = 0;
    return MeasureHostText(text, length) && copy.TryAssign(text, length);
}

// The mailboxes of a thread other than the host's, made at its first use and
// freed as it ends. Only that thread touches them, or the host's thread
// while that thread waits for its call.
struct ThreadMailboxes {
    std::int32_t value = 0;
    Text text;
};
const DWORD MailboxSlot = TlsAlloc();

// Written on the host's thread as it claims the plug-in (before HostThread
// is published) and as it lets it go; read by callers to poke it.
HWND volatile CallWindow = nullptr;
volatile LONG HostThread = 0;
constexpr UINT CallMessage = WM_APP + 0x107;

// How long a call from another thread waits for the host's thread to take
// it: longer than the host's own exports usually hold that thread (a 2 KiB
// sendstring at 9600 baud takes about 2 s), shorter than the 5 s after which
// Windows shows a window that takes no messages as not responding.
constexpr DWORD CallBound = 3000;
// How often a waiting caller pokes the host's thread again.
constexpr DWORD PokeInterval = 10;

// The plug-in's own frames under way on the host's thread.
int HostFrames = 0;

bool OnHostThread() {
    LONG host = HostThread;
    return host == 0 || DWORD(host) == GetCurrentThreadId();
}

ThreadMailboxes* Mine() {
    auto* mine = static_cast<ThreadMailboxes*>(TlsGetValue(MailboxSlot));
    if (!mine && MailboxSlot != TLS_OUT_OF_INDEXES) {
        mine = new ThreadMailboxes;
        TlsSetValue(MailboxSlot, mine);
    }
    return mine;
}

// A call queued by another thread, which waits for done, or withdraws it.
struct Call {
    void (*run)(void* work);
    void* work;
    ThreadMailboxes* caller;
    EventHandle done = NewManualEvent(false);
    Call* next = nullptr;
};

// The queue, oldest first; the lock guards it alone.
CRITICAL_SECTION CallLock;
const bool CallLockReady = (InitializeCriticalSection(&CallLock), true);
Call* QueueHead = nullptr;
Call** QueueTail = &QueueHead;

void Enqueue(Call* call) {
    EnterCriticalSection(&CallLock);
    *QueueTail = call;
    QueueTail = &call->next;
    LeaveCriticalSection(&CallLock);
}

// The oldest call, taken off the queue; null when none waits.
Call* Dequeue() {
    EnterCriticalSection(&CallLock);
    Call* call = QueueHead;
    if (call && !(QueueHead = call->next)) QueueTail = &QueueHead;
    LeaveCriticalSection(&CallLock);
    return call;
}

// Takes call off the queue if the host's thread has not taken it yet.
bool Withdraw(Call* call) {
    EnterCriticalSection(&CallLock);
    Call** at = &QueueHead;
    while (*at && *at != call)
        at = &(*at)->next;
    bool queued = *at == call;
    if (queued && !(*at = call->next)) QueueTail = at;
    LeaveCriticalSection(&CallLock);
    return queued;
}

// The call running on the host's thread, whose caller's mailboxes are in
// place of the host's; Interface's loop lends them back (ModalLend).
Call* Running = nullptr;

void SwapMailboxes(Call* call) {
    std::swap(Library.IntMailbox, call->caller->value);
}

// Runs the queued calls, oldest first, each in a frame of its own and with
// its caller's mailboxes. The caller may return as soon as done is set.
void RunQueuedCalls() {
    while (Call* call = Dequeue()) {
        Call* outer = Running;
        Running = call;
        ++HostFrames;
        SwapMailboxes(call);
        Text* hostText = Mailbox::Borrow(&call->caller->text);
        call->run(call->work);
        Mailbox::Borrow(hostText);
        SwapMailboxes(call);
        --HostFrames;
        Running = outer;
        SetEvent(call->done.Get());
    }
}

LRESULT CALLBACK CallProcedure(HWND window, UINT message, WPARAM wp, LPARAM lp) {
    if (message != CallMessage) return DefWindowProcA(window, message, wp, lp);
    // Inside a frame of ours: the calls wait for the host's thread to take
    // messages outside it.
    if (HostFrames > 0) return 0;
    RunQueuedCalls();
    return 1;
}

// Runs work on the host's thread: here, in a frame, or queued there with the
// caller waiting, at most CallBound. A call that cannot be queued, or that
// the host's thread does not take in time (it has ended, or takes no
// messages), does not run: the caller reads err#, and a trace line says why.
template <class Work> void OnHost(const char* name, Work work) {
    if (OnHostThread()) {
        HostFrame frame;
        work();
        return;
    }
    ThreadMailboxes* mine = Mine();
    if (!mine) return;
    Call call{[](void* w) { (*static_cast<Work*>(w))(); }, &work, mine};
    if (!call.done) return;
    Enqueue(&call);
    DWORD start = GetTickCount();
    DWORD_PTR result = 0;
    while (WaitForSingleObject(call.done.Get(), 0) == WAIT_TIMEOUT) {
        bool reached = SendMessageTimeoutA(CallWindow, CallMessage, 0, 0, SMTO_NORMAL, PokeInterval,
                                           &result) != 0 ||
                       GetLastError() == ERROR_TIMEOUT;
        if (WaitForSingleObject(call.done.Get(), PokeInterval) == WAIT_OBJECT_0) return;
        if ((reached && GetTickCount() - start < CallBound) || !Withdraw(&call)) continue;
        // Withdrawn whole: it never runs.
        mine->text = Mailbox::ErrorNotice();
        TraceLine("comrelay: %s from thread %lu withdrawn: the host's thread did not take it", name,
                  static_cast<unsigned long>(GetCurrentThreadId()));
        return;
    }
}

} // namespace

// No TLS directory: the module keeps no static thread-local data (the other
// threads' mailboxes hang on a TlsAlloc slot), and the runtime's
// TLS support (pulled in through this one callback) is left out. Under wine 8.0
// loading a module that has one can spin for good in a process whose serial
// waits have ended before: each such wait is a wine thread that ends without
// the loader's thread detach, and the loader's list of threads goes wrong.
extern "C" const PIMAGE_TLS_CALLBACK __dyn_tls_init_callback = nullptr;

void HoldModule() {
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCSTR>(&HoldModule), &self);
}

#define EXPORT extern "C" __cdecl

EXPORT void exp_Close() {
    OnHost("Close", SerialClose);
}
EXPORT void exp_open() {
    OnHost("open", SerialOpen);
}
EXPORT void exp_getport() {
    OnHost("getport", SerialGetPort);
}
EXPORT void exp_setport() {
    OnHost("setport", SerialSetPort);
}
EXPORT void exp_getstring() {}
EXPORT void exp_sendstring() {
    OnHost("sendstring", SerialSendString);
}
EXPORT std::int32_t exp_GetData() {
    if (OnHostThread()) return Library.IntMailbox;
    ThreadMailboxes* mine = Mine();
    return mine ? mine->value : 0;
} // ordinals 7 and 26
EXPORT void exp_senddata() {}
EXPORT void exp_getparity() {}
EXPORT void exp_setparity() {}
EXPORT void exp_getstopbit() {
    OnHost("getstopbit", SerialGetStopBits);
}
EXPORT void exp_setstopbit() {
    OnHost("setstopbit", SerialSetStopBits);
}
EXPORT void exp_getdatabit() {
    OnHost("getdatabit", SerialGetDataBits);
}
EXPORT void exp_setdatabit() {
    OnHost("setdatabit", SerialSetDataBits);
}
EXPORT void exp_getbaudrate() {
    OnHost("getbaudrate", SerialGetBaudRate);
}
EXPORT void exp_setbaudrate() {
    OnHost("setbaudrate", SerialSetBaudRate);
}

EXPORT void exp_Draw(std::int32_t /*ignored*/, std::int32_t left, std::int32_t top,
                     std::int32_t width, std::int32_t height) {
    OnHost("Draw", [=] { ComponentDraw(left, top, width, height); });
}

EXPORT void exp_SetParentWindow(HWND window) {
    ClaimHostThread();
    OnHost("SetParentWindow", [=] { ComponentSetParentWindow(window); });
}
EXPORT std::int32_t exp_CreateObject() {
    return 0;
}
EXPORT std::int32_t exp_Interface() {
    std::int32_t result = 0;
    OnHost("Interface", [&] { result = RunSettingsDialog(); });
    return result;
}
EXPORT std::int32_t exp_HasIntDlg() {
    return 1;
}
EXPORT const char* exp_GetInfo() {
    return InfoText;
}
EXPORT const char* exp_GetShortInfo() {
    return ShortInfoText;
}
EXPORT const char* exp_Copyright() {
    return CopyrightText;
}
EXPORT void exp_SetPath(const char* path) {
    if (OnHostThread()) CopyHostText(path, Library.PluginPath);
}
EXPORT void exp_SetData(std::int32_t value) {
    if (OnHostThread()) {
        Library.IntMailbox = value;
    } else if (ThreadMailboxes* mine = Mine()) {
        mine->value = value;
    }
}

EXPORT const char* exp_GetFile() {
    if (OnHostThread()) return Mailbox::Fetch();
    ThreadMailboxes* mine = Mine();
    return mine ? mine->text.Data() : "";
}

EXPORT void exp_SetFile(const char* text) {
    Text copy;
    if (!CopyHostText(text, copy)) return;
    if (OnHostThread()) {
        Mailbox::Write(copy);
    } else if (ThreadMailboxes* mine = Mine()) {
        mine->text = copy;
    }
}

// Load creates the library's applet (an object; no window is made); unload
// releases the texts. A component keeps the module loaded while it lives, so
// at unload no window of ours exists and the classes can go with the code:
// Windows keeps a DLL's classes registered after the DLL itself is gone.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        Library.LibraryApplet = NewApplet(Text("vekplug"));
        Applet = Library.LibraryApplet;
    } else if (reason == DLL_THREAD_DETACH) {
        // The owning thread's end frees the plug-in for the next thread that
        // calls SetParentWindow; its windows went with it.
        if (DWORD(HostThread) == GetCurrentThreadId()) {
            CallWindow = nullptr;
            InterlockedExchange(&HostThread, 0);
        }
        if (MailboxSlot != TLS_OUT_OF_INDEXES)
            delete static_cast<ThreadMailboxes*>(TlsGetValue(MailboxSlot));
    } else if (reason == DLL_PROCESS_DETACH) {
        // Threads other than the host's get mailboxes only once a host's
        // thread exists, and that pins the module: none are left here.
        if (MailboxSlot != TLS_OUT_OF_INDEXES) TlsFree(MailboxSlot);
        Mailbox::Release();
        Library.PluginPath = Text();
        if (!reserved)
            for (const char* name : {"obj_App", "obj_Form", "obj_BUTTON", "obj_EDIT"})
                UnregisterClassA(name, instance);
    }
    return TRUE;
}

void ClaimHostThread() {
    if (HostThread) return;
    HWND window =
        CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    if (!window) return; // no way to reach this thread: stays unclaimed
    HoldModule();        // the window's procedure is ours
    SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CallProcedure));
    CallWindow = window;
    InterlockedExchange(&HostThread, LONG(GetCurrentThreadId()));
}

void ReleaseHostThread() {
    if (DWORD(HostThread) != GetCurrentThreadId()) return;
    InterlockedExchange(&HostThread, 0);
    HWND window = CallWindow;
    CallWindow = nullptr; // calls still queued are withdrawn, or run by the next owner
    if (window) DestroyWindow(window);
}

HostFrame::HostFrame() {
    ++HostFrames;
}
HostFrame::~HostFrame() {
    --HostFrames;
}
int HostFrameCount() {
    return HostFrames;
}

ModalLend::ModalLend() {
    --HostFrames;
    if ((call_ = Running)) {
        SwapMailboxes(Running);
        text_ = Mailbox::Borrow(nullptr);
        Running = nullptr;
    }
}
ModalLend::~ModalLend() {
    if (call_) {
        Running = static_cast<Call*>(call_);
        Mailbox::Borrow(text_);
        SwapMailboxes(Running);
    }
    ++HostFrames;
}
