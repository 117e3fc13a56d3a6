// What the plug-in holds in a host process: committed private memory and live
// handles around open/close cycles (beside the same number of raw cycles: open,
// one pending WaitCommEvent, close), and their trend over a run of data
// notifications (one small stream, one click per relay tick, every byte
// checked against the peer's pattern) beside the raw reader's trend on the
// same stream.
//   bench_footprint [--cycles N] [--notifications N] [--port N] [--name NAME]
#include "BenchJson.h"
#include "support/ProcessCounters.h"
#include "support/SerialWaitCycle.h"
#include "RawReader.h"
#include "RelayHost.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr int kSeed = 41;
constexpr int kWarmUpCycles = 20;
constexpr long kWarmUpNotifications = 200;
constexpr int kTrendSamples = 20;

// What the host's click handler saw.
struct Seen {
    long opens = 0, closes = 0, data = 0;
    long position = 0;       // stream bytes so far
    long firstMismatch = -1; // stream position of the first wrong byte
} seen;

LRESULT CALLBACK CountClicks(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg != WM_LBUTTONDOWN) return CallWindowProcA(RelayHost::Original(), hwnd, msg, wp, lp);
    const char* text =
        reinterpret_cast<TestHost*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA))->plugin.GetFile();
    if (std::strcmp(text, "sts#Open#") == 0) {
        ++seen.opens;
    } else if (std::strcmp(text, "sts#Close#") == 0) {
        ++seen.closes;
    } else if (std::strncmp(text, "str#", 4) == 0) {
        ++seen.data;
        // The data may hold zeros; the pattern never holds "#" then a zero.
        for (const char* p = text + 4; !(p[0] == '#' && p[1] == 0); ++p, ++seen.position)
            if (seen.firstMismatch < 0 &&
                static_cast<unsigned char>(*p) != PeerClient::PatternByte(kSeed, seen.position))
                seen.firstMismatch = seen.position;
    }
    return 0;
}

// The raw reader's sink: the same exact check as the host's clicks.
struct RawSeen {
    long position = 0, firstMismatch = -1;
} raw;
void CheckRaw(void*, const unsigned char* data, DWORD count, double) {
    for (DWORD i = 0; i < count; ++i, ++raw.position)
        if (raw.firstMismatch < 0 && data[i] != PeerClient::PatternByte(kSeed, raw.position))
            raw.firstMismatch = raw.position;
}

struct Sample {
    double privateBytes, handles;
};

// The median of five looks 20 ms apart: wine's own short-lived threads (its
// serial wait helpers among them) come and go with megabytes of stack.
Sample Take() {
    std::vector<double> bytes, handles;
    for (int i = 0; i < 5; ++i) {
        if (i) Sleep(20);
        bytes.push_back(double(PrivateBytes()));
        handles.push_back(double(HandleCount()));
    }
    std::sort(bytes.begin(), bytes.end());
    std::sort(handles.begin(), handles.end());
    return {bytes[2], handles[2]};
}

// Least-squares slope of private bytes over seconds; trend holds
// (count, private bytes, handles, seconds) quadruples.
double BytesPerSecond(const std::vector<double>& trend) {
    double n = 0, st = 0, sb = 0, stt = 0, stb = 0;
    for (size_t i = 0; i + 3 < trend.size(); i += 4) {
        double t = trend[i + 3], b = trend[i + 1];
        n += 1, st += t, sb += b, stt += t * t, stb += t * b;
    }
    double d = n * stt - st * st;
    return n > 1 && d > 0 ? (n * stb - st * sb) / d : 0;
}

