// ComDevice: the Win32 calls through which the port reaches its device. The
// Win32 implementation forwards to kernel32; tests put a recording one in.
#pragma once

#include "framework/WorkerThread.h"
#include <windows.h>

class ComDevice {
  public:
    virtual HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode, DWORD creation,
                               DWORD flags) = 0;
    // The cause of the last failed call on this thread.
    virtual DWORD GetLastError() = 0;
    virtual BOOL CloseHandle(HANDLE h) = 0;
    virtual BOOL SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue) = 0;
    virtual BOOL SetCommState(HANDLE h, const DCB& dcb) = 0;
    virtual BOOL SetCommTimeouts(HANDLE h, const COMMTIMEOUTS& timeouts) = 0;
    virtual BOOL SetCommMask(HANDLE h, DWORD mask) = 0;
    virtual BOOL WaitCommEvent(HANDLE h, DWORD* mask, OVERLAPPED* overlapped) = 0;
    virtual BOOL PurgeComm(HANDLE h, DWORD flags) = 0;
    virtual BOOL ClearCommError(HANDLE h, DWORD* errors, COMSTAT* status) = 0;
    virtual BOOL GetCommModemStatus(HANDLE h, DWORD* status) = 0;
    virtual BOOL ReadFile(HANDLE h, void* bytes, DWORD count, DWORD* done,
                          OVERLAPPED* overlapped) = 0;
    virtual BOOL WriteFile(HANDLE h, const void* bytes, DWORD count, DWORD* done,
                           OVERLAPPED* overlapped) = 0;
    virtual BOOL GetOverlappedResult(HANDLE h, OVERLAPPED* overlapped, DWORD* done, BOOL wait) = 0;
    // Cancels the I/O that the calling thread issued on h.
    virtual BOOL CancelIo(HANDLE h) = 0;

    // The event thread's start and its waits pass here as well, so that tests
    // can make them fail as an exhausted system would.
    // A running thread that calls handler(context, thread); its ThreadHandle
    // is null when CreateThread failed.
    virtual WorkerThread* StartThread(EventSlot<DWORD()>::HandlerFn handler, void* context) = 0;
    // WaitForMultipleObjects for any one of handles.
    virtual DWORD WaitForAny(DWORD count, const HANDLE* handles, DWORD timeoutMs) = 0;
    // GetTickCount, which the event thread's deadlines read (on Windows it
    // moves in steps of a clock tick, 10 to 16 ms).
    virtual DWORD TickCount() = 0;

  protected:
    ~ComDevice() = default;
};

// The kernel32 device layer; one stateless instance serves every port.
ComDevice* Win32ComDevice();
