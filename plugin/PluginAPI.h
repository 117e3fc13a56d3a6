// Library-wide state of the plug-in: the two mailboxes, the host's window and
// rectangle, and the objects built on demand.
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
    Text TextMailbox; // any bytes; GetFile hands out its storage
    Text PluginPath;  // kept, never read
    HWND HostWindow;
    DrawRectangle DrawRect;
    WindowObject* LibraryApplet;   // made at load, never freed
    WindowObject* ComponentApplet; // owns Form1 while the component lives
    PortComponent* Component;      // null before SetParentWindow and after its end
    WindowObject* DialogApplet;    // only while Interface runs
    SettingsDialog* Dialog;        // only while Interface runs
};

extern LibraryState Library;

// Replaces the text mailbox. Every writer goes through here, so that a
// pending data notification knows when it has been overwritten.
void SetTextMailbox(const Text& text);
