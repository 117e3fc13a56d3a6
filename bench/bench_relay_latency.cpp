// Latency of the received-data relay as a host sees it: a peer byte on COM1
// until the host window's WM_LBUTTONDOWN handler (which calls GetFile) runs.
// One byte per sample, spaced so each is its own relay batch; the relay
// waits 50 ms for more bytes on purpose, so that is the floor.
#include "RelayHost.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

constexpr int kWarmUp = 10;
constexpr int kSamples = 250;
constexpr double kSpacingMs = 120;

double clickAt = 0; // NowMs() on entry to the last click handler

LRESULT CALLBACK StampClicks(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_LBUTTONDOWN) clickAt = NowMs();
    return CallWindowProcA(RelayHost::Original(), hwnd, msg, wp, lp);
}

// Nearest-rank percentile.
double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    size_t rank = static_cast<size_t>(p / 100.0 * v.size() + 0.999999);
    return v[std::min(v.size(), std::max<size_t>(rank, 1)) - 1];
}

void Line(const char* name, const std::vector<double>& v) {
    std::printf("  %-34s median %6.2f ms  p99 %6.2f ms  min %6.2f  max %6.2f\n", name,
                Percentile(v, 50), Percentile(v, 99), Percentile(v, 0), Percentile(v, 100));
}

} // namespace

int main() {
    RelayHost r(115200);
    if (!r.ready) return 1;
    r.Subclass(StampClicks);
    ClockCheck clock;

    std::vector<double> fromRequest, fromReply, writeTrip, pingTrip;
    int wrong = 0, missing = 0;
    for (int i = 0; i < kWarmUp + kSamples; ++i) {
        std::string byte(1, static_cast<char>('A' + i % 26));
        double p0 = NowMs();
        r.peer.Ping();
        double p1 = NowMs();

        r.host.received.clear();
        clickAt = 0;
        double t0 = NowMs();
        bool sent = r.peer.Write(1, byte);
        double t1 = NowMs();
        if (!sent || !r.host.WaitNotifications(1, 2000)) {
            ++missing;
        } else {
            // Let the spacing pass: a second click here means two batches.
            r.host.Pump(static_cast<DWORD>(std::max(1.0, kSpacingMs - (NowMs() - t0))));
            if (r.host.received.size() != 1 || r.host.received[0].bytes != "str#" + byte + "#")
                ++wrong;
            if (i >= kWarmUp) {
                fromRequest.push_back(clickAt - t0);
                fromReply.push_back(clickAt - t1);
                writeTrip.push_back(t1 - t0);
                pingTrip.push_back(p1 - p0);
            }
        }
    }

    std::printf("relay latency, peer byte to host click handler, %zu samples %.0f ms apart "
                "(%d missing, %d wrong):\n",
                fromRequest.size(), kSpacingMs, missing, wrong);
    Line("from write request sent", fromRequest);
    Line("from write request answered", fromReply);
    Line("write request round trip", writeTrip);
    Line("ping round trip", pingTrip);
    clock.Report();
    return missing || wrong || fromRequest.size() < 200 ? 1 : 0;
}
