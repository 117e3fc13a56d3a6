// Library-wide state of the plug-in: the integer mailbox, the host's window
// and rectangle, and the objects built on demand. The text mailbox has its
// own home (Mailbox.h).
#pragma once

#include "framework/Text.h"
#include <cstdint>
#include <windows.h>

class WindowObject;
struct PortComponent;
struct SettingsDialog;

struct DrawRectangle {
    std::int32_t Left, Top, Width, Height;
};

// Everything here belongs to the host's GUI thread (see Unit1.cpp for how the
// timer and event threads hand their work over to it).
struct LibraryState {
    std::int32_t IntMailbox;
    Text PluginPath; // kept, never read
    HWND HostWindow;
    DrawRectangle DrawRect;
    WindowObject* LibraryApplet;   // made at load, never freed
    WindowObject* ComponentApplet; // owns Form1 while the component lives
    PortComponent* Component;      // null before SetParentWindow and after its end
    WindowObject* DialogApplet;    // only while Interface runs
    SettingsDialog* Dialog;        // only while Interface runs
};

extern LibraryState Library;

// Once a component or the settings dialog has run, the module stays loaded
// for the life of the process: windows, timers and the event thread run its
// code, and the host may call FreeLibrary at any time, even from a handler
// that runs inside Interface's wait.
void HoldModule();

// A frame of the plug-in's own on the host's thread: an export, or a message
// of its own windows. Calls from other threads never run inside one.
struct HostFrame {
    HostFrame();
    ~HostFrame();
    HostFrame(const HostFrame&) = delete;
    HostFrame& operator=(const HostFrame&) = delete;
};
int HostFrameCount();

// Interface's modal loop, the one place where the plug-in takes messages on
// purpose: while it runs, its frame is lent back (calls from other threads
// may run), and the host's handlers read the host's own mailboxes, also
// when the Interface is another thread's call.
class ModalLend {
  public:
    ModalLend();
    ~ModalLend();
    ModalLend(const ModalLend&) = delete;
    ModalLend& operator=(const ModalLend&) = delete;

  private:
    void* call_ = nullptr; // the other thread's call under way, if any
    Text* text_ = nullptr;
};

// The host's thread: SetParentWindow claims the plug-in for its thread
// unless another owns it; the owner lets it go when its component ends (and
// as it ends), and the next thread that calls SetParentWindow takes it over.
void ClaimHostThread();
void ReleaseHostThread();
