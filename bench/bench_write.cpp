// Writing: 64 KiB through comrelay.dll as a host sends it (SetFile, then
// sendstring) beside a raw overlapped WriteFile of the same bytes on the same
// line. Two figures each: when the call returned, and when the peer had read
// every byte (its clock, mapped onto ours). Every byte is checked. Then a
// 16 KiB sendstring on the paced line at 9600 and 115200 baud beside the
// line's own time for those bytes (ten bits a byte, 8N1).
//
// Threads: the main thread writes; a helper thread holds a second peer
// connection whose stamped read is under way before the write starts.
#include "BenchJson.h"
#include "PeerClock.h"
#include "RawReader.h"
#include "RelayHost.h"
#include "Stats.h"

#include <vector>

namespace {

constexpr int kCom = 1;
constexpr int kBytes = 64 * 1024;
constexpr int kRounds = 3;

constexpr int kPacedBytes = 16 * 1024;
constexpr int kPacedBauds[] = {9600, 115200};

// No zero byte: SetFile takes the text up to its first zero.
std::string Payload(int size = kBytes) {
    std::string s(size, '\0');
    for (int i = 0; i < size; ++i)
        s[i] = static_cast<char>(1 + (i * 7 + i / 251) % 255);
    return s;
}

// The helper thread's request and result; the main thread reads the result
// only after the thread has ended.
struct PeerRead {
    PeerClient::StampedRead result;
    HANDLE thread = nullptr;
    int count = kBytes;
    static DWORD WINAPI Run(void* self) {
        PeerClient peer;
        auto* read = static_cast<PeerRead*>(self);
        read->result = peer.ReadStamped(kCom, read->count, 60000);
        return 0;
    }
    void Start() {
        thread = CreateThread(nullptr, 0, Run, this, 0, nullptr);
        Sleep(300); // the request reaches the peer and its read is waiting
    }
    void Finish() {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
};

struct Timing {
    std::vector<double> returned, delivered;
    int wrong = 0;
    void Add(double start, double end, const PeerRead& read, const PeerClock& clock,
             const std::string& expected) {
        returned.push_back(end - start);
        delivered.push_back(clock.ToLocal(read.result.last) - start);
        if (read.result.bytes != expected) ++wrong;
    }
};

} // namespace

int main() {
    setvbuf(stdout, nullptr, _IONBF, 0);
    const std::string payload = Payload();
    Timing raw, relay;

    {
        PeerClient peer;
        PeerClock clock;
        RawReader port; // used only for its open; no reader thread
        if (!peer.Attach(kCom) || !clock.Calibrate(peer) || !port.Open(kCom, 256000)) {
            std::printf("COM%d did not open for the raw writer\n", kCom);
            return 1;
        }
        for (int i = 0; i < kRounds; ++i) {
            PeerRead read;
            read.Start();
            OVERLAPPED ov = {};
            ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            DWORD n = 0;
            double t0 = NowMs();
            if (!WriteFile(port.Handle(), payload.data(), kBytes, &n, &ov) &&
                GetLastError() == ERROR_IO_PENDING)
                GetOverlappedResult(port.Handle(), &ov, &n, TRUE);
            double t1 = NowMs();
            CloseHandle(ov.hEvent);
            read.Finish();
            raw.Add(t0, t1, read, clock, payload);
        }
    }

    {
        // One component at a time: it ends with its host window.
        RelayHost r(256000, kCom);
        if (!r.ready) return 1;
        PeerClock clock;
        clock.Calibrate(r.peer);
        for (int i = 0; i < kRounds; ++i) {
            PeerRead read;
            read.Start();
            r.host.plugin.SetFile(payload.c_str());
            double t0 = NowMs();
            r.host.plugin.Call("sendstring");
            double t1 = NowMs();
            read.Finish();
            relay.Add(t0, t1, read, clock, payload);
        }
    }

    // The paced line: 17 s a round at 9600 baud, so one there, three above.
    std::vector<double> pacedMs, lineMs;
    int pacedWrong = 0;
    const std::string paced = Payload(kPacedBytes);
    for (int baud : kPacedBauds) {
        RelayHost p(baud, kCom);
        if (!p.ready) return 1;
        std::vector<double> took;
        for (int i = 0; i < (baud < 19200 ? 1 : kRounds); ++i) {
            PeerRead read;
            read.count = kPacedBytes;
            read.Start();
            p.host.plugin.SetFile(paced.c_str());
            double t0 = NowMs();
            p.host.plugin.Call("sendstring");
            took.push_back(NowMs() - t0);
            read.Finish();
            if (read.result.bytes != paced) ++pacedWrong;
        }
        pacedMs.push_back(Percentile(took, 50));
        lineMs.push_back(10000.0 * kPacedBytes / baud);
    }

    std::printf("write of %d bytes, median of %d (ms; %d raw and %d relay rounds wrong):\n", kBytes,
                kRounds, raw.wrong, relay.wrong);
    std::printf("  raw WriteFile      returned %7.2f  peer had all %7.2f\n",
                Percentile(raw.returned, 50), Percentile(raw.delivered, 50));
    std::printf("  sendstring         returned %7.2f  peer had all %7.2f\n",
                Percentile(relay.returned, 50), Percentile(relay.delivered, 50));
    std::printf("sendstring of %d bytes on a paced line (ms; %d rounds wrong):\n", kPacedBytes,
                pacedWrong);
    for (size_t i = 0; i < pacedMs.size(); ++i)
        std::printf("  %6d baud        returned %9.2f  the line's time %9.2f  (%+.2f%%)\n",
                    kPacedBauds[i], pacedMs[i], lineMs[i], 100.0 * (pacedMs[i] / lineMs[i] - 1));
    BenchJson json;
    json.Number("bytes", kBytes);
    json.Number("raw_returned_ms", Percentile(raw.returned, 50));
    json.Number("raw_delivered_ms", Percentile(raw.delivered, 50));
    json.Number("relay_returned_ms", Percentile(relay.returned, 50));
    json.Number("relay_delivered_ms", Percentile(relay.delivered, 50));
    json.Number("wrong", raw.wrong + relay.wrong);
    json.Number("paced_bytes", kPacedBytes);
    json.Numbers("paced_baud", std::vector<double>(std::begin(kPacedBauds), std::end(kPacedBauds)));
    json.Numbers("paced_returned_ms", pacedMs);
    json.Numbers("paced_line_ms", lineMs);
    json.Number("paced_wrong", pacedWrong);
    json.Save("write");
    return raw.wrong || relay.wrong || pacedWrong ? 1 : 0;
}
