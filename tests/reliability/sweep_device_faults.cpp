// Every device call of a scripted exchange fails in turn, once or from then
// on: open, the far end sends, the host sends, a line error, close, reopen and
// again. Each run must end without a crash or a hang, with a Close that
// closes, with a reopen that carries data exactly, and with every byte either
// delivered once and in order or covered by an "err#". Calls that repeat
// hundreds of times (wine's event poll) are sampled: the first uses, then
// evenly spaced ones up to the last use a clean run reaches.
//
// Each run is named on stderr before it starts, so that a hang, which the
// test's time-out ends, shows where it happened.
#include <doctest/doctest.h>

#include "reliability/Reliability.h"

#include "comrelay.h"
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const std::string ErrorText = COMRELAY_ERROR_TEXT;

const char* const Calls[] = {"read",     "write",       "tcsetattr",    "tcgetattr",
                             "tcflush",  "TIOCMGET",    "TIOCMSET",     "TIOCINQ",
                             "TIOCOUTQ", "TIOCGICOUNT", "TIOCSERGETLSR"};

struct Site {
    std::string call;
    long nth;
    bool always;
    const char* err;
};

std::string Describe(const Site& s) {
    return s.call + " #" + std::to_string(s.nth) + (s.always ? " on" : " once") + " " + s.err;
}

// One run of the exchange against the host, with what each side sent and
// what the other got. Bytes are unique per run and rise, so that a byte lost,
// doubled or out of place shows as a break in the rise.
class Exchange {
  public:
    Exchange(TestHost& host, PeerClient& peer) : host_(host), peer_(peer) {}

    std::vector<std::string> problems;

    void Run() {
        for (int session = 0; session < 2; ++session)
            Session(session);
    }

    // With the fault gone: the same line opens, carries data exactly both
    // ways (bytes the faults left in the driver may come first), and closes.
    // Then every byte of the run is checked.
    void ReopenAndCheck() {
        size_t from = host_.received.size();
        host_.plugin.Call("open");
        if (!WaitFor("sts#Open#", from, 3000)) Problem("the reopen gave no sts#Open#");
        const std::string after = "<=>?@AB"; // above the sessions' bytes
        peer_.Write(1, after);
        farSent_ += after;
        host_.PumpUntil(
            [&] {
                return Delivered().size() >= after.size() &&
                       Delivered().substr(Delivered().size() - after.size()) == after;
            },
            3000);
        if (Delivered().find(after) == std::string::npos)
            Problem("the reopen relayed nothing exact");
        host_.plugin.SetFile("\xF0\xF1\xF2");
        host_.plugin.Call("sendstring");
        if (peer_.ReadStamped(1, 3, 3000).bytes != "\xF0\xF1\xF2")
            Problem("the reopen sent nothing");
        from = host_.received.size();
        host_.plugin.Call("Close");
        if (!WaitFor("sts#Close#", from, 3000)) Problem("the reopen's Close gave no sts#Close#");
        CheckBytes(farSent_, Delivered(), "far end to host");
        CheckBytes(hostSent_, peerGot_, "host to far end");
    }

  private:
    void Problem(const std::string& what) { problems.push_back(what); }

    bool WaitFor(const std::string& text, size_t from, DWORD timeoutMs) {
        return host_.PumpUntil([&] { return Has(text, from); }, timeoutMs);
    }
    bool Has(const std::string& text, size_t from) const {
        for (size_t i = from; i < host_.received.size(); ++i)
            if (host_.received[i].text == text) return true;
        return false;
    }
    // "err#" notices that tell of device trouble, not of the line errors the
    // exchange raised itself.
    int DeviceErrors() const {
        int n = 0;
        for (size_t i = 0; i < host_.received.size(); ++i)
            if (host_.received[i].text == ErrorText && !LineErrorNotice(i)) ++n;
        return n;
    }
    bool LineErrorNotice(size_t i) const {
        for (const auto& w : lineErrorWindows_)
            if (i >= w.first && i < w.second) return true;
        return false;
    }
    std::string Delivered() const {
        std::string d;
        for (const Notification& n : host_.received)
            if (n.bytes.rfind("str#", 0) == 0) d += n.bytes.substr(4, n.bytes.size() - 5);
        return d;
    }