long Arg(int argc, char** argv, const char* name, long fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) return std::atol(argv[i + 1]);
    return fallback;
}
const char* TextArg(int argc, char** argv, const char* name, const char* fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
    return fallback;
}

} // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0); // progress shows as it comes
    const long cycles = Arg(argc, argv, "--cycles", 1000);
    const long notifications = Arg(argc, argv, "--notifications", 1000);
    const int com = static_cast<int>(Arg(argc, argv, "--port", 1));
    const char* name = TextArg(argc, argv, "--name", "footprint");

    RelayHost r(115200, com);
    if (!r.ready) return 1;
    r.Subclass(CountClicks);
    BenchJson json;
    bool ok = true;

    // Open/close cycles through the exports, each waiting for its
    // notification: a second one would replace the mailbox before the first
    // click is answered. The first few let lazily made things (the heap's
    // free lists, wine's own per-thread data) settle before the first sample.
    long closes = seen.closes;
    r.host.plugin.Call("Close");
    r.WaitQuietly([&] { return seen.closes > closes; }, 10000);
    auto cycle = [&] {
        long opens = seen.opens, closes = seen.closes;
        r.host.plugin.Call("open");
        if (!r.WaitQuietly([&] { return seen.opens > opens; }, 10000)) return false;
        r.host.plugin.Call("Close");
        return r.WaitQuietly([&] { return seen.closes > closes; }, 10000);
    };
    for (int i = 0; i < kWarmUpCycles; ++i)
        ok = cycle() && ok;
    Sample before = Take();
    double t0 = NowMs();
    long failed = 0;
    for (long i = 0; i < cycles; ++i) {
        if (!cycle()) ++failed;
        if ((i + 1) % 500 == 0) {
            // The trend tells a leak (steady growth) from a heap that grew once.
            Sample s = Take();
            std::printf("  %ld open/close cycles: private bytes %.0f, handles %.0f\n", i + 1,
                        s.privateBytes, s.handles);
        }
    }
    double cyclesMs = NowMs() - t0;
    Sample after = Take();
    ok = ok && failed == 0;

    std::printf("%ld open/close cycles in %.1f s (%ld failed): private bytes %.0f -> %.0f, "
                "handles %.0f -> %.0f\n",
                cycles, cyclesMs / 1000, failed, before.privateBytes, after.privateBytes,
                before.handles, after.handles);
    json.Number("cycles", double(cycles));
    json.Number("cycles_failed", double(failed));
    json.Number("cycles_seconds", cyclesMs / 1000);
    json.Number("cycles_private_before", before.privateBytes);
    json.Number("cycles_private_after", after.privateBytes);
    json.Number("cycles_handles_before", before.handles);
    json.Number("cycles_handles_after", after.handles);

    // The same number of raw cycles, in the same process: each does what the
    // event thread does with the device.
    const DWORD rawMask = EV_RXCHAR | EV_TXEMPTY | EV_BREAK | EV_ERR;
    for (int i = 0; i < kWarmUpCycles; ++i)
        SerialWaitCycle(com, rawMask);
    Sample rawBefore = Take();
    long rawFailed = 0;
    for (long i = 0; i < cycles; ++i)
        if (SerialWaitCycle(com, rawMask) != WaitCycle::Done) ++rawFailed;
    Sample rawAfter = Take();
    std::printf("%ld raw open/close cycles (%ld failed): private bytes %.0f -> %.0f, handles %.0f "
                "-> %.0f\n",
                cycles, rawFailed, rawBefore.privateBytes, rawAfter.privateBytes, rawBefore.handles,
                rawAfter.handles);
    json.Number("raw_cycles_failed", double(rawFailed));
    json.Number("raw_cycles_private_before", rawBefore.privateBytes);
    json.Number("raw_cycles_private_after", rawAfter.privateBytes);
    json.Number("raw_cycles_handles_before", rawBefore.handles);
    json.Number("raw_cycles_handles_after", rawAfter.handles);

    // Notifications: one byte every 5 ms, so each relay tick (50 ms after the
    // first byte since the last one) finds a few bytes and posts one click.
    long opens = seen.opens;
    r.host.plugin.Call("open");
    r.WaitQuietly([&] { return seen.opens > opens; }, 10000);
    long streamBytes = (notifications + kWarmUpNotifications) * 40 + 100000;
    if (!r.peer.StreamPaced(com, streamBytes, 1, 5, kSeed)) {
        std::printf("the peer did not start the stream\n");
        return 1;
    }
    // Generous: 20 notifications a second at most, and a busy machine.
    const DWORD timeoutMs = static_cast<DWORD>(notifications * 200 + 60000);
    r.WaitQuietly([] { return seen.data >= kWarmUpNotifications; }, 60000);
    before = Take();
    long base = seen.data;
    t0 = NowMs();
    std::vector<double> trend{0, before.privateBytes, before.handles, 0};
    const long step = std::max(1L, notifications / kTrendSamples);
    for (long next = step; next <= notifications; next += step) {
        if (!r.WaitQuietly([&] { return seen.data - base >= next; }, timeoutMs)) break;
        Sample s = Take();
        double at = (NowMs() - t0) / 1000;
        trend.insert(trend.end(), {double(seen.data - base), s.privateBytes, s.handles, at});
        std::printf("  %ld notifications, %.0f s: private bytes %.0f, handles %.0f\n",
                    seen.data - base, at, s.privateBytes, s.handles);
    }
    after = Take();
    long counted = seen.data - base;
    double notifyMs = NowMs() - t0;
    closes = seen.closes;
    r.host.plugin.Call("Close");
    r.WaitQuietly([&] { return seen.closes > closes; }, 10000);
    r.peer.Attach(com); // ends the stream
    bool exact = seen.firstMismatch < 0 && seen.position > 0;
    double slope = BytesPerSecond(trend);
    std::printf("%ld notifications in %.1f s (%.1f/s, %.1f bytes each, bytes %s): private bytes "
                "%.0f -> %.0f (%.0f bytes/s), handles %.0f -> %.0f\n",
                counted, notifyMs / 1000, counted * 1000.0 / notifyMs,
                double(seen.position) / seen.data, exact ? "exact" : "NOT exact",
                before.privateBytes, after.privateBytes, slope, before.handles, after.handles);
    json.Number("notifications", double(counted));
    json.Number("notifications_asked", double(notifications));
    json.Number("notifications_seconds", notifyMs / 1000);
    json.Number("notifications_exact", exact ? 1 : 0);
    json.Number("notify_private_before", before.privateBytes);
    json.Number("notify_private_after", after.privateBytes);
    json.Number("notify_bytes_per_second", slope);
    json.Number("notify_handles_before", before.handles);
    json.Number("notify_handles_after", after.handles);
    json.Numbers("notify_trend", trend);

    // The baseline: the raw reader on the same stream, as long as the
    // notifications took (two minutes at most), so that what wine itself
    // holds for a busy line shows apart from the plug-in's.
    {
        RawReader reader;
        if (!reader.Open(com, 115200) || !reader.Start(CheckRaw, nullptr)) {
            std::printf("the raw reader could not open COM%d\n", com);
            return 1;
        }
        raw = RawSeen();
        r.peer.StreamPaced(com, 1L << 30, 1, 5, kSeed);
        r.WaitQuietly([] { return false; }, 3000);
        const double rawMs = std::min(std::max(notifyMs, 3000.0), 120000.0);
        Sample first = Take();
        std::vector<double> rawTrend{0, first.privateBytes, first.handles, 0};
        t0 = NowMs();
        for (int i = 1; i <= kTrendSamples; ++i) {
            r.WaitQuietly(
                [] { return false; },
                static_cast<DWORD>(std::max(0.0, t0 + rawMs * i / kTrendSamples - NowMs())));
            Sample s = Take();
            rawTrend.insert(rawTrend.end(), {0, s.privateBytes, s.handles, (NowMs() - t0) / 1000});
        }
        long reads = reader.reads;
        reader.Stop();
        reader.Close();
        r.peer.Attach(com);
        Sample last = {rawTrend[rawTrend.size() - 3], rawTrend[rawTrend.size() - 2]};
        double rawSlope = BytesPerSecond(rawTrend);
        std::printf("raw reader for %.1f s (%ld reads, bytes %s): private bytes %.0f -> %.0f "
                    "(%.0f bytes/s), handles %.0f -> %.0f\n",
                    rawMs / 1000, reads, raw.firstMismatch < 0 ? "exact" : "NOT exact",
                    first.privateBytes, last.privateBytes, rawSlope, first.handles, last.handles);
        json.Number("raw_seconds", rawMs / 1000);
        json.Number("raw_reads", double(reads));
        json.Number("raw_private_before", first.privateBytes);
        json.Number("raw_private_after", last.privateBytes);
        json.Number("raw_bytes_per_second", rawSlope);
        json.Number("raw_handles_before", first.handles);
        json.Number("raw_handles_after", last.handles);
        json.Numbers("raw_trend", rawTrend);
        exact = exact && raw.firstMismatch < 0;
    }
    json.Save(name);
    return ok && exact && counted >= notifications ? 0 : 1;
}
