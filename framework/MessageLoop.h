// Message processing on the calling thread: one message, or the whole queue.
// The plug-in never owns the host's main loop; its modal wait builds on these.
#pragma once

class WindowObject;

// Set when ProcessMessage takes WM_QUIT; while it is set message hooks are
// skipped. The owner of the wait clears it (TakeQuit) as soon as the wait
// ends, and hands the quit on.
extern bool QuitReceived;
// The exit code of that WM_QUIT, so that a caller can post it again for the host.
extern int QuitExitCode;

// Takes one message of the calling thread (any window) and dispatches it,
// unless it is WM_QUIT or the window's MessageFilter handles it. window may be
// null; it only supplies the filter. False when the queue was empty or the
// message taken was WM_NULL or WM_QUIT.
bool ProcessMessage(WindowObject* window);
// ProcessMessage until it answers false: a WM_QUIT ends the run.
void ProcessMessages(WindowObject* window);
// Sleeps until the calling thread's queue holds a message, also one that an
// earlier peek has seen and left there (WaitMessage would sleep past it).
void WaitForMessage();
// For the owner of a wait: clears QuitReceived, so that hooks run again at
// once, and answers whether the wait took a WM_QUIT.
bool TakeQuit();
// Posts the WM_QUIT taken last again, with its exit code, for the loop that
// runs the wait.
void HandBackQuit();
