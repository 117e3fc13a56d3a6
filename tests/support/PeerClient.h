// The test programs' handle on the serial line rig: one method per request of
// the Linux peer (tools/rig/peer.py, which documents the protocol).
// Blocking, with timeouts: a failure comes back as false or an empty result.
#pragma once

// winsock.h, not winsock2.h: windows.h brings winsock.h along, and winsock2.h
// after it only warns, so this header works in any include order. The calls
// used here are the same in both; the program links ws2_32.
#include <windows.h>
#include <winsock.h>

#include <cstdio>
#include <cstdlib>
#include <string>

class PeerClient {
  public:
    struct Lines {
        bool ok = false;
        bool dtr = false;
        bool rts = false;
    };
    struct LineSettings {
        bool ok = false;
        int baud = 0;
        int csize = 0;
        int custom = 0; // a rate set as a divisor (baud then reads 38400), else 0
        bool cstopb = false, parenb = false, parodd = false;
        bool ixon = false, ixoff = false, crtscts = false;
    };
    struct StreamState {
        bool ok = false;
        long sent = 0;
        bool done = false;
    };

    struct InputQueue {
        bool ok = false;
        long size = 0, unread = 0, dropped = 0;
        bool paced = false;
    };

    // Peer times are CLOCK_MONOTONIC_RAW nanoseconds (see peer.py).
    struct Stamped {
        bool ok = false;
        long long before = 0, after = 0; // writestamp: around the write
    };
    struct StampedRead {
        bool ok = false;
        std::string bytes;
        long long first = 0, last = 0; // when the first and last bytes came
    };

    PeerClient() {
        WSADATA wsa;
        started_ = WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
    }
    ~PeerClient() {
        Disconnect();
        if (started_) WSACleanup();
    }
    PeerClient(const PeerClient&) = delete;
    PeerClient& operator=(const PeerClient&) = delete;

