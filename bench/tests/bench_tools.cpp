// The benchmarks' own instruments on the rig: the raw baseline reader, the
// peer's clock and stamped transfers, the rate-paced stream, percentiles. A
// fault here would make every figure of the table wrong without a sign.
#include <doctest/doctest.h>

#include "PeerClock.h"
#include "RawReader.h"
#include "Stats.h"

namespace {

constexpr int kCom = 2;

struct Received {
    int seed = 0;
    volatile long position = 0;
    volatile long firstMismatch = -1;
    volatile double lastAt = 0;
};
void Check(void* context, const unsigned char* data, DWORD count, double atMs) {
    auto* r = static_cast<Received*>(context);
    long position = r->position;
    for (DWORD i = 0; i < count; ++i, ++position)
        if (r->firstMismatch < 0 && data[i] != PeerClient::PatternByte(r->seed, position))
            r->firstMismatch = position;
    r->lastAt = atMs;
    r->position = position; // last: the main thread waits on it
}

bool WaitFor(const volatile long& value, long target, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (value < target)
        if (GetTickCount() - start > timeoutMs)
            return false;
        else
            Sleep(10);
    return true;
}

} // namespace

TEST_CASE("percentiles are nearest-rank") {
    std::vector<double> v;
    for (int i = 100; i >= 1; --i)
        v.push_back(i);
    struct Case {
        double p, expected;
    } cases[] = {{0, 1}, {1, 1}, {50, 50}, {99, 99}, {99.5, 100}, {100, 100}};
    for (const Case& c : cases)
        CHECK(Percentile(v, c.p) == c.expected);
    CHECK(Percentile({}, 50) == 0);
    CHECK(Percentile({7}, 99) == 7);
}

TEST_CASE("the raw reader gets a stream exactly and stops with its wait pending, again and again") {
    PeerClient peer;
    REQUIRE(peer.Attach(kCom));
    for (int round = 0; round < 3; ++round) {
        Received r;
        r.seed = 11 + round;
        RawReader reader;
        REQUIRE(reader.Open(kCom, 115200));
        REQUIRE(reader.Start(Check, &r));
        const long total = 300000;
        REQUIRE(peer.Stream(kCom, total, r.seed));
        CHECK(WaitFor(r.position, total, 30000));
        Sleep(200); // anything more would be a duplicate
        reader.Stop();
        CHECK(r.position == total);
        CHECK(r.firstMismatch == -1);
        CHECK(reader.events > 0);
    }
}

TEST_CASE("the peer's clock maps onto ours, and its stamps fall inside our request") {
    PeerClient peer;
    REQUIRE(peer.Attach(kCom));
    PeerClock clock;
    REQUIRE(clock.Calibrate(peer));
    CHECK(clock.errorMs < 20);
    RawReader port;
    REQUIRE(port.Open(kCom, 115200));
    for (int i = 0; i < 5; ++i) {
        double t0 = NowMs();
        PeerClient::Stamped w = peer.WriteStamped(kCom, "stamp");
        double t1 = NowMs();
        REQUIRE(w.ok);
        CHECK(w.before <= w.after);
        // Margins far wider than the calibration's error.
        CHECK(clock.ToLocal(w.before) > t0 - 50);
        CHECK(clock.ToLocal(w.after) < t1 + 50);
    }
}

TEST_CASE("a stamped read returns exactly what the program wrote") {
    PeerClient peer;
    REQUIRE(peer.Attach(kCom));
    RawReader port;
    REQUIRE(port.Open(kCom, 115200));
    std::string bytes;
    for (int i = 0; i < 5000; ++i)
        bytes += static_cast<char>(i * 13);
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD n = 0;
    if (!WriteFile(port.Handle(), bytes.data(), DWORD(bytes.size()), &n, &ov))
        GetOverlappedResult(port.Handle(), &ov, &n, TRUE);
    CloseHandle(ov.hEvent);
    PeerClient::StampedRead got = peer.ReadStamped(kCom, int(bytes.size()), 10000);
    CHECK(got.ok);
    CHECK(got.bytes == bytes);
    CHECK(got.first > 0);
    CHECK(got.first <= got.last);
    // Nothing waiting: an empty answer when the time is up, not an error.
    got = peer.ReadStamped(kCom, 10, 100);
    CHECK(got.ok);
    CHECK(got.bytes.empty());
}

TEST_CASE("a rate stream keeps to its rate, not ahead of it and not behind") {
    PeerClient peer;
    REQUIRE(peer.Attach(kCom));
    Received r;
    r.seed = 5;
    RawReader reader;
    REQUIRE(reader.Open(kCom, 115200));
    REQUIRE(reader.Start(Check, &r));
    const long rate = 12800, total = rate * 2;
    double start = NowMs();
    REQUIRE(peer.StreamRate(kCom, total, rate, r.seed));
    Sleep(1000);
    long atOneSecond = r.position;
    CHECK(WaitFor(r.position, total, 15000));
    double took = (r.lastAt - start) / 1000;
    reader.Stop();
    CHECK(r.firstMismatch == -1);
    // Half the bytes after one second of two, within wide margins for a busy
    // machine; all of them in about two seconds, not at once.
    CHECK(atOneSecond > total / 4);
    CHECK(atOneSecond < total * 3 / 4);
    CHECK(took > 1.5);
    CHECK(took < 6);
}
