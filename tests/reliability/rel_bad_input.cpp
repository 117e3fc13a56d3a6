// Bad input through every export: null, empty and 1 MiB texts, random bytes,
// values just outside each table, odd port names, and a seeded random run of
// export calls while the peer streams. Set REL_SEED to replay a run.
//
// Threads: the main thread is the host and makes every export call. A
// LineReader or the Helper runs beside it with its own peer connection; the
// reader's bytes pass back when the main thread joins it, and the Helper
// shares nothing but its stop event (it clicks the dialog by posting).
#include <doctest/doctest.h>

#include "plugin/TestHost.h"
#include "plugin/OpenHost.h"
#include "reliability/Reliability.h"
#include "support/PeerClient.h"
#include "support/ProcessCounters.h"
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>

namespace {

using Texts = std::vector<std::string>;

unsigned RunSeed() {
    static unsigned seed = [] {
        const char* env = std::getenv("REL_SEED");
        return env ? static_cast<unsigned>(std::strtoul(env, nullptr, 10))
                   : static_cast<unsigned>(GetTickCount() ^ GetCurrentProcessId());
    }();
    return seed;
}

// Random bytes without a zero: what a host can hand over in a zero-ended text.
std::string RandomText(std::mt19937& rng, size_t length) {
    std::string s(length, '\0');
    for (char& c : s)
        c = static_cast<char>(1 + rng() % 255);
    return s;
}

// The port name the plug-in must make of a text, worked out independently:
// "\\.\" and then "COM" dropped (any case); an optional "+" and digits;
// 1..256 names that port, anything else names none and keeps `current`.
std::string ExpectedPortName(const std::string& text, const std::string& current = "COM1") {
    size_t at = text.compare(0, 4, "\\\\.\\") == 0 ? 4 : 0;
    std::string head = text.substr(at, 3);
    for (char& c : head)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    if (head == "COM") at += 3;
    if (at < text.size() && text[at] == '+') ++at;
    std::uint32_t value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9' && value <= 256; ++at)
        value = value * 10 + static_cast<std::uint32_t>(text[at] - '0');
    if (value < 1 || value > 256) return current; // no digits too
    return "COM" + std::to_string(value);
}

// Reads what the program writes to COMn on a thread of its own, so that a
// long sendstring on the host's thread finds the line drained.
class LineReader {
  public:
    LineReader(int n, size_t want) : n_(n), want_(want) {
        thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
    }
    ~LineReader() { Finish(); }
    // Waits until `want` bytes came or the line was quiet for 5 s.
    std::string Finish() {
        if (thread_) {
            WaitForSingleObject(thread_, INFINITE);
            CloseHandle(thread_);
            thread_ = nullptr;
        }
        return got_;
    }

  private:
    static DWORD WINAPI Run(void* p) {
        auto* self = static_cast<LineReader*>(p);
        PeerClient peer;
        while (self->got_.size() < self->want_) {
            std::string chunk = peer.Read(self->n_, 1 << 16, 5000);
            if (chunk.empty()) break;
            self->got_ += chunk;
        }
        return 0;
    }
    int n_;
    size_t want_;
    std::string got_;
    HANDLE thread_ = nullptr;
};

// During the random run, on a thread of its own: keeps COM1, COM2 and COM4 drained,
// so that sendstring never waits for a full line, and answers the settings
// dialog whenever it shows, alternating "OK" and "Cansel" (posted, as input).
class Helper {
  public:
    Helper() : stop_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
        thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
    }
    ~Helper() {
        SetEvent(stop_);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        CloseHandle(stop_);
    }

  private:
    static DWORD WINAPI Run(void* p) {
        auto* self = static_cast<Helper*>(p);
        PeerClient peer;
        int answers = 0;
        while (WaitForSingleObject(self->stop_, 10) == WAIT_TIMEOUT) {
            for (int n : {1, 2, 4})
                peer.Drain(n);
            HWND form = FindWindowA("obj_Form", "Form2");
            if (form && IsWindowVisible(form))
                PostMessageA(
                    FindWindowExA(form, nullptr, "obj_BUTTON", ++answers % 2 ? "OK" : "Cansel"),
                    BM_CLICK, 0, 0);
        }
        return 0;
    }
    HANDLE stop_;
    HANDLE thread_ = nullptr;
};

const std::int32_t OutsideValues[] = {0,   -1,  4,      9,      230400, INT_MIN, INT_MAX,
                                      109, 111, 255999, 256001, 2,      1 << 16};