    bool Ping() { return Ok(Request("ping")); }
    // A fresh pty behind COMn, every line and switch reset; COMn exists after.
    bool Attach(int n) { return Ok(Request("attach " + std::to_string(n))); }
    // COMn is missing afterwards (ERROR_FILE_NOT_FOUND).
    bool Detach(int n) { return Ok(Request("detach " + std::to_string(n))); }
    bool Write(int n, const std::string& bytes) {
        return Ok(Request("write " + std::to_string(n) + " " + Hex(bytes)));
    }
    // What the program wrote: waits up to timeoutMs for the first byte, then
    // until the line is quiet for a moment or max bytes have come.
    std::string Read(int n, int max, int timeoutMs) {
        std::string reply = Request("read " + std::to_string(n) + " " + std::to_string(max) + " " +
                                        std::to_string(timeoutMs),
                                    timeoutMs + kTimeoutMs);
        return Ok(reply) ? Unhex(Payload(reply)) : std::string();
    }
    bool Drain(int n) { return Ok(Request("drain " + std::to_string(n))); }
    // count bytes of PatternByte(seed, i), as fast as the line takes them, in
    // the background.
    bool Stream(int n, long count, int seed) {
        return Ok(Request("stream " + std::to_string(n) + " " + std::to_string(count) + " " +
                          std::to_string(seed)));
    }
    bool StreamPaced(int n, long count, int chunk, int gapMs, int seed = 0) {
        return Ok(Request("streampaced " + std::to_string(n) + " " + std::to_string(count) + " " +
                          std::to_string(chunk) + " " + std::to_string(gapMs) + " " +
                          std::to_string(seed)));
    }
    // count bytes of the pattern at bytes_per_s, paced by the peer's clock.
    bool StreamRate(int n, long count, long bytesPerSecond, int seed = 0) {
        return Ok(Request("streamrate " + std::to_string(n) + " " + std::to_string(count) + " " +
                          std::to_string(bytesPerSecond) + " " + std::to_string(seed)));
    }
    // The peer's clock now, 0 when it did not answer.
    long long Clock() { return Field64(Request("clock"), "t"); }
    Stamped WriteStamped(int n, const std::string& bytes) {
        std::string reply = Request("writestamp " + std::to_string(n) + " " + Hex(bytes));
        Stamped s;
        s.ok = Ok(reply);
        s.before = Field64(reply, "t");
        s.after = Field64(reply, "u");
        return s;
    }
    // Waits up to timeoutMs for count bytes of what the program wrote.
    StampedRead ReadStamped(int n, int count, int timeoutMs) {
        std::string reply = Request("readstamp " + std::to_string(n) + " " + std::to_string(count) +
                                        " " + std::to_string(timeoutMs),
                                    timeoutMs + kTimeoutMs);
        StampedRead r;
        r.ok = Ok(reply);
        r.first = Field64(reply, "first");
        r.last = Field64(reply, "last");
        size_t hex = reply.rfind(' ');
        if (r.ok && hex != std::string::npos && reply.find('=', hex) == std::string::npos)
            r.bytes = Unhex(reply.substr(hex + 1));
        return r;
    }
    StreamState StreamStatus(int n) {
        return ParseStream(Request("streamstatus " + std::to_string(n)));
    }
    // Waits up to timeoutMs for the stream to end.
    StreamState StreamWait(int n, int timeoutMs) {
        return ParseStream(
            Request("streamwait " + std::to_string(n) + " " + std::to_string(timeoutMs),
                    timeoutMs + kTimeoutMs));
    }
    // on: the far end sends back every byte the program writes, until off or
    // the next Attach.
    bool Echo(int n, bool on) { return Ok(Request("echo " + std::to_string(n) + " " + Bit(on))); }
    // Descriptors that other processes hold on the line's pty: wineserver
    // holds one while a program has the port open. -1 if the peer failed.
    int Holders(int n) {
        std::string reply = Request("holders " + std::to_string(n));
        return Ok(reply) ? std::atoi(reply.c_str() + 3) : -1;
    }
    bool SetLines(int n, bool cts, bool dsr, bool ring, bool rlsd) {
        return Ok(Request("setlines " + std::to_string(n) + " " + Bit(cts) + " " + Bit(dsr) + " " +
                          Bit(ring) + " " + Bit(rlsd)));
    }
    Lines GetLines(int n) {
        Lines l;
        std::string reply = Request("getlines " + std::to_string(n));
        l.ok = Ok(reply);
        if (l.ok) l.dtr = Field(reply, "dtr") != 0, l.rts = Field(reply, "rts") != 0;
        return l;
    }
    // The settings the program gave the line. Byte size and parity are the
    // program's request as recorded by the interposer: a pty keeps neither.
    LineSettings Termios(int n) {
        LineSettings t;
        std::string reply = Request("termios " + std::to_string(n));
        t.ok = Ok(reply);
        if (!t.ok) return t;
        t.baud = static_cast<int>(Field(reply, "baud"));
        t.csize = static_cast<int>(Field(reply, "csize"));
        t.custom = static_cast<int>(Field(reply, "custom"));
        t.cstopb = Field(reply, "cstopb") != 0;
        t.parenb = Field(reply, "parenb") != 0;
        t.parodd = Field(reply, "parodd") != 0;
        t.ixon = Field(reply, "ixon") != 0;
        t.ixoff = Field(reply, "ixoff") != 0;
        t.crtscts = Field(reply, "crtscts") != 0;
        return t;
    }
    // kind: "frame", "overrun", "parity" or "break".
    bool Error(int n, const char* kind) {
        return Ok(Request("error " + std::to_string(n) + " " + kind));
    }
    // on: every look at the line's error counters finds a new framing error,
    // as at a wrong baud rate, until off or the next Attach.
    bool Storm(int n, bool on) { return Ok(Request("storm " + std::to_string(n) + " " + Bit(on))); }
    // CreateFileA on COMn fails with ERROR_ACCESS_DENIED while busy.
    bool Busy(int n, bool on) { return Ok(Request("busy " + std::to_string(n) + " " + Bit(on))); }
    // on: COMn opens again while open, as wine lets a tty; by default, as on
    // Windows, a second CreateFileA fails with ERROR_ACCESS_DENIED. Kept by a
    // plug, cleared by Attach. A test that needs it says why.
    bool Share(int n, bool on) { return Ok(Request("share " + std::to_string(n) + " " + Bit(on))); }
    // on: the adapter is pulled (device calls fail, pending I/O ends, the port
    // is gone); off: plugged in again, a fresh line as after Attach.
    bool Vanish(int n, bool on) {
        return Ok(Request("vanish " + std::to_string(n) + " " + Bit(on)));
    }
    // What a pulled adapter's name does until the plug. Gone: missing.
    // Opens: opens the dead device. Refused: access denied while a handle on
    // the dead device is open, after the plug too.
    enum class PullMode { Gone, Opens, Refused };
    // Vanish(n, true), with err (an errno name) as the code of the calls of
    // every handle on the pulled device, for good.
    bool Pull(int n, const char* err = "EIO", PullMode mode = PullMode::Gone) {
        static const char* const modes[] = {"gone", "opens", "refused"};
        return Ok(Request("vanish " + std::to_string(n) + " 1 " + err + " " +
                          modes[static_cast<int>(mode)]));
    }
    // Each CreateFileA of COMn first waits ms in its thread; kept by Vanish, cleared by Attach.
    bool SlowOpen(int n, long ms) {
        return Ok(Request("slowopen " + std::to_string(n) + " " + std::to_string(ms)));
    }

