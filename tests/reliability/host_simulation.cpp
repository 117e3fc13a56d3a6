// A randomised host: a seeded mix of host behaviours (fetch at the click,
// late or after a round trip of its own; slow handlers; swallowed clicks;
// dropped private messages; new and destroyed host windows) and line events
// (bytes, line errors, adapters pulled and plugged back in, devices that
// half work for a while) drives comrelay.dll through its exports on the
// null-modem rig, and a small model checks what the host reads: every byte
// once and in order (a gap only behind a close or an err#), every status
// once and in order, the host's own text as written within its handler, and
// the last status read telling whether the port is open. Each run prints its
// seed first; a failing one replays with --seed.
//
//   host_simulation [--seconds N] [--seed S]... [--fresh] [--dll path]
//
// Threads: the main thread is the host; nothing else runs here.
#include "host/HostHarness.h"
#include "support/PeerClient.h"

#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

const char ErrorText[] = "err#\xEE\xF8\xE8\xE1\xEA\xE0 \xEF\xEE\xF0\xF2\xE0#";

// What the run did, counted for the report.
enum Count {
    AtClick,
    SlowHandler,
    LateFetch,
    TripThenLeave,
    GetportTrip,
    Swallow,
    DropPrivate,
    NewWindow,
    DestroyWindowed,
    BackToMain,
    Open,
    Close,
    MoveLine,
    MoveMissing,
    Send,
    SendClosed,
    Bytes,
    LineError,
    Draw,
    Settles,
    TooLate,
    ClosedUnread,
    Pull,
    Plug,
    CountFails,
    StatusFails,
    Pile,
    PilePull,
    CountEnd
};
const char* const CountNames[] = {"fetch at click",
                                  "slow handler",
                                  "late fetch",
                                  "round trip, fetch left",
                                  "getport trip",
                                  "swallowed clicks",
                                  "dropped private",
                                  "new host window",
                                  "destroyed host window",
                                  "back to main window",
                                  "open",
                                  "Close",
                                  "setport to a line",
                                  "setport to a missing port",
                                  "sendstring",
                                  "sendstring on closed",
                                  "byte bursts",
                                  "line errors",
                                  "Draw",
                                  "settles",
                                  "late past the grace",
                                  "lines closed with bytes unread",
                                  "adapter pulled",
                                  "adapter plugged back",
                                  "count fails a while",
                                  "modem status fails a while",
                                  "long piles of notices",
                                  "pulls and plugs in a pile"};

// Received bytes follow this sequence; a zero byte follows every "#" (and
// the "#" ends the text it is in).
char DataByte(unsigned long i) {
    unsigned long x = (i * 7 + i / 251) % 255;
    return static_cast<char>(x == 41 ? 0 : 1 + x);
}

class Simulation {
  public:
    Simulation(unsigned seed, const char* dll) : rng_(seed), plugin_(dll), seed_(seed) {}

    bool Run(DWORD ms, unsigned long counts[CountEnd]) {
        if (!Start()) return false;
        DWORD end = GetTickCount() + ms;
        while (ok_ && static_cast<LONG>(end - GetTickCount()) > 0) {
            for (int i = 0; i < 30 && ok_; ++i)
                Step();
            if (ok_) Settle();
        }
        Stop();
        for (int i = 0; i < CountEnd; ++i)
            counts[i] += counts_[i];
        return ok_;
    }

