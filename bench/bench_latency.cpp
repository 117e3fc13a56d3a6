// Latency from a peer byte to its reader: the raw reader (the platform's
// best) and a host through comrelay.dll, whose click handler is the end. The
// origin is the peer's clock just before it wrote the byte into the pty,
// mapped onto this program's clock. One byte per sample, each its own relay
// batch, the next written 0-20 ms (at random) after the last was handled so
// that samples fall at every phase of wine's event poll. The host runs twice:
// with EV_RXCHAR once per arrival (as Windows raises it) and for as long as
// bytes wait (as wine does with a real port).
//   bench_latency [--samples N]
#include "BenchJson.h"
#include "PeerClock.h"
#include "RawReader.h"
#include "RelayHost.h"
#include "Stats.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr int kWarmUp = 10;
constexpr int kCom = 1;

// The raw reader's sink: when the byte came; the caller waits on the event.
struct Arrival {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    volatile double atMs = 0;
} arrival;
void Arrived(void*, const unsigned char*, DWORD, double atMs) {
    arrival.atMs = atMs;
    SetEvent(arrival.event);
}

double clickAt = 0; // NowMs() on entry to the host's last click handler
LRESULT CALLBACK StampClicks(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_LBUTTONDOWN) clickAt = NowMs();
    return CallWindowProcA(RelayHost::Original(), hwnd, msg, wp, lp);
}

std::string SampleByte(int i) {
    return std::string(1, static_cast<char>('A' + i % 26));
}

void Report(const char* name, const std::vector<double>& v) {
    std::printf("  %-22s %4zu samples: median %6.2f ms  p99 %6.2f ms  max %6.2f ms  min %6.2f ms\n",
                name, v.size(), Percentile(v, 50), Percentile(v, 99), Percentile(v, 100),
                Percentile(v, 0));
}

} // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    int samples = 500;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--samples") == 0) samples = std::atoi(argv[i + 1]);
    std::srand(7);
    BenchJson json;

    // The raw reader.
    std::vector<double> raw;
    int rawLost = 0;
    double rawOffsetDrift = 0;
    {
        PeerClient peer;
        PeerClock clock;
        if (!peer.Attach(kCom) || !clock.Calibrate(peer)) {
            std::printf("the rig's peer cannot be reached\n");
            return 1;
        }
        RawReader reader;
        if (!reader.Open(kCom, 115200) || !reader.Start(Arrived, nullptr)) {
            std::printf("COM%d did not open\n", kCom);
            return 1;
        }
        Sleep(200);
        for (int i = 0; i < kWarmUp + samples; ++i) {
            arrival.atMs = 0;
            PeerClient::Stamped w = peer.WriteStamped(kCom, SampleByte(i));
            if (!w.ok || WaitForSingleObject(arrival.event, 2000) != WAIT_OBJECT_0) {
                ++rawLost;
                continue;
            }
            if (i >= kWarmUp) raw.push_back(arrival.atMs - clock.ToLocal(w.before));
            Sleep(static_cast<DWORD>(std::rand() % 21));
        }
        reader.Stop();
        PeerClock again;
        again.Calibrate(peer);
        rawOffsetDrift = again.offsetMs - clock.offsetMs;
        json.Number("clock_error_ms", clock.errorMs);
    }

    // The host through the DLL, on an edge line and then on a level one.
    struct RelayRun {
        std::vector<double> samples;
        int lost = 0, wrong = 0;
        double offsetDrift = 0;
    };
    auto runRelay = [&](bool level, RelayRun& run) {
        RelayHost r(115200, kCom);
        if (!r.ready || !r.peer.LevelRxChar(kCom, level)) return false;
        r.Subclass(StampClicks);
        PeerClock clock;
        clock.Calibrate(r.peer);
        for (int i = 0; i < kWarmUp + samples; ++i) {
            r.host.received.clear();
            clickAt = 0;
            PeerClient::Stamped w = r.peer.WriteStamped(kCom, SampleByte(i));
            if (!w.ok || !r.WaitQuietly([] { return clickAt > 0; }, 2000)) {
                ++run.lost;
                continue;
            }
            if (r.host.received.size() != 1 ||
                r.host.received[0].bytes != "str#" + SampleByte(i) + "#")
                ++run.wrong;
            if (i >= kWarmUp) run.samples.push_back(clickAt - clock.ToLocal(w.before));
            double gap = std::rand() % 21;
            r.WaitQuietly([] { return false; }, static_cast<DWORD>(gap));
        }
        // A late second click would mean a byte relayed twice.
        r.WaitQuietly([] { return false; }, 200);
        if (r.host.received.size() > 1) ++run.wrong;
        PeerClock again;
        again.Calibrate(r.peer);
        run.offsetDrift = again.offsetMs - clock.offsetMs;
        r.peer.LevelRxChar(kCom, false);
        return true;
    };
    RelayRun edgeRun, levelRun;
    if (!runRelay(false, edgeRun) || !runRelay(true, levelRun)) return 1;
    std::vector<double>& relay = edgeRun.samples;
    int relayLost = edgeRun.lost, relayWrong = edgeRun.wrong;
    double relayOffsetDrift = edgeRun.offsetDrift;

    std::printf("latency, peer byte to reader (%d raw and %d relay samples lost, %d relay texts "
                "wrong; clock offsets drifted %.3f and %.3f ms):\n",
                rawLost, relayLost, relayWrong, rawOffsetDrift, relayOffsetDrift);
    Report("raw reader", raw);
    Report("host click handler", relay);
    Report("the same, level EV_RXCHAR", levelRun.samples);
    std::printf("  (level: %d lost, %d wrong)\n", levelRun.lost, levelRun.wrong);
    const double pct[] = {50, 99, 100, 0};
    const char* names[] = {"median", "p99", "max", "min"};
    for (int k = 0; k < 4; ++k) {
        json.Number((std::string("raw_") + names[k]).c_str(), Percentile(raw, pct[k]));
        json.Number((std::string("relay_") + names[k]).c_str(), Percentile(relay, pct[k]));
        json.Number((std::string("level_") + names[k]).c_str(),
                    Percentile(levelRun.samples, pct[k]));
    }
    json.Number("raw_lost", rawLost);
    json.Number("relay_lost", relayLost);
    json.Number("relay_wrong", relayWrong);
    json.Number("level_lost", levelRun.lost);
    json.Number("level_wrong", levelRun.wrong);
    json.Number("clock_drift_ms", std::max({std::abs(rawOffsetDrift), std::abs(relayOffsetDrift),
                                            std::abs(levelRun.offsetDrift)}));
    json.Numbers("raw_samples", raw);
    json.Numbers("relay_samples", relay);
    json.Save("latency");
    return rawLost || relayLost || relayWrong || levelRun.lost || levelRun.wrong ||
                   int(relay.size()) < samples || int(levelRun.samples.size()) < samples
               ? 1
               : 0;
}
