// The soak run behind `./run.sh soak [minutes]`: a host streams both ways
// through comrelay.dll for a long time (peer -> host through the relay, host
// -> peer with sendstring), checks every byte against the rig's sequence
// pattern and reports bytes, notifications, errors and the memory and handle
// trends.
//
// Threads: the main thread is the host (its window, every export, the
// checks of received data). A reader thread drains what the host sends from
// the peer and checks it; it shares only its counters, written by it alone
// and read by the main thread as plain aligned 32-bit values for the report.
#include "plugin/TestHost.h"
#include "support/PeerClient.h"
#include "support/ProcessCounters.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const int PeerSeed = 72; // peer -> host: the rig's pattern
const size_t SendChunk = 2048;

// Host -> peer: the mailbox ends at a zero byte, so this sequence has none.
unsigned char HostByte(unsigned long i) {
    return static_cast<unsigned char>(1 + (i * 7 + i / 251) % 255);
}

struct Sample {
    double minutes;
    SIZE_T privateBytes;
    SIZE_T heapInUse;
    DWORD handles;
};

struct ReaderState {
    volatile LONG stop = 0;
    volatile LONG bytes = 0;
    volatile LONG mismatches = 0;
};

DWORD WINAPI ReadLine(void* p) {
    auto* s = static_cast<ReaderState*>(p);
    PeerClient peer;
    unsigned long position = 0;
    while (!s->stop) {
        std::string chunk = peer.Read(1, 1 << 16, 200);
        for (unsigned char c : chunk)
            if (c != HostByte(position++)) InterlockedIncrement(&s->mismatches);
        InterlockedExchangeAdd(&s->bytes, static_cast<LONG>(chunk.size()));
    }
    return 0;
}

// Least-squares slope of y over minutes.
template <class F> double Slope(const std::vector<Sample>& samples, F y) {
    double n = static_cast<double>(samples.size()), sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (const Sample& s : samples) {
        sx += s.minutes, sy += y(s), sxx += s.minutes * s.minutes, sxy += s.minutes * y(s);
    }
    double d = n * sxx - sx * sx;
    return d > 0 ? (n * sxy - sx * sy) / d : 0;
}

} // namespace

int main(int argc, char** argv) {
    double minutes = argc > 1 ? std::atof(argv[1]) : 10;
    if (minutes <= 0) minutes = 10;
    setvbuf(stdout, nullptr, _IONBF, 0);

    PeerClient peer;
    if (!peer.Attach(1)) {
        std::printf("soak: the rig's peer does not answer\n");
        return 2;
    }
    TestHost host;
    if (!host.Adopt()) {
        std::printf("soak: the component did not start\n");
        return 2;
    }
    host.plugin.SetData(256000);
    host.plugin.Call("setbaudrate");
    host.plugin.Call("open");
    if (!host.WaitNotifications(1) || host.received[0].text != "sts#Open#") {
        std::printf("soak: COM1 did not open\n");
        return 2;
    }
    host.received.clear();

    ReaderState reader;
    HANDLE readerThread = CreateThread(nullptr, 0, ReadLine, &reader, 0, nullptr);
    // More than the whole run can carry: the peer streams to the end.
    peer.Stream(1, 0x7FFFFFFF, PeerSeed);

    std::printf("soak: %.1f minutes, COM1 at 256000 baud, both directions\n", minutes);
    std::printf("%8s %12s %12s %8s %12s %12s %8s\n", "minutes", "peer->host", "host->peer", "notes",
                "private", "heap in use", "handles");
    const DWORD start = GetTickCount();
    const DWORD length = static_cast<DWORD>(minutes * 60000);
    unsigned long received = 0, sent = 0, notifications = 0, errors = 0, other = 0;
    bool ordered = true;
    std::vector<Sample> samples;
    DWORD nextSample = start, nextSend = start;
    for (;;) {
        DWORD now = GetTickCount();
        if (static_cast<LONG>(now - nextSample) >= 0) {
            double m = (now - start) / 60000.0;
            samples.push_back({m, PrivateBytes(), HeapInUse(), HandleCount()});
            std::printf("%8.2f %12lu %12ld %8lu %12lu %12lu %8lu\n", m, received, reader.bytes,
                        notifications, static_cast<unsigned long>(samples.back().privateBytes),
                        static_cast<unsigned long>(samples.back().heapInUse),
                        samples.back().handles);
            nextSample += 10000;
        }
        if (now - start >= length) break;
        if (static_cast<LONG>(now - nextSend) >= 0) {
            std::string chunk(SendChunk, '\0');
            for (size_t i = 0; i < SendChunk; ++i)
                chunk[i] = static_cast<char>(HostByte(sent + i));
            host.plugin.SetFile(chunk.c_str());
            host.plugin.Call("sendstring");
            sent += SendChunk;
            nextSend += 50;
        }
        host.Pump(5);
        for (const Notification& n : host.received) {
            ++notifications;
            if (n.text.rfind("str#", 0) == 0) {
                for (size_t i = 4; i + 1 < n.bytes.size(); ++i, ++received)
                    if (static_cast<unsigned char>(n.bytes[i]) !=
                        PeerClient::PatternByte(PeerSeed, received))
                        ordered = false;
            } else if (n.text.rfind("err#", 0) == 0) {
                ++errors;
            } else {
                ++other;
            }
        }
        host.received.clear();
    }
    reader.stop = 1;
    WaitForSingleObject(readerThread, INFINITE);
    CloseHandle(readerThread);
    host.plugin.Call("Close");
    host.Pump(200);

    double elapsed = (GetTickCount() - start) / 1000.0;
    // Trends from the first sample after warm-up (buffers, window surfaces).
    std::vector<Sample> trend(samples.size() > 2 ? samples.begin() + 1 : samples.begin(),
                              samples.end());
    const Sample& first = trend.front();
    const Sample& last = trend.back();
    double memorySlope = Slope(trend, [](const Sample& s) { return double(s.privateBytes); });
    double heapSlope = Slope(trend, [](const Sample& s) { return double(s.heapInUse); });
    double handleSlope = Slope(trend, [](const Sample& s) { return double(s.handles); });
    std::printf("\nsoak summary over %.0f s\n", elapsed);
    std::printf("  peer -> host: %lu bytes (%.0f bytes/s), %lu notifications, %s\n", received,
                received / elapsed, notifications, ordered ? "in order" : "OUT OF ORDER");
    std::printf("  host -> peer: %lu bytes sent, %ld read by the peer, %ld mismatched\n", sent,
                reader.bytes, reader.mismatches);
    std::printf("  errors: %lu error notifications, %lu other texts\n", errors, other);
    std::printf("  private bytes: %lu -> %lu (%+.0f bytes/min)\n",
                static_cast<unsigned long>(first.privateBytes),
                static_cast<unsigned long>(last.privateBytes), memorySlope);
    std::printf("  heap in use: %lu -> %lu (%+.0f bytes/min)\n",
                static_cast<unsigned long>(first.heapInUse),
                static_cast<unsigned long>(last.heapInUse), heapSlope);
    std::printf("  handles: %lu -> %lu (%+.2f /min)\n", first.handles, last.handles, handleSlope);
    bool ok = ordered && errors == 0 && reader.mismatches == 0 && received > 0 &&
              static_cast<unsigned long>(reader.bytes) + 2 * SendChunk >= sent;
    std::printf("soak: %s\n", ok ? "OK" : "FAILED");
    return ok ? 0 : 1;
}
