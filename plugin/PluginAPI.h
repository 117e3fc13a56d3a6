// Library-wide state of the plug-in: the two mailboxes, the host's window and
// rectangle, and the objects built on demand.
#pragma once

#include "framework/Text.h"
#include <cstdint>
#include <windows.h>

struct DrawRectangle {
    std::int32_t Left, Top, Width, Height;
};

struct LibraryState {
    std::int32_t IntMailbox;
    Text TextMailbox; // any bytes; GetFile hands out its storage
    Text PluginPath;  // kept, never read
    HWND HostWindow;
    DrawRectangle DrawRect;
};

// Touched only on the host's thread.
extern LibraryState Library;
