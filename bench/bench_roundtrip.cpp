// One WriteText + echo by the far end + ReadText on the rig, timed by parts:
// the write, the echo (the peer reads and writes back over its socket), the
// delivery (until OnRxChar reports the whole echo waiting) and the read. Also
// the process CPU per round trip.
#include "BenchClock.h"
#include "comport/ComPort.h"
#include "support/PeerClient.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kRounds = 200;
constexpr int kWarmUp = 10;
constexpr int kBytes = 16;

struct Parts {
    double write, echo, delivery, read, total;
};

void Arrived(void* context, BaseObject*, std::int32_t) {
    SetEvent(static_cast<HANDLE>(context));
}

void Report(const char* name, std::vector<double> v) {
    std::sort(v.begin(), v.end());
    auto at = [&](double q) { return v[size_t(q * (v.size() - 1))]; };
    std::printf("  %-9s median %7.2f  p90 %7.2f  max %7.2f\n", name, at(0.5), at(0.9), v.back());
}

} // namespace

int main() {
    PeerClient peer;
    if (!peer.Attach(1)) {
        std::printf("the rig's peer cannot be reached\n");
        return 1;
    }
    HANDLE arrived = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ComPort* port = NewComPort();
    port->SetPortName("COM1");
    port->OnRxChar.Set(Arrived, arrived);
    port->Open();
    if (!port->Connected) {
        std::printf("COM1 did not open\n");
        return 1;
    }
    Sleep(200);

    std::vector<Parts> parts;
    double cpuBefore = 0;
    int failures = 0;
    for (int i = 0; i < kWarmUp + kRounds; ++i) {
        if (i == kWarmUp) cpuBefore = ProcessCpuMs();
        std::string bytes;
        for (int k = 0; k < kBytes; ++k)
            bytes += char(PeerClient::PatternByte(i, k));
        Text out(bytes.data(), kBytes);
        ResetEvent(arrived);

        double t0 = NowMs();
        port->WriteText(out);
        double t1 = NowMs();
        std::string echo = peer.Read(1, kBytes, 5000);
        peer.Write(1, echo);
        double t2 = NowMs();
        // The echo is in the pty by now; delivery is the time until the
        // event thread has seen it and called OnRxChar.
        while (WaitForSingleObject(arrived, 5000) == WAIT_OBJECT_0 && port->InputCount() < kBytes) {
        }
        double t3 = NowMs();
        Text in;
        port->ReadText(in, kBytes);
        double t4 = NowMs();

        if (std::string(in.Data(), in.Length()) != bytes) ++failures;
        if (i >= kWarmUp) parts.push_back({t1 - t0, t2 - t1, t3 - t2, t4 - t3, t4 - t0});
    }
    double cpu = ProcessCpuMs() - cpuBefore;
    port->Close();
    Free(port);
    CloseHandle(arrived);

    std::printf("%d round trips of %d bytes on COM1 (ms; %d wrong):\n", kRounds, kBytes, failures);
    auto column = [&](double Parts::*m) {
        std::vector<double> v;
        for (auto& p : parts)
            v.push_back(p.*m);
        return v;
    };
    Report("WriteText", column(&Parts::write));
    Report("echo", column(&Parts::echo));
    Report("delivery", column(&Parts::delivery));
    Report("ReadText", column(&Parts::read));
    Report("total", column(&Parts::total));
    std::printf("  process CPU per round trip %.2f ms\n", cpu / kRounds);
    return failures ? 1 : 0;
}
