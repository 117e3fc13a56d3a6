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

// Where the mailbox asks for Form1's attention when it is free again
// (WakeMessage); null while no component lives.
void Attach(HWND window);

// The host's side.
const char* Fetch();          // GetFile: the content, now taken by the host
void Write(const Text& text); // SetFile, getport: the host's own text
const Text& Content();        // what sendstring and setport read
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

// The host has given a new window: what it was told and has not fetched is
// told again there.
void Reannounce();

// Form1's answer to WakeMessage: delivers the next waiting notice, or says
// that bytes left in the driver may now be relayed.
bool Wake();

constexpr UINT WakeMessage = WM_APP + 0x104;

} // namespace Mailbox
