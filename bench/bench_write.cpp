// Writing: 64 KiB through comrelay.dll as a host sends it (SetFile, then
// sendstring) beside a raw overlapped WriteFile of the same bytes on the same
// line. Two figures each: when the call returned, and when the peer had read
// every byte (its clock, mapped onto ours). Every byte is checked.
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

// No zero byte: SetFile takes the text up to its first zero.
std::string Payload() {
    std::string s(kBytes, '\0');
    for (int i = 0; i < kBytes; ++i)
        s[i] = static_cast<char>(1 + (i * 7 + i / 251) % 255);
    return s;
}

// The helper thread's request and result; the main thread reads the result
// only after the thread has ended.
struct PeerRead {
    PeerClient::StampedRead result;
    HANDLE thread = nullptr;
    static DWORD WINAPI Run(void* self) {
        PeerClient peer;
        static_cast<PeerRead*>(self)->result = peer.ReadStamped(kCom, kBytes, 30000);
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

    std::printf("write of %d bytes, median of %d (ms; %d raw and %d relay rounds wrong):\n", kBytes,
                kRounds, raw.wrong, relay.wrong);
    std::printf("  raw WriteFile      returned %7.2f  peer had all %7.2f\n",
                Percentile(raw.returned, 50), Percentile(raw.delivered, 50));
    std::printf("  sendstring         returned %7.2f  peer had all %7.2f\n",
                Percentile(relay.returned, 50), Percentile(relay.delivered, 50));
    BenchJson json;
    json.Number("bytes", kBytes);
    json.Number("raw_returned_ms", Percentile(raw.returned, 50));
    json.Number("raw_delivered_ms", Percentile(raw.delivered, 50));
    json.Number("relay_returned_ms", Percentile(relay.returned, 50));
    json.Number("relay_delivered_ms", Percentile(relay.delivered, 50));
    json.Number("wrong", raw.wrong + relay.wrong);
    json.Save("write");
    return raw.wrong || relay.wrong ? 1 : 0;
}
