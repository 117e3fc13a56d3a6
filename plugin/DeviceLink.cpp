// The device link: its transitions (FeedLink), the reports that feed them,
// the search thread that looks for a lost device, and the holds that keep
// the host's opens from meeting a handle of the plug-in's own. The states,
// threads and invariants are set out in DeviceLink.h.
//
// Threads: the host's GUI thread runs everything here but RunSearch (the
// search thread), ReportWaits (the event thread) and the teardown thread of
// ComPort::Abandon, which touches nothing here. A search thread reads only
// its job, frozen before it starts, and hands over its result through the
// job's interlocked fields, posting SearchTickMessage again at each interval
// until the host's thread takes it. Once stopped it is the job's only
// owner: it ends by itself when its try is over, closes a handle it found
// that was not taken, and frees the job. The host's thread never waits for
// a search but where an open needs the port (WaitForHolds).
#include "plugin/DeviceLink.h"

#include "comport/ComDevice.h"
#include "comport/ComPort.h"
#include "framework/OwnedHandle.h"
#include "framework/WorkerThread.h"
#include "plugin/Mailbox.h"
#include "plugin/PluginAPI.h"
#include "plugin/PortComponent.h"
#include "plugin/Trace.h"

#include <cassert>

// One search thread's work, set up by the host's thread before it starts.
struct SearchJob {
    ComDevice* Device = nullptr;
    Text Name;             // the port's
    bool Reopen = false;   // Lost: hand over a handle that answers; Told: tell a name gone
    HWND Window = nullptr; // Form1's
    EventHandle Stop = NewManualEvent(false);
    EventHandle Idle = NewManualEvent(true); // set while no try is under way
    // Written once by the search thread, taken by the host's (interlocked).
    volatile LONG NameGone = 0;
    PVOID volatile Found = INVALID_HANDLE_VALUE;
};

