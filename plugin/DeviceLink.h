// The link between the component and its device for the port's whole life:
// open, failing, its failure told, or lost and looked for by name.
//
// Threads: the host's GUI thread alone reads and changes it, and only
// FeedLink (Unit1.cpp) changes it. The event thread reports what its waits
// saw, and the search thread what its tries found, each through interlocked
// flags and a posted message; the host's thread then makes the transition.
//
//   Closed   the host has not opened the port, or has closed it
//   Open     the port is open and its device answers
//   Failing  open; Failures counts or reads in a row have failed, none told
//   Told     open; the failure has been told (one err#) and the handle kept,
//            since a device that still answers now and then delivers its
//            bytes by itself once it answers again. Meanwhile the port's
//            name is watched off the host's thread: a pulled USB adapter
//            takes its name with it
//   Lost     the host counts the port as open, but its device is gone (its
//            name no longer opens, or its handle says it was removed, as
//            that of a port whose name outlives its device may): the dead
//            handle is closed, and the name
//            is tried off the host's thread until a new handle opens and
//            answers; only then is it taken over, and told as opened
//
//   from             on                                           to
//   Closed, Lost     the port opens (the host's open, the search)  Open, sts#Open#
//   Open .. Told     the port closes (Close, setport, the end)     Closed, sts#Close#
//   Lost             Close, or the component's end                 Closed, sts#Close#
//   Lost             the host's open: tried at once                Open, or Lost (err#)
//   Open, Failing    a failed count or read                        Failing; Told at the limit, err#
//   Open, Failing    the waits keep failing; a setting that could  Told, err# (once)
//                    not even be put back
//   Failing, Told    the device answers (a count and read, or the  Open
//                    waits again and a count)
//   Told             the name is gone and no write is in flight    Lost
//   Open .. Told     a call fails with a code that means removal,  Lost, err# unless told
//                    and no write is in flight (else: Failed)
//   Told             the name opens a new handle that answers,     Lost, then Open
//                    the old one does not answer its count and     (sts#Open#)
//                    modem status (a quick replug)
//
// Writing marks a sendstring's write in flight: nothing closes the handle
// under it; a name found gone meanwhile is acted on once the write has
// ended (within its own time-out).
//
// Invariants (CheckLink, compiled in with COMRELAY_CHECKED): the port is
// connected exactly in Open, Failing and Told; Failures lies in 1..Limit-1
// in Failing and is 0 elsewhere; a search thread runs only in Told (watching
// the name) and Lost (reopening), and knows which.
#pragma once

#include <cstdint>

enum class Link : std::uint8_t { Closed, Open, Failing, Told, Lost };

enum class LinkEvent : std::uint8_t {
    Opened,        // the port opened (its OnAfterOpen)
    Closed,        // the port closed (its OnAfterClose)
    HostCloses,    // Close or the component's end, with no handle to close
    HostOpens,     // open, before it tries
    Failed,        // a count or read failed
    FailedForGood, // the event thread's waits keep failing
    FailureTold,   // a failure the caller has told already
    Answered,      // a count and read worked, or the waits answer again
    NameGone,      // the search thread found the port's name gone
    Removed,       // a call failed with a code that means removal
    Found,         // the search thread holds a new handle that answers
    WriteBegins,
    WriteEnds,
};

struct SearchJob;

struct DeviceLink {
    Link State = Link::Closed;
    int Failures = 0;
    bool Writing = false;
    SearchJob* Search = nullptr; // the search thread's job, in Told and Lost
};

// Failed counts or reads in a row that are told.
constexpr int LinkFailureLimit = 3;
