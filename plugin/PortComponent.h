// The component record, shared by the component (Unit1.cpp) and its device
// link (DeviceLink.cpp). Its threads are set out at the top of Unit1.cpp.
#pragma once

#include "plugin/DeviceLink.h"

#include "framework/BaseObject.h"
#include <windows.h>

class ComPort;
class Timer;
class WindowObject;

// Form1 owns the record and everything it refers to.
struct PortComponent : BaseObject {
    WindowObject* Form1 = nullptr;
    Timer* StartupTimer = nullptr;
    ComPort* Port = nullptr;
    Timer* RelayTimer = nullptr;
    bool Shown = false;    // the start-up move has run
    DeviceLink Link;       // the host's thread's alone, but for its reports
    HWND Window = nullptr; // Form1's window, the target of the private messages
    // A line error, set by the event thread, taken by the host's.
    volatile LONG ErrorRaised = 0;
};

// Private messages to Form1's window.
constexpr UINT StartupTickMessage = WM_APP + 0x101;
constexpr UINT RelayTickMessage = WM_APP + 0x102;
constexpr UINT ErrorMessage = WM_APP + 0x103;
constexpr UINT SearchTickMessage = WM_APP + 0x105;

// A line error the event thread raised and the host's thread has not yet
// told, taken; and told, once, on the host's thread.
bool TakeRaisedError(PortComponent* c);
void TellRaisedError(PortComponent* c);