namespace {

// A lost device is looked for at this pace: a USB adapter plugged back in
// takes about a second to come up anyway.
constexpr UINT SearchInterval = 500;

// --- holds: the plug-in's own threads that may hold a port ---

// A search or a teardown, by the port it may hold; its thread's handle is
// signalled once it holds nothing. The host's thread's alone.
struct Hold {
    Text Name;
    HANDLE Thread = nullptr;
};
constexpr int MaxHolds = 16;
Hold Holds[MaxHolds];
int HoldCount = 0;

// Lets go of the holds whose threads have ended.
void PruneHolds() {
    for (int i = 0; i < HoldCount;) {
        if (WaitForSingleObject(Holds[i].Thread, 0) == WAIT_TIMEOUT) {
            ++i;
            continue;
        }
        CloseHandle(Holds[i].Thread);
        Holds[i] = Holds[--HoldCount];
        Holds[HoldCount] = Hold();
    }
}

// Takes over thread, a handle to a thread that may hold the port name.
void AddHold(const Text& name, HANDLE thread) {
    if (!thread) return;
    PruneHolds();
    if (HoldCount == MaxHolds) { // sixteen threads stuck in a driver: forget the oldest
        CloseHandle(Holds[0].Thread);
        Holds[0] = Holds[--HoldCount];
    }
    Holds[HoldCount].Name = name;
    Holds[HoldCount++].Thread = thread;
}

// Waits, at most limit, until no thread of ours holds name (any port, when
// name is null).
void WaitForHolds(const Text* name, DWORD limit) {
    PruneHolds();
    HANDLE list[MaxHolds];
    DWORD count = 0;
    for (int i = 0; i < HoldCount; ++i)
        if (!name || Holds[i].Name == *name) list[count++] = Holds[i].Thread;
    if (count) WaitForMultipleObjects(count, list, TRUE, limit);
    PruneHolds();
}

// --- the search thread ---

// One try. A name that no longer opens means a device that is gone (a
// pulled USB adapter takes its name with it); one that is held (a port opens
// once: our own handle may hold it) or refuses says nothing. A new handle is
// handed over only once it answers a count of its queue; one that fails as
// the old one did is closed, a failed try told to no one.
void TrySearch(SearchJob* job) {
    HANDLE h = OpenPortDevice(job->Device, job->Name);
    if (h == INVALID_HANDLE_VALUE) {
        if (!job->Reopen && job->Device->GetLastError() == ERROR_FILE_NOT_FOUND)
            InterlockedExchange(&job->NameGone, 1);
        return;
    }
    DWORD errors = 0;
    COMSTAT status;
    if (job->Device->ClearCommError(h, &errors, &status))
        InterlockedExchangePointer(&job->Found, h);
    else
        job->Device->CloseHandle(h);
}

bool HasResult(const SearchJob* job) {
    return job->NameGone || job->Found != INVALID_HANDLE_VALUE;
}

// Tries until it has a result, and tries again once the host's thread has
// taken a handle it did not want; ends once stopped and its try is over.
DWORD RunSearch(void* context, BaseObject*) {
    auto* job = static_cast<SearchJob*>(context);
    HANDLE stop = job->Stop.Get();
    while (job->Device->WaitForAny(1, &stop, SearchInterval) == WAIT_TIMEOUT) {
        if (!HasResult(job)) {
            ResetEvent(job->Idle.Get());
            TrySearch(job);
            SetEvent(job->Idle.Get());
        }
        // Posted again at each interval until taken: a message may be lost.
        // A search stopped during its try posts nothing.
        if (HasResult(job) && job->Device->WaitForAny(1, &stop, 0) == WAIT_TIMEOUT)
            PostMessageA(job->Window, SearchTickMessage, 0, 0);
    }
    // Stopped: a handle found and not taken is closed at once, which frees
    // the port for the host's next open.
    HANDLE found = InterlockedExchangePointer(&job->Found, INVALID_HANDLE_VALUE);
    if (found != INVALID_HANDLE_VALUE) job->Device->CloseHandle(found);
    delete job;
    return 0;
}

// Stops the search thread, if one runs, without waiting for a try under way.
void StopSearch(PortComponent* c) {
    if (SearchJob* job = c->Link.Search) {
        c->Link.Search = nullptr;
        SetEvent(job->Stop.Get()); // from now on the thread's alone
    }
}

// A thread that cannot start leaves the link without one; the next report
// taken tries again.
void StartSearch(PortComponent* c, bool reopen) {
    StopSearch(c);
    auto* job = new SearchJob;
    job->Device = c->Port->Device;
    job->Name = c->Port->PortName;
    job->Reopen = reopen;
    job->Window = c->Window;
    WorkerThread* thread = job->Stop && job->Idle ? NewThread() : nullptr;
    HANDLE held = nullptr;
    if (thread && thread->ThreadHandle &&
        DuplicateHandle(GetCurrentProcess(), thread->ThreadHandle, GetCurrentProcess(), &held,
                        SYNCHRONIZE, FALSE, 0)) {
        thread->FreeOnTerminate = true;
        thread->OnExecute.Set(RunSearch, job);
        AddHold(job->Name, held);
        c->Link.Search = job;
        thread->Resume();
        return;
    }
    if (thread) Free(thread);
    delete job;
}

// --- the link ---

// The codes by which a handle says that its device was removed; drivers
// answer a pull with many others too, which the dead-handle rule meets.
bool MeansRemoval(DWORD error) {
    return error == ERROR_DEVICE_REMOVED || error == ERROR_DEV_NOT_EXIST;
}

// The invariants of DeviceLink.h.
void CheckLink(PortComponent* c) {
#ifdef COMRELAY_CHECKED
    const DeviceLink& l = c->Link;
    assert(LinkConnected(l) == c->Port->Connected);
    bool counting = l.State == Link::Failing || l.State == Link::Told;
    assert(counting || (l.Failures == 0 && l.WaitFailures == 0));
    assert(l.Failures <= LinkFailureLimit && l.WaitFailures <= LinkFailureLimit);
    assert(l.State != Link::Failing ||
           ((l.Failures > 0 || l.WaitFailures > 0) && l.Failures < LinkFailureLimit &&
            l.WaitFailures < LinkFailureLimit));
    assert(!l.Search || l.State == Link::Told || l.State == Link::Lost);
    assert(!l.Search || l.Search->Reopen == (l.State == Link::Lost));
    assert(!l.Search || l.Search->Name == c->Port->PortName);
    assert(!l.Trying && !l.Feeding && l.Queued == 0);
#else
    (void)c;
#endif
}

// Whether the old handle answers beside a new one that does: then the device
// never went (a driver that lets a port open twice). Its count alone does
// not show it, since some drivers answer that from what they held after a
// pull; its modem status must answer too, unless the new handle's fails as
// well (the same device, half working).
bool OldHandleAnswers(PortComponent* c, HANDLE found) {
    ComDevice* device = c->Port->Device;
    std::int32_t waiting = 0;
    DWORD status = 0;
    return c->Port->ReadInputCount(waiting) &&
           (device->GetCommModemStatus(c->Port->Handle, &status) ||
            !device->GetCommModemStatus(found, &status));
}

// Whether every call on the handle has failed for DeadAfter: its count and
// its waits fail now, nothing has answered since, and its modem status
// fails too. Whatever codes the driver gives: a pulled adapter's handle
// never comes back, and kept it would hold the port from the replugged one.
bool HandleDead(PortComponent* c, DWORD now) {
    const DeviceLink& l = c->Link;
    DWORD status = 0;
    return l.Failures > 0 && l.WaitFailures > 0 && now - l.AnsweredAt >= DeadAfter &&
           !c->Port->Device->GetCommModemStatus(c->Port->Handle, &status);
}

void Enter(DeviceLink& l, Link state) {
    l.State = state;
    l.Failures = 0;
    l.WaitFailures = 0;
}

// The port's handle is let go without waiting for its device: the teardown
// runs off the host's thread and holds the name until it is done.
void LetGo(PortComponent* c) {
    AddHold(c->Port->PortName, c->Port->Abandon());
}

// The device is gone: the link is Lost, its handle let go, and its name
// tried until a new handle answers.
void Lose(PortComponent* c, bool tell, const char* why) {
    TraceLine(why);
    Enter(c->Link, Link::Lost);
    StopSearch(c);
    if (tell) Mailbox::Post(Notice::Error);
    LetGo(c); // its close is fed next, and ignored in Lost
    TellRaisedError(c);
    StartSearch(c, true);
}

// The failure is told (or was, by the caller): the handle is kept and the
// name watched.
void Tell(PortComponent* c, bool post) {
    c->Link.State = Link::Told;
    TraceLine("comrelay: device failure told; the handle is kept, the name watched");
    if (post) Mailbox::Post(Notice::Error);
    StartSearch(c, false);
}

// The device answers again: settings stored meanwhile go on its handle.
void Recovered(PortComponent* c) {
    DeviceLink& l = c->Link;
    bool owed = l.SettingsOwed;
    Enter(l, Link::Open);
    l.SettingsOwed = false;
    StopSearch(c);
    if (owed && !c->Port->ApplySettings()) Mailbox::Post(Notice::Error);
}

// One transition; see the table in DeviceLink.h.
void Step(PortComponent* c, LinkEvent event) {
    DeviceLink& l = c->Link;
    Link from = l.State;
    DWORD now = c->Port->Device->TickCount();
    switch (event) {
    case LinkEvent::Opened:
        Enter(l, Link::Open);
        l.AnsweredAt = now;
        l.SettingsOwed = false; // the open put every setting on the handle
        StopSearch(c);
        if (from == Link::Lost) TraceLine("comrelay: lost device back: a new handle answers");
        Mailbox::Post(Notice::Open);
        break;
    case LinkEvent::Closed:
        // The handle's event thread reports nothing more: what it did is past.
        InterlockedExchange(&l.WaitReports, 0);
        if (!LinkConnected(l)) break; // a dead handle, let go on purpose
        Enter(l, Link::Closed);
        StopSearch(c);
        // An error the event thread raised on its way out goes before the
        // close when it would have to wait anyway, and is dropped otherwise,
        // since the close would replace it at once.
        if (TakeRaisedError(c) && Mailbox::NoticesWait()) Mailbox::Post(Notice::Error);
        Mailbox::Post(Notice::Close);
        break;
    case LinkEvent::HostCloses:
        if (from != Link::Lost) break;
        Enter(l, Link::Closed);
        StopSearch(c);
        Mailbox::Post(Notice::Close);
        break;
    case LinkEvent::Removed:
        if (!LinkConnected(l)) break;
        if (!l.Writing) {
            Lose(c, from != Link::Told,
                 "comrelay: device removed: handle let go, the port looked for by name");
            break;
        }
        // A write in flight ends first: meanwhile this is a failure as any.
        [[fallthrough]];
    case LinkEvent::Failed:
    case LinkEvent::WaitFailed: {
        if (!LinkConnected(l)) break;
        int& count = event == LinkEvent::WaitFailed ? l.WaitFailures : l.Failures;
        if (count < LinkFailureLimit) ++count;
        if (from == Link::Told) {
            if (!l.Writing && HandleDead(c, now))
                Lose(c, false,
                     "comrelay: device dead: every call fails; handle let go, the port looked for "
                     "by name");
            break;
        }
        if (count < LinkFailureLimit)
            l.State = Link::Failing;
        else
            Tell(c, true);
        break;
    }
    case LinkEvent::FailureTold:
        if (from != Link::Open && from != Link::Failing) break;
        Tell(c, false);
        break;
    case LinkEvent::Answered:
    case LinkEvent::WaitsAnswered:
        if (!LinkConnected(l)) break;
        l.AnsweredAt = now;
        (event == LinkEvent::Answered ? l.Failures : l.WaitFailures) = 0;
        if (from != Link::Open && l.Failures == 0 && l.WaitFailures == 0) Recovered(c);
        break;
    case LinkEvent::NameGone:
        // A write in flight ends first; the report waits for it.
        if (from != Link::Told || l.Writing) break;
        Lose(c, false, "comrelay: device gone: handle let go, the port looked for by name");
        break;
    case LinkEvent::Found: {
        // Taken once a write in flight has ended.
        if ((from != Link::Lost && from != Link::Told) || !l.Search || l.Writing) break;
        HANDLE found = InterlockedExchangePointer(&l.Search->Found, INVALID_HANDLE_VALUE);
        if (found == INVALID_HANDLE_VALUE) break;
        if (from == Link::Told && OldHandleAnswers(c, found)) {
            c->Port->Device->CloseHandle(found); // the watch goes on
            break;
        }
        StopSearch(c);
        if (from == Link::Told) {
            // Pulled and plugged back between two looks at its name: the
            // old handle stays dead, a new one answers.
            TraceLine("comrelay: device replugged: the dead handle let go, a new one taken");
            Enter(l, Link::Lost);
            LetGo(c);
            TellRaisedError(c);
        }
        c->Port->Adopted = found;
        l.Trying = true;
        c->Port->Open(); // its Opened comes next, once its settings are on the new handle
        l.Trying = false;
        FeedLink(c, LinkEvent::SearchAgain); // after it: a handle that failed its open
        break;
    }
    case LinkEvent::HostOpens:
        // The host tries at once; a try under way ends by itself.
        if (from == Link::Lost) StopSearch(c);
        break;
    case LinkEvent::SearchAgain:
        if (from == Link::Lost && !l.Search) StartSearch(c, true);
        break;
    case LinkEvent::SettingStored:
        if (from == Link::Failing || from == Link::Told) l.SettingsOwed = true;
        break;
    case LinkEvent::WriteBegins:
        l.Writing = true;
        break;
    case LinkEvent::WriteEnds:
        l.Writing = false;
        break;
    }
}

// Failed waits, fed in order: the first one's count tells whether the
// handle says it was removed.
void FeedWaitFailures(PortComponent* c, int count) {
    if (count <= 0 || !LinkConnected(c->Link)) return;
    std::int32_t waiting = 0;
    if (!c->Port->ReadInputCount(waiting) && MeansRemoval(c->Port->Device->GetLastError())) {
        FeedLink(c, LinkEvent::Removed);
        return;
    }
    for (int i = 0; i < count && i < LinkFailureLimit; ++i)
        FeedLink(c, LinkEvent::WaitFailed);
}

} // namespace