    // level: EV_RXCHAR while bytes wait, as wine raises it for a real port;
    // otherwise once per arrival, as Windows does (the default after Attach).
    bool LevelRxChar(int n, bool level) {
        return Ok(Request("rxmode " + std::to_string(n) + (level ? " level" : " edge")));
    }

    // The nth use of a device call on line n since Attach ("read", "write",
    // "tcsetattr", "TIOCINQ"... as peer.py lists them) fails with err (an
    // errno name), once or from then on. FailOff stops failing.
    bool Fail(int n, const std::string& call, long nth, bool always, const char* err) {
        return Ok(Request("fail " + std::to_string(n) + " " + call + " " + std::to_string(nth) +
                          (always ? " always " : " once ") + err));
    }
    // As Fail, for times uses, then the call works again: a device failing a while.
    bool FailFor(int n, const std::string& call, long nth, long times, const char* err) {
        return Ok(Request("fail " + std::to_string(n) + " " + call + " " + std::to_string(nth) +
                          " " + std::to_string(times) + " " + err));
    }
    // A paced line (attach's default) takes the program's writes in the
    // line's time and loses unread input past its queue; off, the bare pty.
    bool Pace(int n, bool on) { return Ok(Request("pace " + std::to_string(n) + " " + Bit(on))); }
    bool SetInQueue(int n, long bytes) {
        return Ok(Request("inqueue " + std::to_string(n) + " " + std::to_string(bytes)));
    }
    InputQueue Queue(int n) {
        std::string reply = Request("queue " + std::to_string(n));
        InputQueue q;
        q.ok = Ok(reply);
        q.size = Field(reply, "size"), q.unread = Field(reply, "unread");
        q.dropped = Field(reply, "dropped"), q.paced = Field(reply, "paced") != 0;
        return q;
    }
    bool FailOff(int n) { return Ok(Request("fail " + std::to_string(n) + " off")); }
    // Uses of call on line n since Attach ("fired": uses failed); -1 if the
    // peer did not answer. Counted from the first Fail or Uses of the rig.
    long Uses(int n, const std::string& call) {
        std::string reply = Request("fail " + std::to_string(n) + " count");
        return Ok(reply) ? Field(reply, call.c_str()) : -1;
    }

