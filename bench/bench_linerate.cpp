// Throughput at line rate: the peer sends the pattern at each table rate's
// own byte rate (baud / 10: a start bit, 8 data bits, a stop bit) for about
// 10 s, through comrelay.dll to a host that answers every click with
// GetFile. Every byte is checked in order (no loss, duplicate or reorder).
// The delivered rate is the steady one: the bytes of every notification but
// the first and the last, over the time from the first click to the one
// before the last. (The first batch waited 50 ms for its tick before the
// clock starts; the last may be read after the stream ended.)
//   bench_linerate [--seconds S]
#include "BenchJson.h"
#include "RelayHost.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr int kCom = 1;
const int kRates[] = {9600, 14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};

struct Run {
    int seed = 0;
    long position = 0, firstMismatch = -1, notifications = 0;
    long firstBatch = 0, lastBatch = 0, largest = 0;
    double firstClick = 0, lastClick = 0, previousClick = 0;
} run;

LRESULT CALLBACK AnswerClicks(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg != WM_LBUTTONDOWN) return CallWindowProcA(RelayHost::Original(), hwnd, msg, wp, lp);
    double at = NowMs();
    const char* text =
        reinterpret_cast<TestHost*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA))->plugin.GetFile();
    if (std::strncmp(text, "str#", 4) != 0) return 0;
    long start = run.position;
    // The data may hold zeros; the pattern never holds "#" then a zero.
    for (const char* p = text + 4; !(p[0] == '#' && p[1] == 0); ++p, ++run.position)
        if (run.firstMismatch < 0 &&
            static_cast<unsigned char>(*p) != PeerClient::PatternByte(run.seed, run.position))
            run.firstMismatch = run.position;
    if (run.notifications++ == 0) {
        run.firstClick = at;
        run.firstBatch = run.position - start;
    }
    run.largest = std::max(run.largest, run.position - start);
    run.lastBatch = run.position - start;
    run.previousClick = run.lastClick;
    run.lastClick = at;
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    double seconds = 10;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
    RelayHost r(9600, kCom);
    if (!r.ready) return 1;
    r.Subclass(AnswerClicks);
    BenchJson json;
    std::vector<double> rates, shares, exact, sizes;
    bool allExact = true;

    std::printf("relay at line rate, %.0f s per rate:\n", seconds);
    for (int baud : kRates) {
        // The rate goes to the open port as a host sets it; the pty itself
        // does not pace, the peer does.
        r.host.plugin.SetData(baud);
        r.host.plugin.Call("setbaudrate");
        const long lineRate = baud / 10;
        const long count = static_cast<long>(lineRate * seconds);
        run = Run();
        run.seed = baud % 251;
        if (!r.peer.StreamRate(kCom, count, lineRate, run.seed)) {
            std::printf("the peer did not start the stream\n");
            return 1;
        }
        bool finished =
            r.WaitQuietly([&] { return run.position >= count || run.firstMismatch >= 0; },
                          static_cast<DWORD>(seconds * 1000 * 3 + 10000));
        // Anything past the stream's end would be a duplicate.
        r.WaitQuietly([] { return false; }, 300);
        bool ok = finished && run.firstMismatch < 0 && run.position == count;
        double span = (run.previousClick - run.firstClick) / 1000;
        double delivered = span > 0 && run.notifications > 2
                               ? (run.position - run.firstBatch - run.lastBatch) / span
                               : 0;
        std::printf("  %6d baud: line %6ld B/s, delivered %8.1f B/s = %6.2f%%, %ld bytes in %ld "
                    "notifications (largest %ld), %s\n",
                    baud, lineRate, delivered, 100.0 * delivered / lineRate, run.position,
                    run.notifications, run.largest,
                    ok                       ? "exact"
                    : run.firstMismatch >= 0 ? "MISMATCH"
                                             : "INCOMPLETE");
        rates.push_back(baud);
        shares.push_back(100.0 * delivered / lineRate);
        exact.push_back(ok ? 1 : 0);
        sizes.push_back(run.notifications ? double(run.position) / run.notifications : 0);
        allExact = allExact && ok;
        if (!ok) r.peer.Attach(kCom), r.WaitQuietly([] { return false; }, 500);
    }
    json.Number("seconds", seconds);
    json.Numbers("baud", rates);
    json.Numbers("share_percent", shares);
    json.Numbers("exact", exact);
    json.Numbers("bytes_per_notification", sizes);
    json.Save("linerate");
    return allExact ? 0 : 1;
}