void FeedLink(PortComponent* c, LinkEvent event) {
    DeviceLink& l = c->Link;
    if (l.Feeding) {
        // An effect of the transition under way: it runs next.
        assert(l.Queued < int(sizeof l.Queue / sizeof l.Queue[0]));
        if (l.Queued < int(sizeof l.Queue / sizeof l.Queue[0])) l.Queue[l.Queued++] = event;
        return;
    }
    // No export or step of ours runs inside another on the host's thread.
    assert(HostFrameCount() <= 1);
    l.Feeding = true;
    Step(c, event);
    for (int i = 0; i < l.Queued; ++i)
        Step(c, l.Queue[i]);
    l.Queued = 0;
    l.Feeding = false;
    CheckLink(c);
}

bool LinkMeansRemoval(DWORD error) {
    return MeansRemoval(error);
}

void ReportWaits(DeviceLink& l, bool failing) {
    LONG old = 0, next = 0;
    do {
        old = l.WaitReports;
        LONG before = old & 0xFF, answered = old >> 8 & 1, after = old >> 9 & 0xFF;
        if (!failing) {
            // Runs of failures apart: the longest is what counts in a row.
            if (after > before) before = after;
            after = 0;
            answered = 1;
        } else if (answered) {
            after += after < 0xFF;
        } else {
            before += before < 0xFF;
        }
        next = before | answered << 8 | after << 9;
    } while (InterlockedCompareExchange(&l.WaitReports, next, old) != old);
}

