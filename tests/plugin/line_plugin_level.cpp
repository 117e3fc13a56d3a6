// Received data through the DLL on a line whose driver raises EV_RXCHAR for
// as long as bytes wait, as wine does with a real serial port: the bytes come
// exact, and waiting bytes do not keep a core busy.
#include <doctest/doctest.h>

#include "plugin/OpenHost.h"

namespace {

double ProcessCpuMs() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto ms = [](FILETIME t) {
        return double(ULONGLONG(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 1e4;
    };
    return ms(kernel) + ms(user);
}

// Share of one core that this process used over ms of quiet pumping.
double CpuShareWhilePumping(TestHost& host, DWORD ms) {
    double cpu = ProcessCpuMs();
    DWORD start = GetTickCount();
    host.Pump(ms);
    return (ProcessCpuMs() - cpu) / double(GetTickCount() - start);
}

// A busy loop costs a whole core whatever else runs here; the real cost is a
// few percent. Wide, so a loaded machine never trips it.
constexpr double SpinShare = 0.3;

} // namespace

TEST_CASE("a level line: bytes arriving together come as one notification, unchanged") {
    OpenHost h(115200);
    REQUIRE(h.peer.LevelRxChar(1, true));
    const std::string cases[] = {"AB", "a#b", std::string("A\0B", 3), "\x80\xFF\xEE#\x01"};
    for (const std::string& bytes : cases) {
        h.host.received.clear();
        h.host.clicks = 0;
        REQUIRE(h.peer.Write(1, bytes));
        REQUIRE(h.host.WaitNotifications(1));
        h.host.Pump(200);
        CHECK(h.host.clicks == 1);
        CHECK(h.host.received[0].bytes == "str#" + bytes + "#");
    }
}

TEST_CASE("a level line: a paced stream reaches the host whole and in order") {
    OpenHost h(115200);
    REQUIRE(h.peer.LevelRxChar(1, true));
    const long total = 6000;
    const int seed = 9;
    REQUIRE(h.peer.StreamRate(1, total, 2000, seed)); // 3 s
    double share = CpuShareWhilePumping(h.host, 2000);
    long position = 0;
    CHECK(FollowStream(h.host, 0, total, seed, 60000, position));
    CHECK(position == total);
    CHECK(share < SpinShare);
}

TEST_CASE("a level line: bytes held behind an unfetched notice cost no spin, then arrive") {
    OpenHost h(115200);
    REQUIRE(h.peer.LevelRxChar(1, true));
    h.host.answerClicks = false;
    h.host.plugin.Call("Close");
    h.host.plugin.Call("open"); // "sts#Open#" waits unfetched; bytes stay in the driver
    REQUIRE(h.host.PumpUntil([&] { return h.host.clicks >= 2; }, 5000));
    REQUIRE(h.peer.Write(1, "held"));
    h.host.Pump(200);
    double share = CpuShareWhilePumping(h.host, 2000);
    CHECK(share < SpinShare);
    // The open's click comes once more, at most, having passed unanswered.
    CHECK(h.host.clicks >= 2);
    CHECK(h.host.clicks <= 3);

    h.host.answerClicks = true;
    h.host.Fetch();
    CHECK(h.host.received.back().text == "sts#Open#");
    REQUIRE(h.host.WaitNotifications(2));
    h.host.Pump(200);
    CHECK(h.host.Texts() == std::vector<std::string>{"sts#Open#", "str#held#"});
}
