// Idle cost: CPU time of the host process (GetProcessTimes) over a span with
// the port open and silent through comrelay.dll, beside the same process
// keeping one raw WaitCommEvent pending on the same line. Wine serves a
// pending wait by polling the device, which costs CPU by itself, so the raw
// wait, not zero, is the floor. Two rounds, alternating, show the noise.
// Then the same host under both kinds of EV_RXCHAR (once per arrival, as
// Windows raises it, and for as long as bytes wait, as wine does with a real
// port): open and silent, a 2,000 B/s stream, and bytes held in the driver
// behind an open notice the host has not fetched; beside the stream, the raw
// reader (RawReader.h) on the same stream with the plug-in's port closed, the
// least a Win32 program pays to read it. Last, an error storm (every
// look at the line's error counters finds a new framing error, as at a wrong
// baud rate) on the open, silent port: the CPU and the error notices.
//   bench_idle [--seconds S]
#include "BenchJson.h"
#include "RawReader.h"
#include "RelayHost.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr int kCom = 1;
constexpr long kStreamRate = 2000; // bytes per second

// The raw reader's sink, on its thread: bytes read and how many of them broke
// the stream's pattern (the caller reads both after Stop).
struct RawCount {
    long got = 0;
    long wrong = 0;
    int seed = 0;
};
void CountRaw(void* context, const unsigned char* data, DWORD count, double) {
    RawCount& c = *static_cast<RawCount*>(context);
    for (DWORD i = 0; i < count; ++i, ++c.got)
        if (data[i] != PeerClient::PatternByte(c.seed, static_cast<unsigned long>(c.got)))
            ++c.wrong;
}

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

    // Both kinds of EV_RXCHAR, in the same run.
    std::printf("process CPU over %.0f s by EV_RXCHAR kind (ms):  edge   level\n", seconds);
    const char* kinds[] = {"edge", "level"};
    double silent[2] = {}, stream[2] = {}, held[2] = {}, rawStream[2] = {};
    long lost[2] = {}, rawLost[2] = {};
    for (int k = 0; k < 2; ++k) {
        bool level = k == 1;
        if (!r.peer.LevelRxChar(kCom, level)) return 1;
        size_t seen = r.host.received.size();
        r.host.plugin.Call("open");
        r.host.WaitNotifications(seen + 1);
        silent[k] = idle();

        // A stream that outlasts the span; the host answers every click.
        long count = static_cast<long>((seconds + 2) * kStreamRate);
        r.host.received.clear();
        r.peer.StreamRate(kCom, count, kStreamRate, 21);
        stream[k] = idle();
        r.peer.StreamWait(kCom, 30000);
        r.WaitQuietly([] { return false; }, 300);
        long got = 0;
        for (const Notification& n : r.host.received)
            if (n.bytes.rfind("str#", 0) == 0) got += static_cast<long>(n.bytes.size()) - 5;
        lost[k] = count - got;

        // Held: the open notice stays unfetched, so the relay leaves new
        // bytes in the driver.
        r.host.answerClicks = false;
        r.host.plugin.Call("Close");
        int clicks = r.host.clicks;
        r.host.plugin.Call("open");
        r.WaitQuietly([&] { return r.host.clicks > clicks; }, 5000);
        r.peer.Write(kCom, "held bytes");
        held[k] = idle();
        r.host.answerClicks = true;
        r.host.received.clear();
        r.host.Fetch();
        r.host.WaitNotifications(2);
        if (r.host.received.size() < 2 || r.host.received[1].bytes != "str#held bytes#")
            lost[k] += 10;
        r.host.plugin.Call("Close");
        r.host.WaitNotifications(3);

        // The raw reader on the same stream, the plug-in's port closed.
        RawCount raw;
        raw.seed = 22;
        RawReader reader;
        if (!reader.Open(kCom, 9600) || !reader.Start(CountRaw, &raw)) return 1;
        r.peer.StreamRate(kCom, count, kStreamRate, raw.seed);
        rawStream[k] = idle();
        r.peer.StreamWait(kCom, 30000);
        r.WaitQuietly([] { return false; }, 300);
        reader.Stop();
        reader.Close();
        rawLost[k] = count - raw.got + raw.wrong;
    }
    r.peer.LevelRxChar(kCom, false);

    // The storm on an open, silent port: what it costs and how often the
    // host is told (that the bytes still come is a plug-in test).
    size_t seen = r.host.received.size();
    r.host.plugin.Call("open");
    r.host.WaitNotifications(seen + 1);
    r.host.received.clear();
    r.peer.Storm(kCom, true);
    double storm = idle();
    r.peer.Storm(kCom, false);
    long stormErrors = 0;
    for (const Notification& n : r.host.received)
        if (n.bytes.rfind("err#", 0) == 0) ++stormErrors;
    r.host.plugin.Call("Close");
    r.host.WaitNotifications(r.host.received.size() + 1);

    std::printf("  open, silent                    %7.0f %7.0f\n", silent[0], silent[1]);
    std::printf("  %ld B/s stream                  %7.0f %7.0f\n", kStreamRate, stream[0],
                stream[1]);
    std::printf("  bytes held behind a notice      %7.0f %7.0f\n", held[0], held[1]);
    std::printf("  bytes lost                      %7ld %7ld\n", lost[0], lost[1]);
    std::printf("  raw reader, %ld B/s stream      %7.0f %7.0f\n", kStreamRate, rawStream[0],
                rawStream[1]);
    std::printf("  raw reader, bytes lost or wrong %7ld %7ld\n", rawLost[0], rawLost[1]);
    for (int k = 0; k < 2; ++k) {
        std::string p = kinds[k];
        json.Number((p + "_silent_ms").c_str(), silent[k]);
        json.Number((p + "_stream_ms").c_str(), stream[k]);
        json.Number((p + "_held_ms").c_str(), held[k]);
        json.Number((p + "_lost").c_str(), double(lost[k]));
        json.Number((p + "_raw_stream_ms").c_str(), rawStream[k]);
        json.Number((p + "_raw_lost").c_str(), double(rawLost[k]));
    }
    std::printf("  error storm, silent             %7.0f          (%ld error notices)\n", storm,
                stormErrors);
    json.Number("stream_rate", kStreamRate);
    json.Number("storm_ms", storm);
    json.Number("storm_errors", double(stormErrors));
    json.Save("idle");
    return lost[0] || lost[1] || rawLost[0] || rawLost[1] ? 1 : 0;
}