    void Session(int session) {
        size_t from = host_.received.size();
        host_.plugin.Call("open");
        host_.PumpUntil([&] { return Has("sts#Open#", from) || Has(ErrorText, from); }, 3000);
        bool open = Has("sts#Open#", from);
        if (!open && !Has(ErrorText, from)) Problem("open gave neither sts#Open# nor err#");

        // The far end sends two bursts; each is relayed before the next, or
        // the session has told of trouble (a failure that persists is told
        // once, not once per burst).
        int errors = DeviceErrors();
        for (int burst = 0; burst < 2; ++burst) {
            std::string bytes;
            for (int k = 0; k < 12; ++k)
                bytes += static_cast<char>(1 + (session * 2 + burst) * 12 + k);
            peer_.Write(1, bytes);
            farSent_ += bytes;
            size_t expected = farSent_.size();
            DWORD toldAt = 0;
            host_.PumpUntil(
                [&] {
                    if (Delivered().size() >= expected) return true;
                    if (DeviceErrors() > errors && !toldAt) toldAt = GetTickCount();
                    return toldAt && GetTickCount() - toldAt > 300;
                },
                open ? 2000 : 100);
            if (open && Delivered().size() < expected && DeviceErrors() == errors)
                Problem("burst " + std::to_string(session * 2 + burst) +
                        " not relayed and no err#");
        }

        // The host sends two lines; what fails to go out is told.
        for (int line = 0; line < 2; ++line) {
            std::string bytes;
            for (int k = 0; k < 8; ++k)
                bytes += static_cast<char>(128 + (session * 2 + line) * 8 + k);
            errors = DeviceErrors();
            host_.plugin.SetFile(bytes.c_str());
            host_.plugin.Call("sendstring");
            hostSent_ += bytes;
            std::string got = peer_.ReadStamped(1, 8, open ? 500 : 100).bytes;
            peerGot_ += got;
            // A short write's notice is posted as sendstring returns, and the
            // host's loop may take a while to deliver it.
            if (got.size() < bytes.size())
                host_.PumpUntil([&] { return DeviceErrors() > errors; }, 1000);
            else
                host_.Pump(1);
            if (got.size() < bytes.size() && DeviceErrors() == errors)
                Problem("sendstring " + std::to_string(session * 2 + line) + " short and no err#");
        }

        // A line error: its own "err#" is no excuse for lost bytes.
        size_t raised = host_.received.size();
        peer_.Error(1, "frame");
        host_.Pump(60);
        from = host_.received.size();
        host_.plugin.Call("Close");
        if (open && !WaitFor("sts#Close#", from, 3000)) Problem("Close gave no sts#Close#");
        host_.Pump(20);
        lineErrorWindows_.push_back({raised, host_.received.size()});
    }

    // got must be sent with bytes left out, never doubled or reordered; any
    // left out must be covered by an "err#".
    void CheckBytes(const std::string& sent, const std::string& got, const char* way) {
        size_t at = 0;
        for (char c : got) {
            while (at < sent.size() && sent[at] != c)
                ++at;
            if (at == sent.size())
                return Problem(std::string(way) + ": a byte doubled or out of place");
            ++at;
        }
        if (got.size() < sent.size() && DeviceErrors() == 0)
            Problem(std::string(way) + ": " + std::to_string(sent.size() - got.size()) +
                    " bytes lost and no err#");
    }

    TestHost& host_;
    PeerClient& peer_;
    std::string farSent_, hostSent_, peerGot_;
    std::vector<std::pair<size_t, size_t>> lineErrorWindows_;
};

// N to fail for a call that a clean run uses `uses` times: the first few,
// then evenly spaced ones up to the last.
std::vector<long> Sample(long uses, long first, long spaced) {
    std::vector<long> n;
    for (long i = 1; i <= uses && i <= first; ++i)
        n.push_back(i);
    if (uses > first)
        for (long k = 1; k <= spaced; ++k)
            n.push_back(first + (uses - first) * k / spaced);
    n.erase(std::unique(n.begin(), n.end()), n.end());
    return n;
}

} // namespace

TEST_CASE("every device call of an exchange fails in turn, and the host is told or served") {
    PeerClient peer;
    TestHost host;
    REQUIRE(host.Adopt());
    host.plugin.SetData(115200);
    host.plugin.Call("setbaudrate");
    DWORD began = GetTickCount();

    // A clean run: how often it uses each call.
    REQUIRE(peer.Uses(1, "read") >= 0); // counting starts
    REQUIRE(peer.Attach(1));
    Exchange clean(host, peer);
    clean.Run();
    clean.ReopenAndCheck();
    for (const std::string& p : clean.problems)
        FAIL_CHECK("clean run: " << p);
    std::vector<Site> sites;
    const char* const errs[] = {"EIO", "ENXIO", "EAGAIN", "EINTR"};
    int e = 0;
    for (const char* call : Calls) {
        long uses = peer.Uses(1, call);
        MESSAGE(std::string(call) << ": " << uses << " uses in a clean run");
        for (long n : Sample(uses, 3, 3))
            sites.push_back({call, n, false, errs[e++ % 4]});
        // From then on: a device that keeps failing must be told, and must
        // not hang Close. EAGAIN and EINTR wine retries, so EIO here.
        if (uses > 0) sites.push_back({call, uses > 3 ? uses / 2 : 1, true, "EIO"});
    }

    for (const Site& site : sites) {
        std::string what = Describe(site);
        CAPTURE(what);
        std::fprintf(stderr, "sweep: %s\n", what.c_str());
        std::fflush(stderr);
        REQUIRE(peer.Attach(1));
        REQUIRE(peer.Fail(1, site.call, site.nth, site.always, site.err));
        host.received.clear();
        Exchange run(host, peer);
        run.Run();
        REQUIRE(peer.FailOff(1));
        host.Pump(20);
        if (peer.Holders(1) != 0) run.problems.push_back("Close left the device open");
        run.ReopenAndCheck();
        for (const std::string& p : run.problems)
            FAIL_CHECK(what << ": " << p);
    }
    MESSAGE(sites.size() << " runs in " << (GetTickCount() - began) / 1000 << " s");
    CheckHostGoesOn(host, peer);
}
