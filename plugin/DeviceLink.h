// The link between the component and its device for the port's whole life:
// open, failing, its failure told, or lost and looked for by name; the search
// thread that looks; and the one transition function that moves it.
//
// Threads: the host's GUI thread alone reads and changes the link, and only
// FeedLink changes it. The event thread reports each failed wait, and the
// first that answers after failures, into WaitReports (ReportWaits); the
// search thread hands over what its tries found through its job's
// interlocked fields; each posts a message to Form1's window, and the host's
// thread then takes the reports (TakeReports) and feeds the transitions.
// A transition first settles the state, then runs its effects; an effect
// that feeds the link again (the port's open and close hooks) queues its
// event, which runs once the transition has ended, never inside it.
//
//   Closed   the host has not opened the port, or has closed it
//   Open     the port is open and its device answers
//   Failing  open; counts or reads (Failures), or the event thread's waits
//            (WaitFailures), have failed in a row, fewer than Limit, untold
//   Told     open; the failure has been told (one err#) and the handle kept,
//            since a device that still answers now and then delivers its
//            bytes by itself once it answers again. Meanwhile the port's
//            name is watched off the host's thread: a pulled USB adapter
//            may take its name with it
//   Lost     the host counts the port as open, but its device is gone: its
//            name no longer opens, its handle says it was removed, or every
//            call on it (count, read, wait and modem status) has failed for
//            DeadAfter, which is how a pulled adapter's handle stays on
//            Windows, whatever codes its driver gives. The dead handle is
//            let go (its teardown runs off the host's thread, which never
//            waits for it), and the name is tried off the host's thread
//            until a new handle opens and answers; only then is it taken
//            over, and told as opened
//
//   from             on                                           to
//   Closed, Lost     the port opens (the host's open, the search)  Open, sts#Open#
//   Open .. Told     the port closes (Close, setport, the end)     Closed, sts#Close#
//   Lost             Close, setport, or the component's end        Closed, sts#Close#
//   Lost             the host's open: tried at once                Open, or Lost (err#),
//                    (a try under way hands over what it finds)    looked for again
//   Open, Failing    a failed count, read or wait                  Failing; Told at Limit, err#
//   Open, Failing    a setting that could not even be put back     Told (its err# told)
//   Failing, Told    a count and read work, and the waits are not  Open; a setting stored
//                    failing (or a wait answers and a count works) meanwhile goes on
//   Told             the name is gone, or the handle is dead,      Lost
//                    and no write is in flight
//   Open .. Told     a call fails with a code that means removal,  Lost, err# unless told
//                    and no write is in flight (else: Failed)
//   Told             the name opens a new handle that answers,     Lost, then Open
//                    the old one does not answer its count and     (sts#Open#)
//                    modem status (a quick replug)
//
// Settings given in Failing, Told and Lost are stored and told nothing; the
// handle that answers again, or the new one, gets them (SettingsOwed).
// Writing marks a sendstring's write in flight: nothing closes the handle
// under it; a name found gone, or a handle found dead, meanwhile is acted on
// once the write has ended (within its own time-out).
//
// The plug-in's own handles never fail the host's opens (a port opens once):
// a search or a teardown holds its port's name until its thread ends, and
// the host's open, setport or the search's next start wait for the holds on
// that name (WaitForHolds), at most HoldWaitLimit; a search under way on the
// name being opened hands over what its try finds.
//
// Invariants (CheckLink, compiled in with COMRELAY_CHECKED): the port is
// connected exactly in Open, Failing and Told; both failure counts are 0 in
// Open, Closed and Lost, lie below Limit in Failing with one of them above
// 0, and never exceed Limit; a search thread runs only in Told (watching the
// name) and Lost (reopening), knows which, and looks for the port's name;
// Trying only inside the search's own open; no transition nests in another.
#pragma once

#include "framework/Text.h"

#include <cstdint>
#include <windows.h>

struct PortComponent;

enum class Link : std::uint8_t { Closed, Open, Failing, Told, Lost };

enum class LinkEvent : std::uint8_t {
    Opened,        // the port opened (its OnAfterOpen)
    Closed,        // the port closed (its OnAfterClose)
    HostCloses,    // Close, setport or the component's end, with no handle to close
    HostOpens,     // open or setport, before it tries
    SearchAgain,   // Lost without a search (none could start, or an open failed)
    Failed,        // a count or read failed
    WaitFailed,    // a wait of the event thread failed
    FailureTold,   // a failure the caller has told already
    Answered,      // a count and read worked
    WaitsAnswered, // the waits answer again, and a count works
    NameGone,      // the search thread found the port's name gone
    Removed,       // a call failed with a code that means removal
    Found,         // the search thread holds a new handle that answers
    SettingStored, // a setter stored its value while the device fails
    WriteBegins,
    WriteEnds,
};

struct SearchJob;

struct DeviceLink {
    Link State = Link::Closed;
    int Failures = 0;     // counts and reads failed in a row
    int WaitFailures = 0; // waits failed in a row
    bool Writing = false;
    // The search's own open of a found handle is under way: a failure is a
    // failed try, told to no one.
    bool Trying = false;
    // A setting stored while the device failed, not yet on a handle that answers.
    bool SettingsOwed = false;
    DWORD AnsweredAt = 0;        // the device's clock when a call last answered
    SearchJob* Search = nullptr; // the search thread's job, in Told and Lost
    // The event thread's reports, in the order they came, packed by
    // ReportWaits: failed waits before the last answer (bits 0-7), an answer
    // (bit 8), failed waits after it (bits 9-16). Written by the event
    // thread, taken by the host's (interlocked).
    volatile LONG WaitReports = 0;
    // The transition under way, and the events its effects fed meanwhile.
    bool Feeding = false;
    int Queued = 0;
    LinkEvent Queue[4] = {};
};

// Failed counts or reads, or waits, in a row that are told.
constexpr int LinkFailureLimit = 3;
// How long every call on a handle must fail before it counts as dead.
constexpr DWORD DeadAfter = 1000;
// How long the host's open waits for the plug-in's own hold on a port: a
// try under way takes what CreateFile takes (seconds for a Bluetooth port).
constexpr DWORD HoldWaitLimit = 5000;

// The one transition function; see the table above.
void FeedLink(PortComponent* c, LinkEvent event);
// What the event and search threads reported, turned into transitions.
void TakeReports(PortComponent* c);
// The event thread: a wait failed (failing), or answers after failures.
void ReportWaits(DeviceLink& l, bool failing);
// Whether a call's error code says that the device was removed.
bool LinkMeansRemoval(DWORD error);
// Whether the port is open on a handle, as the link knows it.
inline bool LinkConnected(const DeviceLink& l) {
    return l.State == Link::Open || l.State == Link::Failing || l.State == Link::Told;
}
// Whether the device fails: a setting is then stored, not tried.
inline bool LinkFailing(const DeviceLink& l) {
    return l.State == Link::Failing || l.State == Link::Told || l.State == Link::Lost;
}

// The host's side of the port, each waiting for the plug-in's own holds on
// the name first: open (also in Lost), close (also in Lost; a failing
// device's teardown runs off the host's thread), and a move to a new name,
// as a close and an open.
void LinkHostOpen(PortComponent* c);
void LinkHostClose(PortComponent* c);
void LinkHostMove(PortComponent* c, const Text& name);
// The device layer goes (tests): every search and teardown on it ends first.
void EndLinkThreads();
// Lets go of what searches and teardowns that have ended still hold (their
// thread handles); at every host call, also after the component's end.
void ReleaseEndedHolds();