void TakeReports(PortComponent* c) {
    DeviceLink& l = c->Link;
    if (LONG r = l.WaitReports ? InterlockedExchange(&l.WaitReports, 0) : 0) {
        FeedWaitFailures(c, r & 0xFF);
        // Waits that answer again end the failure only if the count does
        // too: a device whose count still fails would be told again at once.
        std::int32_t waiting = 0;
        if ((r >> 8 & 1) && LinkConnected(l) && c->Port->ReadInputCount(waiting))
            FeedLink(c, LinkEvent::WaitsAnswered);
        FeedWaitFailures(c, r >> 9 & 0xFF);
    }
    SearchJob* job = l.Search;
    if (l.State == Link::Lost && !job)
        FeedLink(c, LinkEvent::SearchAgain); // none could start
    else if (job && job->NameGone)
        FeedLink(c, LinkEvent::NameGone);
    else if (job && job->Found != INVALID_HANDLE_VALUE)
        FeedLink(c, LinkEvent::Found);
}

void LinkHostOpen(PortComponent* c) {
    DeviceLink& l = c->Link;
    if (LinkConnected(l)) return;
    if (l.State == Link::Lost && l.Search) {
        // A try under way on the port hands over what it finds.
        WaitForSingleObject(l.Search->Idle.Get(), HoldWaitLimit);
        TakeReports(c);
        if (l.State != Link::Lost) return;
    }
    FeedLink(c, LinkEvent::HostOpens);
    WaitForHolds(&c->Port->PortName, HoldWaitLimit);
    c->Port->Open(); // Opened, or a failure told (OnError)
    // Still gone: told, and looked for as before.
    FeedLink(c, LinkEvent::SearchAgain);
}

void LinkHostClose(PortComponent* c) {
    switch (c->Link.State) {
    case Link::Lost:
        // The device closed long ago; the host hears it now, as it asked.
        FeedLink(c, LinkEvent::HostCloses);
        break;
    case Link::Failing:
    case Link::Told:
        // A failing device may take seconds to end its waits and close.
        LetGo(c);
        break;
    default:
        c->Port->Close();
        break;
    }
}

void LinkHostMove(PortComponent* c, const Text& name) {
    if (NormalizePortName(name) == c->Port->PortName) return;
    bool open = c->Link.State != Link::Closed;
    if (open) LinkHostClose(c);
    c->Port->SetPortName(name); // closed now: only stored
    if (open) LinkHostOpen(c);
}

void EndLinkThreads() {
    WaitForHolds(nullptr, INFINITE);
}

void ReleaseEndedHolds() {
    if (HoldCount) PruneHolds();
}
