#!/usr/bin/env python3
"""Reads the import directories of comrelay.dll and comrelay-host.exe and fails
on any function that Windows 7 lacks: Windows refuses to load a module whose
import it cannot find, so one such call would stop the plug-in or the host
from starting there at all. The list holds what newer headers and this code's
own subjects (DPI, waits, threads, time) make easy to reach for; GetDpiForWindow
and its kind have to be looked up at run time instead.
Usage: windows7_imports.py MODULE..."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from check_exports import PE  # noqa: E402

# Function -> the first Windows that has it.
NEWER_THAN_WINDOWS_7 = {
    "GetDpiForWindow": "10 1607", "GetDpiForSystem": "10 1607",
    "GetSystemMetricsForDpi": "10 1607", "SystemParametersInfoForDpi": "10 1607",
    "AdjustWindowRectExForDpi": "10 1607", "EnableNonClientDpiScaling": "10 1607",
    "SetProcessDpiAwarenessContext": "10 1703", "SetThreadDpiAwarenessContext": "10 1607",
    "GetThreadDpiAwarenessContext": "10 1607", "GetAwarenessFromDpiAwarenessContext": "10 1607",
    "SetProcessDpiAwareness": "8.1", "GetDpiForMonitor": "8.1",
    "GetPointerType": "8", "GetPointerInfo": "8", "EnableMouseInPointer": "8",
    "GetSystemTimePreciseAsFileTime": "8", "WaitOnAddress": "8", "WakeByAddressSingle": "8",
    "WakeByAddressAll": "8", "GetCurrentThreadStackLimits": "8", "CreateFile2": "8",
    "SetThreadDescription": "10 1607", "GetThreadDescription": "10 1607",
    "SetCoalescableTimer": "8", "InitializeSynchronizationBarrier": "8",
    "EnterSynchronizationBarrier": "8", "GetOverlappedResultEx": "8",
    "PrefetchVirtualMemory": "8", "SetDefaultDllDirectories": "8 (7 with KB2533623)",
    "AddDllDirectory": "8 (7 with KB2533623)",
}


def imported_functions(pe):
    rva = pe.dirs[1][0]
    while pe.u32(rva + 12):
        dll = pe.cstr(pe.u32(rva + 12))
        thunk = pe.u32(rva) or pe.u32(rva + 16)
        while pe.u32(thunk):
            entry = pe.u32(thunk)
            if not entry & 0x80000000:  # by name, not by ordinal
                yield dll, pe.cstr(entry + 2)
            thunk += 4
        rva += 20


def main():
    failures = []
    for path in sys.argv[1:]:
        imports = list(imported_functions(PE(open(path, "rb").read())))
        print("%s: %d functions imported" % (os.path.basename(path), len(imports)))
        for dll, name in imports:
            if name in NEWER_THAN_WINDOWS_7:
                failures.append("%s imports %s!%s (Windows %s)" % (
                    os.path.basename(path), dll, name, NEWER_THAN_WINDOWS_7[name]))
    for f in failures:
        print("FAIL:", f)
    return 1 if failures or not sys.argv[1:] else 0


if __name__ == "__main__":
    sys.exit(main())
