// CPU cost of an open, silent port over 10 s: the ComPort with its event
// thread beside a raw program that keeps one WaitCommEvent pending on the
// same line. Wine's emulation of a pending wait polls by itself, so the raw
// figure, not zero, is the floor; the event thread's own time should be 0.
#include "BenchClock.h"
#include "comport/ComPort.h"
#include "comport/EventThread.h"
#include "support/PeerClient.h"

#include <cstdio>

namespace {

constexpr DWORD kSpan = 10000;

// Process CPU over one span of doing nothing on this thread.
double CpuOverSpan() {
    double before = ProcessCpuMs();
    Sleep(kSpan);
    return ProcessCpuMs() - before;
}

double RawPendingWait() {
    HANDLE h = CreateFileA("\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    SetCommMask(h, 0x05FF);
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD mask = 0;
    WaitCommEvent(h, &mask, &ov);
    double cpu = CpuOverSpan();
    // The wait writes into mask and ov when it ends: let it end first.
    SetCommMask(h, 0);
    WaitForSingleObject(ov.hEvent, 5000);
    CloseHandle(ov.hEvent);
    CloseHandle(h);
    return cpu;
}

void ArmRelay(void* context, BaseObject*, std::int32_t) {
    ++*static_cast<int*>(context);
}

double PortIdle(double* eventThreadMs) {
    int rxChars = 0;
    ComPort* port = NewComPort();
    port->SetPortName("COM1");
    port->OnRxChar.Set(ArmRelay, &rxChars);
    port->Open();
    if (!port->Connected || !port->EventThread) return -1;
    HANDLE thread = port->EventThread->Thread->ThreadHandle;
    Sleep(200); // let the thread settle into its wait
    double threadBefore = ThreadCpuMs(thread);
    double cpu = CpuOverSpan();
    *eventThreadMs = ThreadCpuMs(thread) - threadBefore;
    port->Close();
    Free(port);
    return cpu;
}

} // namespace

int main() {
    PeerClient peer;
    if (!peer.Attach(1)) {
        std::printf("the rig's peer cannot be reached\n");
        return 1;
    }
    double nothing = CpuOverSpan();
    double raw = RawPendingWait();
    double eventThread = 0;
    double port = PortIdle(&eventThread);
    // GetProcessTimes under wine counts in clock ticks of 10 ms.
    std::printf("process CPU over %.0f s (ms, +-10):\n", kSpan / 1000.0);
    std::printf("  nothing open                      %8.1f\n", nothing);
    std::printf("  raw program, one WaitCommEvent    %8.1f\n", raw);
    std::printf("  ComPort open and idle             %8.1f\n", port);
    std::printf("  ComPort minus raw                 %8.1f\n", port - raw);
    std::printf("  the port's event thread itself    %8.1f\n", eventThread);
    return 0;
}
