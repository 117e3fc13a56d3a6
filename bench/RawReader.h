// The baseline reader: the fastest a Win32 program can notice and read bytes
// on a COM port. One overlapped WaitCommEvent for EV_RXCHAR, then at once a
// ReadFile of everything waiting (the read time-outs make it return with
// what the driver holds), in a tight loop with no batching.
//
// Threads: the caller opens, starts and stops the reader; the reader thread
// owns the wait and the reads and hands each chunk to the sink as it comes,
// on the reader thread. Stop sets stopping_, ends the pending wait with
// SetCommMask(h, 0) and waits for the thread; only then does Close run.
//
// Wine completes a wait from a helper thread of its own, which stores the
// mask and the status first and signals the wait's event last. So the loop
// waits for the event, not for the status (GetOverlappedResult with wait
// TRUE returns on the status alone): a helper still about to signal would
// otherwise signal a closed, perhaps reused, handle. The wait's storage and
// events live for the whole process besides (one reader at a time).
#pragma once

#include "BenchClock.h"

#include <string>

class RawReader {
  public:
    // Called on the reader thread with each chunk and the time it was read.
    using Sink = void (*)(void* context, const unsigned char* data, DWORD count, double atMs);

    RawReader() = default;
    RawReader(const RawReader&) = delete;
    RawReader& operator=(const RawReader&) = delete;
    ~RawReader() {
        Stop();
        Close();
    }

    // 8N1 at baud without handshake; reads return at once, writes never time
    // out.
    bool Open(int com, int baud) {
        std::string name = "\\\\.\\COM" + std::to_string(com);
        port_ = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
        if (port_ == INVALID_HANDLE_VALUE) return false;
        DCB dcb = {};
        dcb.DCBlength = sizeof dcb;
        GetCommState(port_, &dcb);
        dcb.BaudRate = static_cast<DWORD>(baud);
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fBinary = TRUE;
        dcb.fParity = dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fOutX = dcb.fInX = FALSE;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        SetCommState(port_, &dcb);
        COMMTIMEOUTS t = {MAXDWORD, 0, 0, 0, 0};
        SetCommTimeouts(port_, &t);
        SetCommMask(port_, EV_RXCHAR);
        PurgeComm(port_, PURGE_RXCLEAR | PURGE_TXCLEAR);
        return true;
    }
    HANDLE Handle() const { return port_; }

    bool Start(Sink sink, void* context) {
        sink_ = sink;
        context_ = context;
        stopping_ = 0;
        thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
        return thread_ != nullptr;
    }
    void Stop() {
        if (!thread_) return;
        InterlockedExchange(&stopping_, 1);
        // SetCommMask(h, 0) ends the pending wait. But a wait that the thread
        // issues just after it pends in wine, with a mask of 0, until the
        // next SetCommMask: so again, until the thread has gone.
        do
            SetCommMask(port_, 0);
        while (WaitForSingleObject(thread_, 20) == WAIT_TIMEOUT);
        CloseHandle(thread_);
        thread_ = nullptr;
        SetCommMask(port_, EV_RXCHAR);
    }
    void Close() {
        if (port_ != INVALID_HANDLE_VALUE) CloseHandle(port_);
        port_ = INVALID_HANDLE_VALUE;
    }

    // Written by the reader thread; read by the caller after Stop.
    long events = 0; // completed waits
    long reads = 0;  // reads that brought bytes

  private:
    static DWORD WINAPI Run(void* self) {
        static_cast<RawReader*>(self)->Loop();
        return 0;
    }

    void Loop() {
        static OVERLAPPED wait, read;
        static DWORD mask;
        static unsigned char buffer[1 << 16];
        static HANDLE waitEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        static HANDLE readEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        wait = OVERLAPPED{};
        read = OVERLAPPED{};
        wait.hEvent = waitEvent;
        read.hEvent = readEvent;
        while (!stopping_) {
            // Everything waiting, at once.
            for (;;) {
                DWORD n = 0;
                ResetEvent(read.hEvent);
                if (!ReadFile(port_, buffer, sizeof buffer, &n, &read)) {
                    if (GetLastError() != ERROR_IO_PENDING ||
                        !GetOverlappedResult(port_, &read, &n, TRUE))
                        n = 0;
                }
                if (n == 0) break;
                ++reads;
                sink_(context_, buffer, n, NowMs());
                if (n < sizeof buffer) break;
            }
            DWORD unused = 0;
            mask = 0;
            ResetEvent(wait.hEvent);
            if (!WaitCommEvent(port_, &mask, &wait)) {
                if (GetLastError() != ERROR_IO_PENDING) {
                    Sleep(1); // a mask of 0 while stopping, or a failing line
                    continue;
                }
                WaitForSingleObject(wait.hEvent, INFINITE);
                GetOverlappedResult(port_, &wait, &unused, FALSE);
            }
            ++events;
        }
    }

    HANDLE port_ = INVALID_HANDLE_VALUE;
    HANDLE thread_ = nullptr;
    Sink sink_ = nullptr;
    void* context_ = nullptr;
    volatile LONG stopping_ = 0;
};
