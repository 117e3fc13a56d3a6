// The exported functions in ordinal order, the mailboxes and the information
// texts. The export directory itself is in exports.S. Every export uses the C
// calling convention and handles bad input quietly: the host's process must
// never see a crash from here.
#include "plugin/PluginAPI.h"

LibraryState Library;

namespace {

const char InfoText[] = "Quillon Tarvex\r\n";
const char ShortInfoText[] = "Quillon Minvex";
const char CopyrightText[] = "Copyright (c) 2026 Quillon. All rights reserved.";

} // namespace

#define EXPORT extern "C" __cdecl

EXPORT void exp_Close() {}
EXPORT void exp_open() {}
EXPORT void exp_getport() {}
EXPORT void exp_setport() {}
EXPORT void exp_getstring() {}
EXPORT void exp_sendstring() {}
EXPORT std::int32_t exp_GetData() { return Library.IntMailbox; } // ordinals 7 and 26
EXPORT void exp_senddata() {}
EXPORT void exp_getparity() {}
EXPORT void exp_setparity() {}
EXPORT void exp_getstopbit() {}
EXPORT void exp_setstopbit() {}
EXPORT void exp_getdatabit() {}
EXPORT void exp_setdatabit() {}
EXPORT void exp_getbaudrate() {}
EXPORT void exp_setbaudrate() {}

EXPORT void exp_Draw(std::int32_t /*ignored*/, std::int32_t left, std::int32_t top,
                     std::int32_t width, std::int32_t height) {
    Library.DrawRect = {left, top, width, height};
}

EXPORT void exp_SetParentWindow(HWND window) { Library.HostWindow = window; }
EXPORT std::int32_t exp_CreateObject() { return 0; }
EXPORT std::int32_t exp_Interface() { return 0; }
EXPORT std::int32_t exp_HasIntDlg() { return 1; }
EXPORT const char* exp_GetInfo() { return InfoText; }
EXPORT const char* exp_GetShortInfo() { return ShortInfoText; }
EXPORT const char* exp_Copyright() { return CopyrightText; }
EXPORT void exp_SetPath(const char* path) { Library.PluginPath = Text(path); }
EXPORT void exp_SetData(std::int32_t value) { Library.IntMailbox = value; }
EXPORT const char* exp_GetFile() { return Library.TextMailbox.Data(); }
EXPORT void exp_SetFile(const char* text) { Library.TextMailbox = Text(text); }

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_DETACH) {
        Library.TextMailbox = Text();
        Library.PluginPath = Text();
    }
    return TRUE;
}
