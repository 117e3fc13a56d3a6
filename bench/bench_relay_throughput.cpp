// Throughput of the received-data relay: a 10 MB pattern stream from the peer
// to a host that answers each click with GetFile, every byte checked in
// order. The figure is bytes relayed per second of wall time.
#include "RelayHost.h"

namespace {

constexpr long kTotal = 10L * 1024 * 1024;
constexpr int kSeed = 29;
constexpr DWORD kTimeoutMs = 600000;

long position = 0;       // stream bytes seen so far
long firstMismatch = -1; // stream position of the first wrong byte
long notifications = 0;
double lastByteAt = 0;

// The host's click: GetFile and check the data against the pattern. The text
// is "str#" + data + "#" with a zero after it; data may hold zeros and "#",
// but the pattern never holds "#" followed by a zero, so that pair ends it.
LRESULT CALLBACK AnswerClicks(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg != WM_LBUTTONDOWN) return CallWindowProcA(RelayHost::Original(), hwnd, msg, wp, lp);
    const char* text =
        reinterpret_cast<TestHost*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA))->plugin.GetFile();
    if (std::strncmp(text, "str#", 4) != 0) return 0;
    ++notifications;
    for (const char* p = text + 4; !(p[0] == '#' && p[1] == 0); ++p, ++position) {
        if (firstMismatch < 0 &&
            static_cast<unsigned char>(*p) != PeerClient::PatternByte(kSeed, position))
            firstMismatch = position;
    }
    lastByteAt = NowMs();
    return 0;
}

} // namespace

int main() {
    RelayHost r(256000);
    if (!r.ready) return 1;
    r.Subclass(AnswerClicks);
    ClockCheck clock;

    double start = NowMs();
    DWORD tickStart = GetTickCount();
    if (!r.peer.Stream(1, kTotal, kSeed)) {
        std::printf("the peer did not start the stream\n");
        return 1;
    }
    bool finished =
        r.host.PumpUntil([] { return position >= kTotal || firstMismatch >= 0; }, kTimeoutMs);
    DWORD tickEnd = GetTickCount();
    double seconds = (lastByteAt - start) / 1000.0;
    // Anything past the stream's end would be a fault too.
    r.host.Pump(300);
    bool done = r.peer.StreamStatus(1).done;
    bool matched = finished && firstMismatch < 0 && position == kTotal;

    std::printf("relay throughput: %ld bytes in %.3f s = %.0f bytes/s (%.0f by GetTickCount), "
                "%ld notifications (%.0f bytes each), bytes %s\n",
                position, seconds, seconds > 0 ? position / seconds : 0.0,
                tickEnd > tickStart ? position * 1000.0 / (tickEnd - tickStart) : 0.0,
                notifications, notifications ? double(position) / notifications : 0.0,
                matched ? "all matched in order" : "NOT matched");
    if (!matched)
        std::printf("  expected %ld bytes; first mismatch at %ld; timed out: %s\n", kTotal,
                    firstMismatch, finished ? "no" : "yes");
    if (!done) std::printf("  the peer reports the stream unfinished\n");
    clock.Report();
    return matched && done ? 0 : 1;
}
