// The text mailbox and the plug-in's notifications through it: a tagged text
// written into the mailbox, then a click posted to the host's window.
//
// Threads: everything here runs on the host's GUI thread, the message hook
// that ends the host's own text included (it hooks that thread alone). The timer and event threads
// never touch the mailbox; they post their work to Form1's window.
//
// What the host has been told is one state, the click's:
//
//   Idle      nothing announced is unfetched; the mailbox is a plain single slot
//   Posted    a text is announced and its click posted, with a probe (a
//             numbered wake to our own window) posted right behind it
//   Returned  Posted, and the host's own text has gone from over the announced
//             one since: should the click have passed, the text needs one now
//   Passed    the probe came back with the text unfetched: the click has been
//             dispatched and swallowed or left unanswered (unless it is still
//             queued, behind a loop that filters)
//   Owed      a click could not be posted (a full queue, no live window)
//
//   from               on                                       to
//   any                a text announced (a notice, new data)    Posted (Owed)
//   Idle               a text announced, a click of a replaced  Posted, that click
//                      notice still queued to its window        fetching it
//   all but Idle       GetFile                                  Idle
//   Posted             the host's own text put back             Returned
//   Posted, Returned   its probe                                Passed
//   Returned           its probe, the click not queued          Posted again, at once
//   Posted, Returned   its window gone, at the next chance      Posted again
//   Passed             a host call, arrival or relay tick       Posted again after Grace,
//                                                               once per text
//   Passed             a new host window, the host's own text   Posted again, at once
//                      put back, or a new host window given
//                      while it was Posted to an older one
//   Owed               any chance                               Posted again (Owed)
//
// "Posted again" always goes to the newest live host window, and only
// ClickAgainIfDue decides it. So a host that answers each click within its
// handler never gets a second click for a text it has fetched (a notice
// that replaces an unfetched one has a click of its own, and both read it;
// the next text takes the click left over), and a click lost on the way,
// or swallowed, comes again.
//
// The host's own text, written over an announced one, is one optional value
// beside it: every export reads it for the rest of the handler that wrote
// it, nested message loops included (a MessageBox, a dialog, Interface, a
// "sleep" that pumps). Notices that come while data is announced wait in a
// short queue and follow, one per fetch.
//
// How the end of that handler is told from a nested loop: a hook sees every
// message the thread takes, and the stack level of the loop that took it
// (the hook's own level plus the depth of a PeekMessage call, measured once
// with a message of our own). A loop that runs above the export call that
// wrote the text has returned from the handler: the text ends. A loop below
// it runs inside the handler, and the text stays, if the writer answers a
// message at all: between it and a loop above it lies user32's return from
// a window procedure (its address is learnt once, through CallWindowProc).
// The code that runs the outermost loop has no handler to finish: its text
// ends at the next message taken. Where this cannot tell: a host that runs
// handlers on a stack of their own (fibers), where the text ends at the next
// message taken; code outside any handler that leaves that return address
// behind in stack it has not written since, where its text lasts until a
// loop above it takes a message; and a hook or measure that fails, where
// every message taken ends the text, as our own window's wakes do.
//
// The fold. However long the host leaves notices unfetched, what it reads
// afterwards tells a true story: never the same notice twice in a row (an
// error, or a status, told again while it waits says nothing new), the
// port's latest state as the last status, and one err# where errors were
// folded away between states, so that a slow host still learns that the
// device failed. At most four notices wait; a fifth folds them all into
// the newest state, with one error before it if any came before it, and one
// after it if any came since.
//
// Invariants (CheckState, compiled in with COMRELAY_CHECKED): the host's own
// text exists only while a text is announced; Posted and Returned have a
// window and a numbered probe; a text is clicked again on the grace at most
// once; announced data is one whole "str#...#" text; at most four notices
// wait, never the same one twice in a row, and never the announced status
// first; no data text holds a "#" that a zero byte follows before its end.
#pragma once

#include "framework/Text.h"
#include <windows.h>

enum class Notice { Open, Close, Error };

namespace Mailbox {

// Where the mailbox posts its wakes (WakeMessage): Form1's window, after the
// component's end a window of the library, or null when nothing waits.
// What waits is kept across a change, unless the host window it was told to
// is gone.
void Attach(HWND window);

// The host's side. A text the host writes over an announced, unfetched one
// is what GetFile, sendstring and setport read until the handler that wrote
// it has returned (see above); then the announced text is back. Write's
// caller is the frame of the export (the default is taken where it is
// called).
const char* Fetch(); // GetFile
void Write(const Text& text,
           const void* caller = __builtin_frame_address(0)); // SetFile, getport
Text Content();                                              // what sendstring and setport read
// An export that another thread called runs here with that thread's own
// text in place of the host's mailbox (Fetch, Write and Content use it);
// null ends that. Returns what was borrowed before, for nested calls.
Text* Borrow(Text* slot);
void Release(); // unload
// The err# text, for a caller told outside the mailbox (a withdrawn call).
Text ErrorNotice();

// The plug-in's side. A notice replaces the mailbox and clicks, unless
// received data the host has been told of is still unfetched: then it waits
// its turn behind that data. An error waits behind an unfetched open or
// close too, so that the last status a host reads is the port's.
void Post(Notice notice);
// Whether received bytes may go into the mailbox now. When not, they wait in
// the driver, and the mailbox wakes Form1 once the host has fetched.
bool AcceptsData();
// Received bytes: join an unfetched data text, or become a new one with its
// click. A host finds a data text's end at the first "#" that the
// terminating zero follows, so a text ends right after any "#" that a zero
// byte follows in the data; the bytes after it are held and follow as the
// next text, at the next fetch, ahead of any notice.
void PostData(const Text& bytes);
// Received data has been announced and not fetched, or is held for the next
// text.
bool DataUnfetched();
// A notice posted now would wait behind something the host has not fetched.
bool NoticesWait();
// Something announced is unfetched, or waits to be announced.
bool Pending();

// The host has given a new window: a click that has passed unanswered, or
// whose window is gone, goes to it; one still queued in a live window is
// answered there.
void Reannounce();

// A chance to ask again for what a lost message may have left undone: a
// click that is owed, or passed unanswered longer than the grace, goes (again)
// to the newest host window, and a lost wake is posted anew. Never changes
// the mailbox, so any host call and every relay tick may run it.
void Recover();

// Form1's answer to WakeMessage (its wParam): a probe says its click has
// been dispatched; a wake delivers the next waiting notice, or says that
// bytes left in the driver may now be relayed.
bool Wake(WPARAM ticket);

constexpr UINT WakeMessage = WM_APP + 0x104;

} // namespace Mailbox