  private:
    // --- the host's windows ---
    static LRESULT CALLBACK Procedure(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
        auto* self = reinterpret_cast<Simulation*>(GetWindowLongPtrA(w, GWLP_USERDATA));
        if (self && msg == WM_LBUTTONDOWN) {
            self->OnClick();
            return 0;
        }
        return DefWindowProcA(w, msg, wp, lp);
    }
    HWND MakeWindow() {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = Procedure;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "comrelay_sim_host";
        RegisterClassA(&wc);
        HWND w =
            CreateWindowExA(0, "comrelay_sim_host", "sim", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 40,
                            400, 300, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
        SetWindowLongPtrA(w, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        return w;
    }

    // With COMRELAY_TRACE set, the host's own steps go between the DLL's
    // lines in the debug output, for replaying a failing seed.
    void Note(const std::string& what) {
        static const bool on = std::getenv("COMRELAY_TRACE") != nullptr;
        if (on) OutputDebugStringA(("sim: " + what + "\n").c_str());
    }

    int Random(int n) { return static_cast<int>(rng_() % static_cast<unsigned>(n)); }

    void Fail(const std::string& what) {
        if (!ok_) return;
        ok_ = false;
        Note("FAILED: " + what);
        std::printf("seed %u: FAILED: %s\n", seed_, what.c_str());
        std::printf("  last texts:");
        for (size_t i = texts_.size() > 8 ? texts_.size() - 8 : 0; i < texts_.size(); ++i)
            std::printf(" [%.40s]", texts_[i].c_str());
        for (int l : {1, 2})
            std::printf("\n  line %d: %zu bytes written, %zu read, %zu may drop", l,
                        written_[l].size(), next_[l], drop_[l]);
        std::printf("\n  statuses told:");
        for (size_t i = statuses_.size() > 6 ? statuses_.size() - 6 : 0; i < statuses_.size(); ++i)
            std::printf(" %s%s", i == told_ ? "^" : "", statuses_[i].c_str());
        std::printf("\n");
    }

    bool Start() {
        if (!peer_.Attach(1) || !peer_.Attach(2) || !peer_.Detach(3)) {
            std::printf("seed %u: the rig's peer does not answer\n", seed_);
            return false;
        }
        main_ = MakeWindow();
        plugin_.SetParentWindow(main_);
        host_ = main_;
        Pump(400); // the start-up move
        plugin_.SetData(115200);
        plugin_.Call("setbaudrate");
        plugin_.SetFile("COM1");
        plugin_.Call("setport");
        return true;
    }
    void Stop() {
        if (open_) {
            Closed();
            plugin_.Call("Close");
            Pump(200);
        }
        if (IsWindow(spare_)) DestroyWindow(spare_);
        DestroyWindow(main_);
        Pump(100);
    }

    // --- the host's answers ---
    void OnClick() {
        ++clicks_;
        if (piling_) return;
        int b = Random(10);
        Note("click, answer " + std::to_string(b));
        if (b < 4) {
            ++counts_[AtClick];
            FetchNow();
        } else if (b < 5) {
            ++counts_[SlowHandler];
            Sleep(20 + Random(200));
            FetchNow();
        } else if (b < 7) {
            // Answered later, from the loop, well within the grace.
            ++counts_[LateFetch];
            if (!lateDue_) lateClick_ = GetTickCount(), lateAt_ = lateClick_ + Random(200);
            lateDue_ = true;
        } else if (b < 9) {
            // A round trip of its own; the announced text comes back after.
            ++counts_[TripThenLeave];
            RoundTrip();
        } else {
            ++counts_[GetportTrip];
            plugin_.Call("getport");
            lastWritten_ = port_;
            std::string name = plugin_.GetFile();
            if (name != port_) Fail("getport in a handler read [" + name + "], not " + port_);
            // The rest of this handler reads the port's name; the announced
            // text comes back with a click of its own.
        }
    }

    void RoundTrip() {
        std::string token = "<" + std::to_string(++tokens_) + ">";
        lastWritten_ = token;
        plugin_.SetFile(token.c_str());
        if (plugin_.GetFile() != token) Fail("GetFile after SetFile did not read " + token);
        if (!Random(2)) return;
        bool fails = !open_ || Away(Line());
        SendText(token);
        // A write that fails is told at once, and an error not yet read (a
        // device failing a while) may be told during the write; with nothing
        // announced its err# replaces the single slot, as any notice does.
        std::string after = plugin_.GetFile();
        if (after != token && !((fails || errorsRead_ < errorCauses_) && after == ErrorText))
            Fail("GetFile after sendstring read [" + after + "], not " + token);
    }

    void SendText(const std::string& token) {
        if (!open_ || pulled_[Line()]) {
            ++counts_[SendClosed];
            ++errorCauses_;
        } else {
            ++counts_[Send];
            sent_[Line()] += token;
            if (returning_[Line()]) ++errorCauses_, purgeable_[Line()] = sent_[Line()].size();
        }
        plugin_.Call("sendstring");
    }

    void FetchNow() {
        // A data text ends at the first "#" that the terminating zero follows.
        const char* text = plugin_.GetFile();
        std::string t = text;
        if (t.rfind("str#", 0) == 0) {
            const char* end = text + 4;
            while (!(end[0] == '#' && end[1] == 0))
                ++end;
            t.assign(text, end + 1);
        }
        texts_.push_back(t);
        Note("fetched " + t.substr(0, 12) + " (" + std::to_string(t.size()) + ")");
        if (lateDue_) {
            lateDue_ = false;
            // Answered later than the grace (this program was held up on the
            // rig): the click may come once more, and read whatever is there.
            if (GetTickCount() - lateClick_ > 400) {
                ++counts_[TooLate];
                spareClick_ = true;
            }
        } else if (spareClick_) {
            // The click that may come once more: only a text new to the
            // host counts.
            spareClick_ = false;
            bool data = t.rfind("str#", 0) == 0 && t.size() >= 5;
            bool newData =
                data &&
                (written_[1].find(t.substr(4, t.size() - 5), next_[1]) != std::string::npos ||
                 written_[2].find(t.substr(4, t.size() - 5), next_[2]) != std::string::npos);
            bool newStatus = !data && std::find(statuses_.begin() + static_cast<long>(told_),
                                                statuses_.end(), t) != statuses_.end();
            if (!newData && !newStatus) return;
        }
        Check(t);
    }

    // --- the model ---
    void Check(const std::string& t) {
        if (t.rfind("str#", 0) == 0 && t.size() >= 5 && t.back() == '#') {
            std::string bytes = t.substr(4, t.size() - 5);
            if (bytes.empty()) return Fail("an empty data text");
            // From the line of the open port, or left in the other line's
            // driver before a move and read at its next open. Bytes may go
            // missing only where a close may have dropped them.
            int line = Line();
            size_t at = written_[line].find(bytes, next_[line]);
            if (at == std::string::npos || at > std::max(next_[line], drop_[line])) {
                line = 3 - line;
                at = written_[line].find(bytes, next_[line]);
            }
            if (at == std::string::npos) return Fail("data never written, or twice");
            if (at > std::max(next_[line], drop_[line]))
                return Fail("bytes lost at " + std::to_string(next_[line]));
            next_[line] = at + bytes.size();
            Note("data " + std::to_string(at) + " to " + std::to_string(next_[line]) + " of line " +
                 std::to_string(line));
        } else if (t == "sts#Open#" || t == "sts#Close#") {
            // Notices that came with nothing unfetched replace one another,
            // and each click reads the newest: the same status again.
            size_t at = told_;
            while (at < statuses_.size() && statuses_[at] != t)
                ++at;
            if (at < statuses_.size())
                told_ = at + 1;
            else if (t != last_)
                return Fail(t + " never told");
            last_ = t;
            readAfter_ = statuses_.size();
            CountNotice();
        } else if (t == ErrorText) {
            ++errorsRead_;
            CountNotice();
        } else if (t == "COM1" || t == "COM2" || t == "COM3" || (!t.empty() && t.front() == '<')) {
            // With nothing announced the mailbox is the single slot: a click
            // left over from notices that replaced one another reads what
            // the host wrote last (hosts treat such clicks as one fetch).
            // Anything else is the host's text taken for a notice.
            if (t != lastWritten_) Fail("a click read an old text " + t);
        } else {
            Fail("an unknown text [" + t + "]");
        }
    }

    // No more notices read than were told, each once.
    void CountNotice() {
        if (++noticesRead_ > statuses_.size() + errorCauses_)
            Fail("more notices read than told: one read twice");
    }

    int Line() const { return port_ == "COM2" ? 2 : 1; }

    // --- the device's own events ---
    bool Away(int line) const { return pulled_[line] || returning_[line]; }
    // A pulled-out port, or a missing one, fails to open.
    bool Missing(const std::string& n) const { return n == "COM3" || pulled_[n == "COM2" ? 2 : 1]; }
    // Pulled: one err#, bytes on their way may be lost, the port still open to the host.
    // Plugged back: a port open to the host comes back by itself, told as opened. A count
    // or modem status failing a while (till the next settle): at most one err#, every byte.
    void DeviceStep() {
        int line = Line(), d = Random(4);
        Note("device step " + std::to_string(d) + " on line " + std::to_string(line));
        if (d == 0 && !pulled_[line] && open_) {
            ++counts_[Pull], ++errorCauses_;
            pulled_[line] = true;
            drop_[line] = written_[line].size(), purgeable_[line] = sent_[line].size();
            // As real adapters go: the old handle dead for good, whatever its
            // code, and the name gone, still opening on the dead device, or refused.
            static const char* const codes[] = {"EIO", "ENXIO", "EACCES", "ENODEV"};
            if (!peer_.Pull(line, codes[Random(4)], PeerClient::PullMode(Random(3))))
                Fail("the peer did not pull");
        } else if (d == 1 && (pulled_[1] || pulled_[2])) {
            int l = pulled_[line] ? line : 3 - line;
            ++counts_[Plug];
            pulled_[l] = false;
            if (!peer_.Vanish(l, false)) Fail("the peer did not plug");
            drop_[l] = written_[l].size();
            if (open_ && l == line) statuses_.push_back("sts#Open#"), returning_[l] = true;
        } else if (d >= 2 && !pulled_[line]) {
            const char* call = d == 2 ? "TIOCINQ" : "TIOCMGET";
            ++counts_[d == 2 ? CountFails : StatusFails], ++errorCauses_;
            long uses = peer_.Uses(line, call);
            if (uses < 0 || !peer_.FailFor(line, call, uses + 1, 20 + Random(200), "EIO"))
                Fail("the peer did not fail a call");
        }
    }

    // --- one random step ---
    void Step() {
        if (lateDue_) FetchNow(); // before any other export of its own
        if (Random(25) == 0) return DeviceStep();
        int a = Random(100);
        Note("step " + std::to_string(a) + (open_ ? " open " : " closed ") + port_ + " " +
             std::to_string(bytesSent_));
        if (a < 22) {
            Pump(Random(120));
        } else if (a < 40) {
            if (!open_ || pulled_[Line()]) return Pump(10);
            ++counts_[Bytes];
            int n = 1 + Random(40);
            std::string chunk;
            for (int i = 0; i < n; ++i)
                chunk += DataByte(bytesSent_ + i);
            bytesSent_ += n;
            written_[Line()] += chunk;
            if (!peer_.Write(Line(), chunk)) Fail("the peer did not write");
        } else if (a < 44) {
            if (!open_ || pulled_[Line()]) return;
            ++counts_[LineError];
            ++errorCauses_;
            peer_.Error(Line(), "frame");
        } else if (a < 52) {
            ++counts_[Open];
            if (!open_ || pulled_[Line()]) {
                if (Missing(port_))
                    ++errorCauses_;
                else
                    Opened();
            }
            plugin_.Call("open");
        } else if (a < 58) {
            ++counts_[Close];
            if (open_) Closed();
            plugin_.Call("Close");
        } else if (a < 66) {
            const char* names[] = {"COM1", "COM2", "COM3"};
            std::string to = names[Random(3)];
            // A lost port moves at once, as an open one does; one plugged back
            // may be reopening by itself meanwhile, which the model does not follow.
            if (open_ && returning_[Line()]) return;
            ++counts_[to == "COM3" ? MoveMissing : MoveLine];
            if (to != port_ && open_) {
                Closed();
                if (Missing(to))
                    ++errorCauses_;
                else
                    Opened();
            }
            port_ = to;
            plugin_.SetFile(to.c_str());
            lastWritten_ = to;
            plugin_.Call("setport");
        } else if (a < 72) {
            RoundTrip();
        } else if (a < 76) {
            ++counts_[Draw];
            plugin_.Draw(Random(30), Random(30), 100, 40);
        } else if (a < 81) {
            ++counts_[Swallow];
            MSG m;
            while (PeekMessageA(&m, nullptr, WM_MOUSEFIRST, WM_MOUSELAST, PM_REMOVE)) {
            }
        } else if (a < 84) {
            ++counts_[DropPrivate];
            MSG m;
            while (PeekMessageA(&m, nullptr, WM_APP, 0xBFFF, PM_REMOVE)) {
            }
        } else if (a < 90) {
            if (!IsWindow(spare_)) spare_ = MakeWindow();
            ++counts_[host_ == main_ ? NewWindow : BackToMain];
            host_ = host_ == main_ ? spare_ : main_;
            plugin_.SetParentWindow(host_);
        } else if (a < 91) {
            LongPile();
        } else if (a < 93) {
            if (host_ != spare_) return;
            ++counts_[DestroyWindowed];
            DestroyWindow(spare_);
            spare_ = nullptr;
        } else {
            Pump(Random(400));
        }
    }

    // With a batch announced, the host answers nothing while the port closes, opens,
    // fails, is pulled and plugged back; then it fetches and reads no notice twice in
    // a row (the model checks the rest: the latest state last, each byte once).
    void LongPile() {
        if (!open_ || Missing(port_) || lateDue_) return; // its opens must work
        ++counts_[Pile];
        piling_ = true;
        int clicks = clicks_;
        written_[Line()] += DataByte(bytesSent_);
        peer_.Write(Line(), std::string(1, DataByte(bytesSent_++)));
        for (int waited = 0; clicks_ == clicks && waited < 150; ++waited)
            Pump(20);
        for (int i = 4 + Random(12); i > 0 && ok_; --i, Pump(Random(80))) {
            int what = Random(open_ ? 7 : 1);
            if (what < 3) {
                open_ ? Closed() : Opened();
                plugin_.Call(open_ ? "open" : "Close");
            } else if (what < 6) {
                ++errorCauses_, peer_.Error(Line(), "frame");
            } else { // told, and opened again by the plug-in once plugged back
                ++counts_[PilePull], ++errorCauses_;
                peer_.Vanish(Line(), true), Pump(800), peer_.Vanish(Line(), false), Pump(2000);
                purgeable_[Line()] = sent_[Line()].size();
                statuses_.push_back("sts#Open#");
                drop_[Line()] = written_[Line()].size();
            }
        }
        Pump(100); // clicks of the pile still queued go unanswered too
        piling_ = false;
        size_t from = texts_.size();
        FetchNow();
        for (size_t seen = 0; ok_ && seen != texts_.size();)
            seen = texts_.size(), Pump(600);
        for (size_t i = from + 1; i < texts_.size(); ++i)
            if (texts_[i] == texts_[i - 1] && texts_[i].rfind("str#", 0) != 0)
                Fail("after a pile, " + texts_[i] + " twice in a row");
    }

    void Opened() {
        open_ = true;
        statuses_.push_back("sts#Open#");
        drop_[Line()] = written_[Line()].size();
    }
    void Closed() {
        // What the host sent and the line had not taken yet goes with the
        // close (the driver's output queue is purged).
        purgeable_[Line()] = sent_[Line()].size();
        if (next_[Line()] < written_[Line()].size() && !stale_[Line()]) {
            stale_[Line()] = true;
            ++counts_[ClosedUnread];
        }
        open_ = false;
        returning_[Line()] = false;
        statuses_.push_back("sts#Close#");
        drop_[Line()] = written_[Line()].size();
    }

    void Pump(DWORD ms) {
        DWORD end = GetTickCount() + ms;
        do {
            MSG m;
            while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&m);
                DispatchMessageA(&m);
            }
            if (lateDue_ && static_cast<LONG>(GetTickCount() - lateAt_) >= 0) FetchNow();
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
        } while (static_cast<LONG>(end - GetTickCount()) > 0);
    }

