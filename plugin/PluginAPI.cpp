// The exported functions in ordinal order, the mailboxes and the information
// texts. The export directory itself is in exports.S. Every export uses the C
// calling convention and handles bad input quietly: the host's process must
// never see a crash from here.
#include "plugin/PluginAPI.h"

#include "framework/WindowObject.h"
#include "plugin/Mailbox.h"
#include "plugin/Unit1.h"
#include "plugin/Unit2.h"
#include <climits>
#include <cstring>
#include <initializer_list>

LibraryState Library;

namespace {

const char InfoText[] = "Quillon Tarvex\r\n";
const char ShortInfoText[] = "Quillon Minvex";
const char CopyrightText[] = "Copyright (c) 2026 Quillon. All rights reserved.";

// Whether the region that info describes can be read without a fault. A
// guard page is not: the first read would disarm it (the host may rely on it
// to grow a stack), and under wine lstrlenA and IsBadReadPtr catch only
// access violations, so the guard exception would end the host.
bool Readable(const MEMORY_BASIC_INFORMATION& info) {
    const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                           PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    return info.State == MEM_COMMIT && (info.Protect & readable) &&
           !(info.Protect & (PAGE_GUARD | PAGE_NOACCESS));
}

// The length of a zero-terminated text, found without touching memory that
// is not readable: each region is asked about before any of its bytes are
// read. False for a text that runs into such memory (or into the end of the
// address space, or past the longest text a copy can hold).
bool MeasureHostText(const char* text, int& length) {
    const char* at = text;
    for (;;) {
        MEMORY_BASIC_INFORMATION info;
        if (!VirtualQuery(at, &info, sizeof info) || !Readable(info)) return false;
        const char* end = static_cast<const char*>(info.BaseAddress) + info.RegionSize;
        if (end <= at) return false; // wrapped around
        if (const void* zero = std::memchr(at, 0, size_t(end - at))) {
            size_t n = size_t(static_cast<const char*>(zero) - text);
            if (n > size_t(INT_MAX)) return false;
            length = int(n);
            return true;
        }
        if (size_t(end - text) > size_t(INT_MAX)) return false;
        at = end;
    }
}

// A copy of a text the host hands over: null is the empty text; a text that
// cannot be measured safely, or copied, is refused. False leaves copy alone.
bool CopyHostText(const char* text, Text& copy) {
    if (!text) {
        copy = Text();
        return true;
    }
    int length = 0;
    return MeasureHostText(text, length) && copy.TryAssign(text, length);
}

} // namespace

// No TLS directory: the module keeps no thread-local data, and the runtime's
// TLS support (pulled in through this one callback) is left out. Under wine 8.0
// loading a module that has one can spin for good in a process whose serial
// waits have ended before: each such wait is a wine thread that ends without
// the loader's thread detach, and the loader's list of threads goes wrong.
extern "C" const PIMAGE_TLS_CALLBACK __dyn_tls_init_callback = nullptr;

void HoldModule() {
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCSTR>(&HoldModule), &self);
}

#define EXPORT extern "C" __cdecl

EXPORT void exp_Close() {
    SerialClose();
}
EXPORT void exp_open() {
    SerialOpen();
}
EXPORT void exp_getport() {
    SerialGetPort();
}
EXPORT void exp_setport() {
    SerialSetPort();
}
EXPORT void exp_getstring() {}
EXPORT void exp_sendstring() {
    SerialSendString();
}
EXPORT std::int32_t exp_GetData() {
    return Library.IntMailbox;
} // ordinals 7 and 26
EXPORT void exp_senddata() {}
EXPORT void exp_getparity() {}
EXPORT void exp_setparity() {}
EXPORT void exp_getstopbit() {
    SerialGetStopBits();
}
EXPORT void exp_setstopbit() {
    SerialSetStopBits();
}
EXPORT void exp_getdatabit() {
    SerialGetDataBits();
}
EXPORT void exp_setdatabit() {
    SerialSetDataBits();
}
EXPORT void exp_getbaudrate() {
    SerialGetBaudRate();
}
EXPORT void exp_setbaudrate() {
    SerialSetBaudRate();
}

EXPORT void exp_Draw(std::int32_t /*ignored*/, std::int32_t left, std::int32_t top,
                     std::int32_t width, std::int32_t height) {
    ComponentDraw(left, top, width, height);
}

EXPORT void exp_SetParentWindow(HWND window) {
    ComponentSetParentWindow(window);
}
EXPORT std::int32_t exp_CreateObject() {
    return 0;
}
EXPORT std::int32_t exp_Interface() {
    return RunSettingsDialog();
}
EXPORT std::int32_t exp_HasIntDlg() {
    return 1;
}
EXPORT const char* exp_GetInfo() {
    return InfoText;
}
EXPORT const char* exp_GetShortInfo() {
    return ShortInfoText;
}
EXPORT const char* exp_Copyright() {
    return CopyrightText;
}
EXPORT void exp_SetPath(const char* path) {
    CopyHostText(path, Library.PluginPath);
}
EXPORT void exp_SetData(std::int32_t value) {
    Library.IntMailbox = value;
}

EXPORT const char* exp_GetFile() {
    return Mailbox::Fetch();
}

EXPORT void exp_SetFile(const char* text) {
    Text copy;
    if (CopyHostText(text, copy)) Mailbox::Write(copy);
}

// Load creates the library's applet (an object; no window is made); unload
// releases the texts. A component keeps the module loaded while it lives, so
// at unload no window of ours exists and the classes can go with the code:
// Windows keeps a DLL's classes registered after the DLL itself is gone.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        Library.LibraryApplet = NewApplet(Text("vekplug"));
        Applet = Library.LibraryApplet;
    } else if (reason == DLL_PROCESS_DETACH) {
        Mailbox::Release();
        Library.PluginPath = Text();
        if (!reserved)
            for (const char* name : {"obj_App", "obj_Form", "obj_BUTTON", "obj_EDIT"})
                UnregisterClassA(name, instance);
    }
    return TRUE;
}