struct Setting {
    const char* set;
    const char* get;
    std::int32_t current; // the value on a fresh component
};
const Setting Settings[] = {{"setbaudrate", "getbaudrate", 9600},
                            {"setdatabit", "getdatabit", 8},
                            {"setstopbit", "getstopbit", 1}};

bool InTable(const Setting& s, std::int32_t v) {
    static const std::int32_t rates[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                         19200, 38400, 56000, 57600, 115200, 128000, 256000};
    if (std::strcmp(s.set, "setbaudrate") == 0)
        return std::find(std::begin(rates), std::end(rates), v) != std::end(rates);
    if (std::strcmp(s.set, "setdatabit") == 0) return v >= 5 && v <= 8;
    return v >= 1 && v <= 3;
}

} // namespace

// First in this program: no component has been built yet.
TEST_CASE("before SetParentWindow every export takes any input quietly") {
    Plugin plugin;
    REQUIRE(plugin.Loaded());
    const char* serial[] = {"Close",      "open",       "getport",    "setport",     "getstring",
                            "sendstring", "senddata",   "getparity",  "setparity",   "getstopbit",
                            "setstopbit", "getdatabit", "setdatabit", "getbaudrate", "setbaudrate"};
    for (std::int32_t v : OutsideValues) {
        CAPTURE(v);
        plugin.SetData(v);
        plugin.SetFile("COM2");
        for (const char* name : serial)
            plugin.Call(name);
        plugin.Draw(v, v, v, v);
        // Nothing to configure or tell yet: both mailboxes hold what was set.
        CHECK(plugin.GetData() == v);
        CHECK(std::string(plugin.GetFile()) == "COM2");
    }
    CHECK(FindWindowA("obj_Form", "Form1") == nullptr);
    CHECK(plugin.CallInt("HasIntDlg") == 1);
    CHECK(plugin.CallInt("CreateObject") == 0);
}

TEST_CASE("text mailboxes: null, empty, 1 MiB and random bytes") {
    Plugin plugin;
    std::mt19937 rng(RunSeed());
    MESSAGE("seed " << RunSeed());
    const std::string big = RandomText(rng, 1 << 20);
    struct Case {
        const char* name;
        const char* in;
        std::string expected;
    } cases[] = {{"null", nullptr, ""},
                 {"empty", "", ""},
                 {"1 MiB", big.c_str(), big},
                 {"zero inside", "ab\0cd", "ab"},
                 {"high bytes", "\x80\xFF\xEE", "\x80\xFF\xEE"}};
    for (const Case& c : cases) {
        CAPTURE(c.name);
        plugin.SetFile(c.in);
        const char* out = plugin.GetFile();
        REQUIRE(out != nullptr);
        CHECK(std::string(out) == c.expected);
        plugin.SetPath(c.in); // kept, never read back: it must only not fail
    }
    for (int i = 0; i < 200; ++i) {
        std::string t = RandomText(rng, rng() % 300);
        plugin.SetFile(t.c_str());
        plugin.SetPath(t.c_str());
        REQUIRE(std::string(plugin.GetFile()) == t);
    }
}

