// Idle cost: CPU time of the host process (GetProcessTimes) over a span with
// the port open and silent through comrelay.dll, beside the same process
// keeping one raw WaitCommEvent pending on the same line. Wine serves a
// pending wait by polling the device, which costs CPU by itself, so the raw
// wait, not zero, is the floor. Two rounds, alternating, show the noise.
//   bench_idle [--seconds S]
#include "BenchJson.h"
#include "RelayHost.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr int kCom = 1;

} // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    double seconds = 10;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
    const DWORD span = static_cast<DWORD>(seconds * 1000);

    // The host with the component built and the port closed.
    RelayHost r(9600, kCom);
    if (!r.ready) return 1;
    r.host.plugin.Call("Close");
    r.host.WaitNotifications(1);
    auto idle = [&] {
        r.WaitQuietly([] { return false; }, 500); // settle
        double before = ProcessCpuMs();
        r.WaitQuietly([] { return false; }, span);
        return ProcessCpuMs() - before;
    };
    double nothing = idle();

    double raw[2], relay[2];
    for (int round = 0; round < 2; ++round) {
        HANDLE h =
            CreateFileA(("\\\\.\\COM" + std::to_string(kCom)).c_str(), GENERIC_READ | GENERIC_WRITE,
                        0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (h == INVALID_HANDLE_VALUE) return 1;
        SetCommMask(h, EV_RXCHAR);
        OVERLAPPED ov = {};
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD mask = 0;
        WaitCommEvent(h, &mask, &ov);
        raw[round] = idle();
        // The wait writes into mask and ov when it ends: let it end first.
        SetCommMask(h, 0);
        WaitForSingleObject(ov.hEvent, 5000);
        CloseHandle(ov.hEvent);
        CloseHandle(h);

        size_t seen = r.host.received.size();
        r.host.plugin.Call("open");
        r.host.WaitNotifications(seen + 1);
        relay[round] = idle();
        r.host.plugin.Call("Close");
        r.host.WaitNotifications(seen + 2);
    }
    double rawMean = (raw[0] + raw[1]) / 2, relayMean = (relay[0] + relay[1]) / 2;
    // GetProcessTimes under wine counts in clock ticks of 10 ms.
    std::printf("process CPU over %.0f s (ms, in 10 ms ticks):\n", seconds);
    std::printf("  host, port closed              %7.0f\n", nothing);
    std::printf("  raw WaitCommEvent pending      %7.0f  %7.0f\n", raw[0], raw[1]);
    std::printf("  comrelay port open, silent     %7.0f  %7.0f\n", relay[0], relay[1]);
    std::printf("  comrelay minus raw             %7.0f ms (%+.1f%%)\n", relayMean - rawMean,
                rawMean > 0 ? 100 * (relayMean - rawMean) / rawMean : 0.0);
    BenchJson json;
    json.Number("seconds", seconds);
    json.Number("closed_ms", nothing);
    json.Number("raw_ms", rawMean);
    json.Number("relay_ms", relayMean);
    json.Numbers("raw_rounds_ms", {raw[0], raw[1]});
    json.Numbers("relay_rounds_ms", {relay[0], relay[1]});
    json.Save("idle");
    return 0;
}