    static unsigned char PatternByte(int seed, unsigned long i) {
        return static_cast<unsigned char>((seed + i * 7 + i / 251) & 0xFF);
    }

    // One raw request line; the reply line without its newline, or "" when
    // the peer could not be reached or did not answer in time.
    std::string Request(const std::string& line, int timeoutMs = kTimeoutMs) {
        if (!Connect()) return std::string();
        DWORD ms = static_cast<DWORD>(timeoutMs);
        setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
        setsockopt(socket_, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
        std::string out = line + "\n";
        for (size_t sent = 0; sent < out.size();) {
            int r = send(socket_, out.data() + sent, static_cast<int>(out.size() - sent), 0);
            if (r <= 0) return Fail();
            sent += static_cast<size_t>(r);
        }
        for (;;) {
            size_t end = pending_.find('\n');
            if (end != std::string::npos) {
                std::string reply = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                return reply;
            }
            char buf[4096];
            int r = recv(socket_, buf, sizeof buf, 0);
            if (r <= 0) return Fail(); // a late reply would answer the next request
            pending_.append(buf, static_cast<size_t>(r));
        }
    }

  private:
    static constexpr int kTimeoutMs = 15000;

    static int PortNumber() {
        if (const char* env = std::getenv("COMRELAY_PEER_PORT")) return std::atoi(env);
        // A manual run from the build directory, outside run.sh.
        int port = 0;
        if (FILE* f = std::fopen("rig/peer.port", "r")) {
            if (std::fscanf(f, "%d", &port) != 1) port = 0;
            std::fclose(f);
        }
        return port;
    }

    bool Connect() {
        if (socket_ != INVALID_SOCKET) return true;
        int port = PortNumber();
        if (!started_ || port <= 0) return false;
        socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (socket_ == INVALID_SOCKET) return false;
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<u_short>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(socket_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            Disconnect();
            return false;
        }
        return true;
    }
    void Disconnect() {
        if (socket_ != INVALID_SOCKET) closesocket(socket_);
        socket_ = INVALID_SOCKET;
        pending_.clear();
    }
    std::string Fail() {
        Disconnect();
        return std::string();
    }

    static StreamState ParseStream(const std::string& reply) {
        StreamState s;
        s.ok = Ok(reply);
        if (s.ok) s.sent = Field(reply, "sent"), s.done = Field(reply, "done") != 0;
        return s;
    }
    static bool Ok(const std::string& reply) { return reply.rfind("ok", 0) == 0; }
    static std::string Payload(const std::string& reply) {
        return reply.size() > 3 ? reply.substr(3) : std::string();
    }
    static std::string Bit(bool on) { return on ? "1" : "0"; }
    // The number after " name=" in a reply, 0 when absent.
    static long Field(const std::string& reply, const char* name) {
        std::string key = std::string(" ") + name + "=";
        size_t at = reply.find(key);
        return at == std::string::npos ? 0 : std::atol(reply.c_str() + at + key.size());
    }
    static long long Field64(const std::string& reply, const char* name) {
        std::string key = std::string(" ") + name + "=";
        size_t at = reply.find(key);
        return at == std::string::npos ? 0
                                       : std::strtoll(reply.c_str() + at + key.size(), nullptr, 10);
    }
    static std::string Hex(const std::string& bytes) {
        static const char digits[] = "0123456789abcdef";
        std::string out;
        out.reserve(bytes.size() * 2);
        for (unsigned char c : bytes) {
            out += digits[c >> 4];
            out += digits[c & 15];
        }
        return out;
    }
    static int Nibble(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return 0;
    }
    static std::string Unhex(const std::string& hex) {
        std::string out;
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            out += static_cast<char>(Nibble(hex[i]) << 4 | Nibble(hex[i + 1]));
        return out;
    }

    bool started_ = false;
    SOCKET socket_ = INVALID_SOCKET;
    std::string pending_;
};