// Pointers a host may pass by mistake: a small number, an unreadable page, a
// text that runs into one without its zero, and the same with a guard page
// (under wine lstrlenA catches only access violations, so a guard page hit
// would end the host). Each leaves the mailbox alone, and the host's guard
// page stays armed.
TEST_CASE("text mailboxes: unreadable texts are refused quietly") {
    Plugin plugin;
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    const DWORD page = si.dwPageSize;
    // x...x | no access | x...x | guard
    auto* pages = static_cast<char*>(
        VirtualAlloc(nullptr, 4 * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    REQUIRE(pages != nullptr);
    std::memset(pages, 'x', 4 * page); // no zero before the unreadable pages
    DWORD old = 0;
    REQUIRE(VirtualProtect(pages + page, page, PAGE_NOACCESS, &old));
    REQUIRE(VirtualProtect(pages + 3 * page, page, PAGE_READWRITE | PAGE_GUARD, &old));
    const char* bad[] = {reinterpret_cast<const char*>(0x10),
                         pages + page,
                         pages + page - 5,
                         pages + 3 * page - 5,
                         pages + 3 * page,
                         pages + 2 * page};
    for (const char* text : bad) {
        CAPTURE(static_cast<const void*>(text));
        plugin.SetFile("kept");
        plugin.SetFile(text);
        CHECK(std::string(plugin.GetFile()) == "kept");
        plugin.SetPath(text);
    }
    MEMORY_BASIC_INFORMATION info;
    REQUIRE(VirtualQuery(pages + 3 * page, &info, sizeof info));
    CHECK((info.Protect & PAGE_GUARD) != 0);
    VirtualFree(pages, 0, MEM_RELEASE);
}

// A huge text when the process has no room left for a copy: refused, not
// fatal. The address space is filled with reservations around the call.
TEST_CASE("text mailboxes: a 96 MiB text without room for a copy is refused") {
    Plugin plugin;
    const size_t size = 96u << 20;
    auto* big = static_cast<char*>(VirtualAlloc(nullptr, size + 1, MEM_COMMIT, PAGE_READWRITE));
    REQUIRE(big != nullptr);
    std::memset(big, 'b', size);
    big[size] = 0;
    plugin.SetFile("kept");
    std::vector<void*> held;
    for (void* p; (p = VirtualAlloc(nullptr, 8u << 20, MEM_RESERVE, PAGE_NOACCESS));)
        held.push_back(p);
    plugin.SetFile(big);
    plugin.SetPath(big);
    std::string kept = plugin.GetFile();
    for (void* p : held)
        VirtualFree(p, 0, MEM_RELEASE);
    CHECK(kept == "kept");
    // With room again the same text is taken whole.
    plugin.SetFile(big);
    CHECK(std::strlen(plugin.GetFile()) == size);
    plugin.SetFile(nullptr);
    VirtualFree(big, 0, MEM_RELEASE);
}

TEST_CASE("values outside each table change nothing, on a closed and an open port") {
    PeerClient peer;
    REQUIRE(peer.Attach(1));
    TestHost host;
    REQUIRE(host.Adopt());
    for (bool open : {false, true}) {
        CAPTURE(open);
        if (open) {
            host.plugin.Call("open");
            REQUIRE(WaitLast(host, "sts#Open#"));
        }
        for (const Setting& s : Settings)
            for (std::int32_t v : OutsideValues) {
                if (InTable(s, v)) continue;
                CAPTURE(s.set);
                CAPTURE(v);
                host.plugin.SetData(v);
                host.plugin.Call(s.set);
                CHECK(host.plugin.GetData() == v);
                host.plugin.Call(s.get);
                CHECK(host.plugin.GetData() == s.current);
            }
        if (open) {
            // Nothing reached the driver either.
            PeerClient::LineSettings t = peer.Termios(1);
            CHECK(t.baud == 9600);
            CHECK(t.csize == 8);
            CHECK(!t.cstopb);
        }
    }
    CheckHostGoesOn(host, peer);
}

TEST_CASE("Draw with extreme rectangles: the click carries the corner's low 16 bits") {
    TestHost host;
    REQUIRE(host.Adopt());
    struct Case {
        std::int32_t left, top, width, height;
    } cases[] = {{INT_MIN, INT_MAX, INT_MAX, INT_MAX},
                 {INT_MAX, INT_MIN, INT_MIN, INT_MIN},
                 {-1, -1, -1, -1},
                 {0, 0, 0, 0},
                 {70000, -70000, 1 << 20, 1 << 20},
                 {10, 20, 100, 30}};
    for (const Case& c : cases) {
        CAPTURE(c.left);
        CAPTURE(c.top);
        host.plugin.Draw(c.left, c.top, c.width, c.height);
        host.received.clear();
        // A failed open is an error notification that needs no line.
        host.plugin.SetFile("COM16");
        host.plugin.Call("setport");
        host.plugin.Call("open");
        REQUIRE(host.WaitNotifications(1));
        auto corner = static_cast<LPARAM>(static_cast<DWORD>(c.top) << 16 |
                                          (static_cast<DWORD>(c.left) & 0xFFFF));
        CHECK(host.received[0].down == corner);
    }
    CHECK(IsWindow(host.Form1()));
}

TEST_CASE("port names: the edge list and random texts give COM1 to COM256 or change nothing") {
    TestHost host;
    REQUIRE(host.Adopt());
    struct Case {
        const char* in;
        const char* expected;
    } cases[] = {{"com3", "COM3"},        {"7", "COM7"},
                 {"+5", "COM5"},          {"COM3x", "COM3"},
                 {"COM16", "COM16"},      {"COM17", "COM17"},
                 {"COM0", "COM17"},       {"COM-2", "COM17"},
                 {"COM 3", "COM17"},      {"", "COM17"},
                 {"\\\\.\\COM3", "COM3"}, {"LPT1", "COM3"},
                 {"cOm12", "COM12"},      {"COM+16", "COM16"},
                 {"COM016", "COM16"},     {"COM4294967299", "COM16"},
                 {"COM", "COM16"},        {"-4294967295", "COM16"}};
    std::string current = "COM1";
    for (const Case& c : cases) {
        CAPTURE(c.in);
        host.plugin.SetFile(c.in);
        host.plugin.Call("setport");
        host.plugin.Call("getport");
        CHECK(std::string(host.plugin.GetFile()) == c.expected);
        CHECK(ExpectedPortName(c.in, current) == c.expected); // the reference agrees
        current = c.expected;
    }
    host.plugin.SetFile(nullptr);
    host.plugin.Call("setport");
    host.plugin.Call("getport");
    CHECK(std::string(host.plugin.GetFile()) == current);

    std::mt19937 rng(RunSeed() + 1);
    MESSAGE("seed " << RunSeed());
    const char* heads[] = {"", "COM", "com", "CoM", "+", "-", "COM+", "COM-", "LPT"};
    for (int i = 0; i < 3000; ++i) {
        std::string name = heads[rng() % 9];
        int kind = static_cast<int>(rng() % 3);
        if (kind == 0) name += std::to_string(rng() % 40);
        if (kind == 1) name += std::to_string(rng());
        name += RandomText(rng, rng() % 6);
        CAPTURE(name);
        host.plugin.SetFile(name.c_str());
        host.plugin.Call("setport");
        host.plugin.Call("getport");
        current = ExpectedPortName(name, current);
        REQUIRE(std::string(host.plugin.GetFile()) == current);
    }
}

TEST_CASE("sendstring of 1 MiB and of random bytes reaches the line whole") {
    OpenHost h(256000);
    TestHost& host = h.host;
    PeerClient& peer = h.peer;
    REQUIRE(peer.Pace(1, false)); // 1 MiB would take 41 s on the line
    std::mt19937 rng(RunSeed() + 2);
    MESSAGE("seed " << RunSeed());
    for (size_t length : {size_t(1) << 20, size_t(1), size_t(4095), size_t(4097), size_t(65536)}) {
        CAPTURE(length);
        std::string t = RandomText(rng, length);
        LineReader reader(1, length);
        host.plugin.SetFile(t.c_str());
        host.plugin.Call("sendstring");
        std::string got = reader.Finish();
        CHECK(got.size() == length);
        CHECK(got == t);
    }
    // The empty mailbox sends nothing and returns.
    host.plugin.SetFile("");
    host.plugin.Call("sendstring");
    CHECK(peer.Read(1, 10, 200).empty());
    CheckHostGoesOn(host, peer);
}

TEST_CASE("a seeded random run of 10,000 export calls while the peer streams") {
    PeerClient peer;
    REQUIRE(peer.Attach(1));
    REQUIRE(peer.Attach(2));
    REQUIRE(peer.Detach(3));
    // A live line that stays quiet. Set here, whatever earlier programs left:
    // an attached COM4 that no one drained made a long sendstring wait for its
    // write time-out, 100 ms a byte.
    REQUIRE(peer.Attach(4));
    // Texts up to 1 MiB at any rate down to 110 baud: no line could carry
    // them in the time, so the lines are the instant pty.
    for (int n : {1, 2, 4})
        REQUIRE(peer.Pace(n, false));
    TestHost host;
    REQUIRE(host.Adopt());
    HWND gone = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    DestroyWindow(gone);
    host.plugin.Call("open");
    REQUIRE(WaitLast(host, "sts#Open#"));
    REQUIRE(peer.Stream(1, 50 << 20, 61));
    REQUIRE(peer.Stream(2, 50 << 20, 62));
    const unsigned seed = RunSeed() + 3;
    MESSAGE("seed " << RunSeed());
    std::mt19937 rng(seed);
    const std::string big = RandomText(rng, 1 << 20);
    SIZE_T memory = PrivateBytes();
    DWORD handles = HandleCount();

    // Values that a host could pass: the table edges, the extremes, any.
    auto anyValue = [&]() -> std::int32_t {
        static const std::int32_t edges[] = {0,    -1, 4, 9, 230400, INT_MIN, INT_MAX,
                                             9600, 5,  8, 1, 3,      256000,  110};
        return rng() % 2 ? edges[rng() % 14] : static_cast<std::int32_t>(rng());
    };
    // Port names: odd ones and COM1 to COM4 (the rig's lines: COM3 missing,
    // COM4 quiet).
    // Never COM5: wine maps it to the machine's own serial device.
    auto anyName = [&]() -> std::string {
        for (;;) {
            std::string n;
            switch (rng() % 4) {
            case 0:
                n = "COM" + std::to_string(1 + rng() % 4);
                break;
            case 1:
                n = std::to_string(static_cast<int>(rng() % 40) - 10);
                break;
            case 2:
                n = RandomText(rng, rng() % 12);
                break;
            default:
                n = "com" + std::to_string(1 + rng() % 4) + RandomText(rng, rng() % 3);
                break;
            }
            if (ExpectedPortName(n) != "COM5") return n;
        }
    };
    auto anyText = [&]() -> std::string {
        switch (rng() % 8) {
        case 0:
            return std::string();
        case 1:
            return anyName();
        default:
            return RandomText(rng, rng() % 64);
        }
    };

    auto helper = std::make_unique<Helper>();
    std::int32_t data = 0;
    int calls = 0;
    for (; calls < 10000; ++calls) {
        switch (rng() % 27) {
        case 0:
            host.plugin.Call("Close");
            break;
        case 1:
            host.plugin.Call("open");
            break;
        case 2: {
            host.plugin.Call("getport");
            std::string name = host.plugin.GetFile();
            REQUIRE(ExpectedPortName(name) == name);
            break;
        }
        case 3: {
            std::string t = anyName();
            host.plugin.SetFile(t.c_str());
            host.plugin.Call("setport");
            break;
        }
        case 4:
            host.plugin.Call("sendstring");
            break;
        case 5:
            host.plugin.Call(rng() % 2 ? "getstring" : "senddata");
            break;
        case 6:
            host.plugin.Call(rng() % 2 ? "getparity" : "setparity");
            break;
        case 7:
            host.plugin.Call("getstopbit");
            break;
        case 8:
            host.plugin.Call("setstopbit");
            break;
        case 9:
            host.plugin.Call("getdatabit");
            break;
        case 10:
            host.plugin.Call("setdatabit");
            break;
        case 11:
            host.plugin.Call("getbaudrate");
            break;
        case 12:
            host.plugin.Call("setbaudrate");
            break;
        case 13:
            data = anyValue();
            host.plugin.SetData(data);
            break;
        case 14: {
            auto ordinal = rng() % 2 ? 7 : 26;
            std::int32_t v = host.plugin.Ordinal<Plugin::IntFn>(ordinal)();
            // Only the get exports write it, and only values of their tables.
            if (v != data)
                CHECK((InTable(Settings[0], v) || InTable(Settings[1], v) ||
                       InTable(Settings[2], v)));
            data = v;
            break;
        }
        case 15: {
            std::string t = rng() % 200 ? anyText() : big;
            host.plugin.SetFile(rng() % 20 ? t.c_str() : nullptr);
            break;
        }
        case 16: {
            const char* t = host.plugin.GetFile();
            REQUIRE(t != nullptr);
            (void)std::strlen(t);
            break;
        }
        case 17: {
            std::string t = rng() % 200 ? anyText() : big;
            host.plugin.SetPath(rng() % 20 ? t.c_str() : nullptr);
            break;
        }
        case 18:
            host.plugin.Draw(anyValue() % 2000, anyValue() % 2000, rng() % 400, rng() % 200);
            break;
        case 19: {
            // Another window, a destroyed one, none: the component stays and
            // tells the newest; the next pass of this case may restore ours.
            HWND choices[] = {host.window, host.window, nullptr, gone,
                              reinterpret_cast<HWND>(static_cast<UINT_PTR>(rng()))};
            host.plugin.SetParentWindow(choices[rng() % 5]);
            break;
        }
        case 20:
            host.plugin.CallText(rng() % 2 ? "GetInfo" : "GetShortInfo");
            break;
        case 21:
            host.plugin.CallText("Copyright");
            break;
        case 22:
            CHECK(host.plugin.CallInt("HasIntDlg") == 1);
            break;
        case 23:
            CHECK(host.plugin.CallInt("CreateObject") == 0);
            break;
        case 24:
            // Modal: the helper thread answers it; rare, as hosts show it.
            if (rng() % 50 == 0) CHECK(host.plugin.CallInt("Interface") == 0);
            break;
        default:
            host.Pump(1);
            break;
        }
        // The host answers its clicks between calls, as a host does.
        if (calls % 16 == 0) host.Pump(0);
    }
    helper.reset(); // it would drain what the closing check must read
    MESSAGE(calls << " export calls, " << host.clicks << " clicks answered");
    host.plugin.SetParentWindow(host.window);
    host.Pump(300);
    CHECK(PrivateBytes() < memory + (16 << 20));
    CHECK(HandleCount() < handles + 50);
    // The line's settings may be anything now: back to a known state.
    host.plugin.SetData(8);
    host.plugin.Call("setdatabit");
    host.plugin.SetData(1);
    host.plugin.Call("setstopbit");
    CheckHostGoesOn(host, peer);
}