    // The line goes quiet and the host, back in its main window, calls an
    // export now and then, until nothing more comes: then everything told
    // has been read.
    void Settle() {
        ++counts_[Settles];
        if (!peer_.FailOff(1) || !peer_.FailOff(2)) Fail("the peer did not lift its faults");
        if (host_ != main_) {
            host_ = main_;
            plugin_.SetParentWindow(main_);
        }
        DWORD quietSince = GetTickCount();
        size_t seen = texts_.size();
        DWORD start = GetTickCount();
        while (ok_ && GetTickCount() - quietSince < 2500) {
            Pump(250);
            Note("settle: a host call");
            plugin_.Call("getbaudrate"); // a host call: lets a passed click be clicked again
            if (texts_.size() != seen) seen = texts_.size(), quietSince = GetTickCount();
            if (GetTickCount() - start > 30000) return Fail("the texts never settle");
        }
        if (!ok_) return;
        // Statuses that replaced one another were read as the newest, so
        // only the last one must have been read: and it tells the truth.
        if (!statuses_.empty() && (last_ != statuses_.back() || readAfter_ != statuses_.size()))
            return Fail("the last status " + statuses_.back() + " was never read");
        if (!statuses_.empty() && last_ != (open_ ? "sts#Open#" : "sts#Close#"))
            return Fail("the host's last status is " + last_ + " with the port " +
                        (open_ ? "open" : "closed"));
        told_ = statuses_.size();
        returning_[1] = returning_[2] = false;
        // A line closed with bytes unread keeps them in its driver, and what
        // comes at its next open is not held to the count (left to the
        // relay's own tests); order still is.
        for (int l : {1, 2})
            if (!stale_[l] && written_[l].size() > drop_[l] && next_[l] != written_[l].size())
                return Fail("bytes written on the open port never came: " +
                            std::to_string(written_[l].size() - next_[l]));
        for (int line : {1, 2}) {
            if (sent_[line].empty()) continue;
            std::string got = peer_.Read(line, 4096, 1000);
            while (got.size() < sent_[line].size()) {
                std::string more = peer_.Read(line, 4096, 300);
                if (more.empty()) break;
                got += more;
            }
            // In order, each once; only what a close may have purged is missing.
            const std::string& sent = sent_[line];
            size_t at = 0;
            bool ok = true;
            for (size_t from = 0; ok && from < got.size();) {
                size_t end = got.find('>', from);
                size_t length = end == std::string::npos ? got.size() - from : end + 1 - from;
                size_t found = sent.find(got.substr(from, length), at);
                ok = found != std::string::npos && (found == at || found <= purgeable_[line]);
                at = found + length;
                from += length;
            }
            if (!ok || (at < sent.size() && sent.size() > purgeable_[line]))
                return Fail("line " + std::to_string(line) + " got [" + got + "], not [" + sent +
                            "]");
            sent_[line].clear();
            purgeable_[line] = 0;
        }
    }

