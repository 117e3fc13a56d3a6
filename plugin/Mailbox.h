// The text mailbox and the plug-in's notifications through it: a tagged text
// written into the mailbox, then a click posted to the host's window.
//
// Threads: everything here runs on the host's GUI thread. The timer and event
// threads never touch the mailbox; they post their work to Form1's window.
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
// is its own until an export has read it (GetFile, sendstring, setport);
// the announced text waits aside meanwhile and then comes back.
const char* Fetch();          // GetFile
void Write(const Text& text); // SetFile, getport: the host's own text
Text Content();               // what sendstring and setport read
void Release();               // unload

// The plug-in's side. A notice replaces the mailbox and clicks, unless
// received data the host has been told of is still unfetched: then it waits
// its turn behind that data.
void Post(Notice notice);
// Whether received bytes may go into the mailbox now. When not, they wait in
// the driver, and the mailbox wakes Form1 once the host has fetched.
bool AcceptsData();
// Received bytes: join an unfetched data text, or become a new one with its
// click.
void PostData(const Text& bytes);
// Received data has been announced and not fetched.
bool DataUnfetched();
// A notice posted now would wait behind something the host has not fetched.
bool NoticesWait();
// Something announced is unfetched, or waits to be announced.
bool Pending();

// The host has given a new window. A click still queued in the old one is
// answered there; one that can no longer be answered (its window gone, or
// passed unanswered) is sent again to the new window.
void Reannounce();

// Asks again for what a lost message may have left undone: a click that
// could not be posted or whose window is gone goes (again) to the newest
// host window, and a lost wake is posted anew. Never changes the mailbox, so
// any host call and every relay tick may run it.
void Recover();

// Form1's answer to WakeMessage (its wParam): delivers the next waiting
// notice, clicks again for a text put back after its click had passed, or
// says that bytes left in the driver may now be relayed.
bool Wake(WPARAM ticket);

constexpr UINT WakeMessage = WM_APP + 0x104;

} // namespace Mailbox
