// Throughput without pacing: a 10 MB pattern stream as fast as the pty takes
// it, to the raw reader and then through comrelay.dll to a host answering
// every click with GetFile, every byte checked in order. The relay reads once
// per 50 ms tick what InputCount reports, so what the driver queue holds per
// tick bounds it; the table says how much that is.
//   bench_unpaced [--megabytes N]
#include "BenchJson.h"
#include "RawReader.h"
#include "RelayHost.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr int kCom = 1;
constexpr int kSeed = 29;

struct Run {
    long position = 0, firstMismatch = -1, chunks = 0, largest = 0;
    double lastAt = 0;
    void Check(const unsigned char* data, long count, double at) {
        for (long i = 0; i < count; ++i, ++position)
            if (firstMismatch < 0 && data[i] != PeerClient::PatternByte(kSeed, position))
                firstMismatch = position;
        ++chunks;
        largest = std::max(largest, count);
        lastAt = at;
    }
};
Run raw, relay;

void RawSink(void*, const unsigned char* data, DWORD count, double atMs) {
    raw.Check(data, long(count), atMs);
}

LRESULT CALLBACK AnswerClicks(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg != WM_LBUTTONDOWN) return CallWindowProcA(RelayHost::Original(), hwnd, msg, wp, lp);
    const char* text =
        reinterpret_cast<TestHost*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA))->plugin.GetFile();
    if (std::strncmp(text, "str#", 4) != 0) return 0;
    // The data may hold zeros; the pattern never holds "#" then a zero.
    const char* end = text + 4;
    while (!(end[0] == '#' && end[1] == 0))
        ++end;
    relay.Check(reinterpret_cast<const unsigned char*>(text + 4), long(end - text - 4), NowMs());
    return 0;
}

struct Result {
    bool exact;
    double seconds, rate, perChunk;
};

Result Summarize(const char* name, const Run& run, long total, double start, bool finished) {
    Result r;
    r.exact = finished && run.firstMismatch < 0 && run.position == total;
    r.seconds = (run.lastAt - start) / 1000;
    r.rate = r.seconds > 0 ? run.position / r.seconds : 0;
    r.perChunk = run.chunks ? double(run.position) / run.chunks : 0;
    std::printf("  %-11s %ld bytes in %.2f s = %.0f B/s; %ld %s of %.0f bytes (largest %ld), "
                "%s\n",
                name, run.position, r.seconds, r.rate, run.chunks,
                &run == &raw ? "reads" : "notifications", r.perChunk, run.largest,
                r.exact ? "exact" : "NOT exact");
    return r;
}

} // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    long megabytes = 10;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--megabytes") == 0) megabytes = std::atol(argv[i + 1]);
    const long total = megabytes * 1024 * 1024;
    BenchJson json;
    std::printf("unpaced stream of %ld bytes:\n", total);

    // Loaded before the raw half, and held: under wine 8.0 a process that has
    // done many serial waits can spin in the loader when it loads the plug-in
    // later (each wait is a wine thread that ends without the loader's thread
    // detach). The relay half's own load then finds it loaded.
    HMODULE plugin = LoadLibraryA("comrelay.dll");
    if (!plugin) {
        std::printf("comrelay.dll did not load\n");
        return 1;
    }

    Result rawResult;
    {
        PeerClient peer;
        RawReader reader;
        if (!peer.Attach(kCom) || !reader.Open(kCom, 256000) || !reader.Start(RawSink, nullptr)) {
            std::printf("COM%d did not open for the raw reader\n", kCom);
            return 1;
        }
        double start = NowMs();
        if (!peer.Stream(kCom, total, kSeed)) return 1;
        DWORD deadline = GetTickCount() + 300000;
        while (raw.position < total && raw.firstMismatch < 0 &&
               static_cast<LONG>(deadline - GetTickCount()) > 0)
            Sleep(20);
        Sleep(300); // anything past the end would be a duplicate
        reader.Stop();
        rawResult = Summarize("raw reader", raw, total, start, raw.position >= total);
    }

    RelayHost r(256000, kCom);
    if (!r.ready) return 1;
    r.Subclass(AnswerClicks);
    double start = NowMs();
    if (!r.peer.Stream(kCom, total, kSeed)) return 1;
    bool finished =
        r.WaitQuietly([&] { return relay.position >= total || relay.firstMismatch >= 0; }, 900000);
    r.WaitQuietly([] { return false; }, 300);
    Result relayResult = Summarize("relay", relay, total, start, finished);
    double period = relay.chunks ? relayResult.seconds * 1000 / relay.chunks : 0;
    std::printf("  the relay's bound: %ld bytes at most per tick (the pty's queue as InputCount "
                "reports it), one tick every %.1f ms\n",
                relay.largest, period);

    json.Number("bytes", double(total));
    json.Number("raw_rate", rawResult.rate);
    json.Number("raw_per_read", rawResult.perChunk);
    json.Number("raw_exact", rawResult.exact);
    json.Number("raw_seconds", rawResult.seconds);
    json.Number("relay_rate", relayResult.rate);
    json.Number("relay_per_notification", relayResult.perChunk);
    json.Number("relay_largest", double(relay.largest));
    json.Number("relay_period_ms", period);
    json.Number("relay_exact", relayResult.exact);
    json.Number("relay_seconds", relayResult.seconds);
    json.Save("unpaced");
    return rawResult.exact && relayResult.exact ? 0 : 1;
}