    std::mt19937 rng_;
    PeerClient peer_;
    Plugin plugin_;
    unsigned seed_;
    bool ok_ = true;
    HWND main_ = nullptr, spare_ = nullptr, host_ = nullptr;
    unsigned long counts_[CountEnd] = {};
    int clicks_ = 0;
    bool lateDue_ = false;
    DWORD lateClick_ = 0, lateAt_ = 0;
    bool spareClick_ = false;
    bool piling_ = false; // clicks are counted, not answered
    unsigned tokens_ = 0;
    std::string lastWritten_; // what the host last put in the mailbox
    // The model.
    bool open_ = false;
    std::string port_ = "COM1";
    unsigned long bytesSent_ = 0;
    // Per line (COM1, COM2): every byte the far end sent, in order; before
    // which bytes a close may have dropped some; the next byte the host
    // should read; whether a close left bytes unread on it.
    std::string written_[3];
    size_t drop_[3] = {};
    size_t next_[3] = {};
    bool stale_[3] = {};
    // returning_: plugged back in, the port perhaps not yet reopened.
    bool pulled_[3] = {}, returning_[3] = {};
    std::vector<std::string> statuses_; // every status the port went through
    size_t told_ = 0;
    std::string last_;
    size_t readAfter_ = 0; // how many statuses there were at the last status read
    unsigned long errorCauses_ = 0, noticesRead_ = 0, errorsRead_ = 0;
    std::string sent_[3];      // what the host sent on each line since the last settle
    size_t purgeable_[3] = {}; // what a close may have purged of it
    std::vector<std::string> texts_;
};

} // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    double seconds = 60;
    std::vector<unsigned> seeds;
    bool fresh = false;
    const char* dll = "comrelay.dll";
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--seed") && i + 1 < argc)
            seeds.push_back(static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10)));
        else if (!std::strcmp(argv[i], "--fresh"))
            fresh = true;
        else if (!std::strcmp(argv[i], "--dll") && i + 1 < argc)
            dll = argv[++i];
    }
    if (seeds.empty() && !fresh) seeds = {1, 2, 3, 4};
    const DWORD total = static_cast<DWORD>(seconds * 1000);
    const DWORD start = GetTickCount();
    unsigned long counts[CountEnd] = {};
    int runs = 0;
    bool ok = true;
    for (size_t k = 0; ok; ++k) {
        DWORD spent = GetTickCount() - start;
        if (spent >= total || (!fresh && k == seeds.size())) break;
        unsigned seed =
            fresh ? static_cast<unsigned>(GetTickCount() ^ (k * 2654435761u)) : seeds[k];
        DWORD share = fresh ? 60000 : (total - spent) / static_cast<DWORD>(seeds.size() - k);
        if (share > total - spent) share = total - spent;
        std::printf("seed %u: %.0f s\n", seed, share / 1000.0);
        Simulation sim(seed, dll);
        ok = sim.Run(share, counts);
        ++runs;
    }
    std::printf("\n%d runs; host behaviours and line events covered:\n", runs);
    for (int i = 0; i < CountEnd; ++i)
        std::printf("  %-28s %lu\n", CountNames[i], counts[i]);
    std::printf("host_simulation: %s\n", ok ? "OK" : "FAILED");
    return ok ? 0 : 1;
}
