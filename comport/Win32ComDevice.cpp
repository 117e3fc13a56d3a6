// The device layer on kernel32: each call forwards unchanged.
#include "comport/ComDevice.h"

namespace {

class Kernel32Device final : public ComDevice {
  public:
    HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode, DWORD creation,
                       DWORD flags) override {
        return ::CreateFileA(path, access, shareMode, nullptr, creation, flags, nullptr);
    }
    DWORD GetLastError() override { return ::GetLastError(); }
    BOOL CloseHandle(HANDLE h) override { return ::CloseHandle(h); }
    BOOL SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue) override {
        return ::SetupComm(h, inQueue, outQueue);
    }
    BOOL SetCommState(HANDLE h, const DCB& dcb) override {
        DCB copy = dcb; // the API takes a non-const pointer
        return ::SetCommState(h, &copy);
    }
    BOOL SetCommTimeouts(HANDLE h, const COMMTIMEOUTS& timeouts) override {
        COMMTIMEOUTS copy = timeouts;
        return ::SetCommTimeouts(h, &copy);
    }
    BOOL SetCommMask(HANDLE h, DWORD mask) override { return ::SetCommMask(h, mask); }
    BOOL WaitCommEvent(HANDLE h, DWORD* mask, OVERLAPPED* overlapped) override {
        return ::WaitCommEvent(h, mask, overlapped);
    }
    BOOL PurgeComm(HANDLE h, DWORD flags) override { return ::PurgeComm(h, flags); }
    BOOL ClearCommError(HANDLE h, DWORD* errors, COMSTAT* status) override {
        return ::ClearCommError(h, errors, status);
    }
    BOOL GetCommModemStatus(HANDLE h, DWORD* status) override {
        return ::GetCommModemStatus(h, status);
    }
    BOOL ReadFile(HANDLE h, void* bytes, DWORD count, DWORD* done,
                  OVERLAPPED* overlapped) override {
        return ::ReadFile(h, bytes, count, done, overlapped);
    }
    BOOL WriteFile(HANDLE h, const void* bytes, DWORD count, DWORD* done,
                   OVERLAPPED* overlapped) override {
        return ::WriteFile(h, bytes, count, done, overlapped);
    }
    BOOL GetOverlappedResult(HANDLE h, OVERLAPPED* overlapped, DWORD* done, BOOL wait) override {
        return ::GetOverlappedResult(h, overlapped, done, wait);
    }
    BOOL CancelIo(HANDLE h) override { return ::CancelIo(h); }
    WorkerThread* StartThread(EventSlot<DWORD()>::HandlerFn handler, void* context) override {
        return NewThreadWithExecute(handler, context);
    }
    DWORD WaitForAny(DWORD count, const HANDLE* handles, DWORD timeoutMs) override {
        return ::WaitForMultipleObjects(count, handles, FALSE, timeoutMs);
    }
    DWORD TickCount() override { return ::GetTickCount(); }
};

// Stateless and constant-initialized, so it needs no start-up code and is
// safe to use from any thread.
Kernel32Device kernel32Device;

} // namespace

ComDevice* Win32ComDevice() {
    return &kernel32Device;
}
