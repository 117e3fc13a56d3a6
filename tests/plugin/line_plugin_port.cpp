// Opening, closing, moving and configuring the port through the exports, as
// the peer on the real line sees it.
#include <doctest/doctest.h>

#include "plugin/OpenHost.h"
#include <cstdlib>

namespace {
using Texts = std::vector<std::string>;
const char ErrorText[] = "err#\xEE\xF8\xE8\xE1\xEA\xE0 \xEF\xEE\xF0\xF2\xE0#";
} // namespace

TEST_CASE("open, close and their notifications") {
    PeerClient peer;
    REQUIRE(peer.Attach(1));
    TestHost host;
    REQUIRE(host.Adopt());
    host.plugin.SetFile("before");
    host.plugin.Call("open");
    host.plugin.Call("open"); // already open: nothing
    REQUIRE(host.WaitNotifications(1));
    host.Pump(200);
    CHECK(host.Texts() == Texts{"sts#Open#"});
    host.plugin.Call("Close");
    host.plugin.Call("Close"); // already closed: nothing
    REQUIRE(host.WaitNotifications(2));
    host.Pump(200);
    CHECK(host.Texts() == Texts{"sts#Open#", "sts#Close#"});
}

TEST_CASE("setport on an open port moves it to the new line") {
    PeerClient peer;
    REQUIRE(peer.Attach(1));
    REQUIRE(peer.Attach(2));
    TestHost host;
    REQUIRE(host.Adopt());
    host.plugin.Call("open");
    REQUIRE(host.WaitNotifications(1));
    host.answerClicks = false; // let both clicks queue, as a busy host would
    host.plugin.SetFile("com2");
    host.plugin.Call("setport");
    CHECK(std::string(host.plugin.GetFile()) == "sts#Open#");
    host.Pump(200);
    CHECK(host.clicks == 3);
    host.plugin.SetFile("to two");
    host.plugin.Call("sendstring");
    CHECK(peer.Read(2, 100, 2000) == "to two");
    CHECK(peer.Read(1, 100, 200).empty());
    // The same name again changes nothing.
    host.plugin.SetFile("COM2");
    host.plugin.Call("setport");
    host.Pump(200);
    CHECK(host.clicks == 3);
}

TEST_CASE("settings reach the line at once on an open port") {
    OpenHost h;
    PeerClient& peer = h.peer;
    TestHost& host = h.host;
    PeerClient::LineSettings t = peer.Termios(1);
    CHECK(t.baud == 9600);
    CHECK(t.csize == 8);
    CHECK(!t.cstopb);
    CHECK(!t.parenb);
    CHECK(!t.crtscts);
    CHECK(!t.ixon);

    host.plugin.SetData(19200);
    host.plugin.Call("setbaudrate");
    // 5 bits: the rig's pty refuses 6 and 7 (wine's SetCommState fails with
    // ERROR_INVALID_PARAMETER), and a refused setting is an error.
    host.plugin.SetData(5);
    host.plugin.Call("setdatabit");
    host.plugin.SetData(3);
    host.plugin.Call("setstopbit");
    t = peer.Termios(1);
    CHECK(t.baud == 19200);
    CHECK(t.csize == 5);
    CHECK(t.cstopb);
}

// A device that refuses new settings: on an open port the setter is an error
// and the get export reports what the line still has; on a closed port a
// setter only stores, as ever (the open will tell).
TEST_CASE("a setting the device refuses: one error on an open port, the old value kept") {
    struct Row {
        const char* set;
        const char* get;
        std::int32_t value, old;
    };
    const Row rows[] = {{"setbaudrate", "getbaudrate", 19200, 9600},
                        {"setdatabit", "getdatabit", 7, 8},
                        {"setstopbit", "getstopbit", 3, 1}};
    for (const Row& row : rows) {
        CAPTURE(row.set);
        OpenHost h;
        REQUIRE(h.peer.Fail(1, "tcsetattr", h.peer.Uses(1, "tcsetattr") + 1, true, "EIO"));
        h.host.plugin.SetData(row.value);
        h.host.plugin.Call(row.set);
        h.host.Pump(300);
        CHECK(h.host.Texts() == Texts{"err#\xEE\xF8\xE8\xE1\xEA\xE0 \xEF\xEE\xF0\xF2\xE0#"});
        h.host.plugin.SetData(0);
        h.host.plugin.Call(row.get);
        CHECK(h.host.plugin.GetData() == row.old);
        CHECK(h.peer.Termios(1).baud == 9600);
        REQUIRE(h.peer.FailOff(1));

        // Closed, the same setter stores without a word.
        h.host.plugin.Call("Close");
        REQUIRE(h.host.WaitNotifications(2));
        h.host.received.clear();
        REQUIRE(h.peer.Fail(1, "tcsetattr", h.peer.Uses(1, "tcsetattr") + 1, true, "EIO"));
        h.host.plugin.SetData(row.value);
        h.host.plugin.Call(row.set);
        h.host.Pump(200);
        CHECK(h.host.Texts().empty());
        h.host.plugin.Call(row.get);
        CHECK(h.host.plugin.GetData() == row.value);
        REQUIRE(h.peer.FailOff(1));
    }
}

TEST_CASE("WM_CLOSE to Form1 sets 300 baud, then the component ends and the port closes") {
    OpenHost h;
    PeerClient& peer = h.peer;
    TestHost& host = h.host;
    SendMessageA(host.Form1(), WM_CLOSE, 0, 0);
    REQUIRE(host.WaitNotifications(1));
    CHECK(host.received.back().text == "sts#Close#");
    CHECK(host.Form1() == nullptr);
    CHECK(peer.Termios(1).baud == 300); // set by the close handler while still open
    // The port is closed: the line no longer carries what the host sends.
    host.plugin.SetFile("gone");
    host.plugin.Call("sendstring");
    CHECK(peer.Read(1, 100, 300).empty());
}

TEST_CASE("a failed open is an error, not an open port") {
    PeerClient peer;
    REQUIRE(peer.Detach(3));
    REQUIRE(peer.Attach(4));
    REQUIRE(peer.Busy(4, true));
    TestHost host;
    REQUIRE(host.Adopt());
    for (const char* name : {"COM3", "COM4"}) {
        CAPTURE(name);
        host.received.clear();
        host.plugin.SetFile(name);
        host.plugin.Call("setport");
        host.plugin.Call("open");
        REQUIRE(host.WaitNotifications(1));
        host.Pump(200);
        CHECK(host.Texts() == Texts{"err#\xEE\xF8\xE8\xE1\xEA\xE0 \xEF\xEE\xF0\xF2\xE0#"});
        host.plugin.Call("Close"); // the port never opened: no "sts#Close#"
        host.Pump(200);
        CHECK(host.received.size() == 1);
    }
    peer.Busy(4, false);
}

TEST_CASE("setport reaches COM17 and COM200; a text that names no port changes nothing") {
    PeerClient peer;
    REQUIRE(peer.Attach(2));
    // Wine starts Unix programs too: ln links a name in run.sh's prefix at
    // once, where a Ports entry would wait for the next wineserver.
    std::string links = std::string(std::getenv("WINEPREFIX")) + "/dosdevices/com";
    auto unix = [](std::string command) {
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi;
        if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, 0, 0, 0, 0, &si, &pi))
            WaitForSingleObject(pi.hProcess, 10000);
    };
    for (const char* n : {"17", "200"})
        unix("Z:\\bin\\ln -sfn " + std::string(std::getenv("COMRELAY_RIG_DIR")) + "/links/com2 " +
             links + n);
    TestHost host;
    REQUIRE(host.Adopt());
    for (int k = 0; const char* name : {"com17", "COM200", "LPT1", "COM257", "sts#Open#"}) {
        CAPTURE(std::string(name));
        bool names = k++ < 2;
        host.received.clear();
        host.plugin.SetFile(name);
        host.plugin.Call("setport");
        host.plugin.Call("open"); // already open: nothing
        REQUIRE(host.WaitNotifications(1));
        host.Pump(300);
        CHECK(host.Texts().back() == (names ? "sts#Open#" : ErrorText));
        host.plugin.Call("getport");
        CHECK(std::string(host.plugin.GetFile()) == (k == 1 ? "COM17" : "COM200"));
        host.plugin.SetFile(name);
        host.plugin.Call("sendstring");
        CHECK(peer.Read(2, 100, 2000) == name);
    }
    unix("Z:\\bin\\rm -f " + links + "17 " + links + "200");
}

TEST_CASE("a worker thread's sends go out as written while the host's thread takes a stream") {
    OpenHost h(115200);
    struct Worker {
        const Plugin* plugin;
        std::string sent;
        int misread = 0;
        static DWORD WINAPI SendLines(void* context) {
            auto* w = static_cast<Worker*>(context);
            for (int i = 0; i < 300; ++i) {
                std::string line = "w" + std::to_string(i) + "\n";
                w->plugin->SetFile(line.c_str());
                w->plugin->Call("sendstring");
                w->misread += line != w->plugin->GetFile(); // its own text, never the host's
                w->sent += line;
            }
            return 0;
        }
    } worker{&h.host.plugin, {}, 0};
    REQUIRE(h.peer.Stream(1, 8040, 9));
    HANDLE thread = CreateThread(nullptr, 0, Worker::SendLines, &worker, 0, nullptr);
    long position = 0;
    CHECK(FollowStream(h.host, 0, 8040, 9, 30000, position));
    CHECK(position == 8040);
    while (WaitForSingleObject(thread, 0) == WAIT_TIMEOUT)
        h.host.Pump(20);
    CHECK(worker.misread == 0);
    std::string got;
    for (std::string more; got.size() < worker.sent.size(); got += more)
        if ((more = h.peer.Read(1, 4096, 2000)).empty()) break;
    CHECK(got == worker.sent);
}

// A worker's calls while the GUI thread's own exports run on a paced line
// with bytes arriving: each runs on the GUI thread once that thread takes
// messages outside any export of ours, one at a time and in order, never
// inside a GUI sendstring; one the GUI thread does not take within the bound
// (it waits for the worker without taking messages) is withdrawn, and the
// worker reads err#.
TEST_CASE("a worker's calls never run inside the GUI thread's exports") {
    enum Kind { SetPortDuringSend, CloseDuringSend, LinesDuringBlocks, JoinWithoutMessages };
    struct Worker {
        const Plugin* plugin;
        Kind kind;
        std::string sent, last;
        static DWORD WINAPI Run(void* context) {
            auto* w = static_cast<Worker*>(context);
            Sleep(30); // into the GUI thread's send
            if (w->kind == SetPortDuringSend) w->plugin->SetFile("COM2");
            if (w->kind == SetPortDuringSend) w->plugin->Call("setport");
            if (w->kind == CloseDuringSend) w->plugin->Call("Close");
            for (int i = 0; i < (w->kind == LinesDuringBlocks ? 40 : 0); ++i) {
                std::string line = "<w" + std::to_string(i) + ">";
                w->plugin->SetFile(line.c_str());
                w->plugin->Call("sendstring");
                w->sent += line;
            }
            if (w->kind == JoinWithoutMessages) w->plugin->SetFile("never");
            if (w->kind == JoinWithoutMessages) w->plugin->Call("sendstring");
            w->last = w->plugin->GetFile();
            return 0;
        }
    };
    for (Kind kind : {SetPortDuringSend, CloseDuringSend, LinesDuringBlocks, JoinWithoutMessages}) {
        CAPTURE(int(kind));
        OpenHost h;
        REQUIRE(h.peer.Attach(2));
        REQUIRE(h.peer.StreamRate(1, 2000, 480)); // bytes arrive meanwhile
        Worker w{&h.host.plugin, kind, {}, {}};
        HANDLE thread = CreateThread(nullptr, 0, Worker::Run, &w, 0, nullptr);
        std::string gui;
        if (kind == JoinWithoutMessages) {
            CHECK(WaitForSingleObject(thread, 10000) == WAIT_OBJECT_0);
            CHECK(w.last == ErrorText);
        }
        for (char block : kind == LinesDuringBlocks ? std::string("ABC") : std::string("X")) {
            std::string text(kind == LinesDuringBlocks ? 1024 : 2048, block);
            h.host.plugin.SetFile(text.c_str());
            h.host.plugin.Call("sendstring");
            gui += text;
            h.host.Pump(20);
        }
        while (WaitForSingleObject(thread, 0) == WAIT_TIMEOUT)
            h.host.Pump(20);
        CloseHandle(thread);
        h.host.Pump(300);
        std::string got;
        for (std::string more; (more = h.peer.Read(1, 4096, 1500)).size();)
            got += more;
        // The GUI thread's blocks went out whole, each in one piece.
        for (char block : std::string(kind == LinesDuringBlocks ? "ABC" : "X"))
            CHECK(got.find(std::string(kind == LinesDuringBlocks ? 1024 : 2048, block)) !=
                  std::string::npos);
        if (kind == LinesDuringBlocks) {
            for (int i = 0; i < 40; ++i) {
                std::string line = "<w" + std::to_string(i) + ">";
                CHECK(got.find(line) != std::string::npos);
            }
            CHECK(got.size() == gui.size() + w.sent.size());
        }
        h.host.plugin.Call("getport");
        CHECK(std::string(h.host.plugin.GetFile()) ==
              (kind == SetPortDuringSend ? "COM2" : "COM1"));
        for (const std::string& t : h.host.Texts())
            CHECK(t != ErrorText);
        if (kind == CloseDuringSend) CHECK(h.host.Texts().back() == "sts#Close#");
    }
}

// A UI thread that builds the component, opens, sends, destroys its window
// and ends leaves the plug-in to the next thread that gives a window.
TEST_CASE("the owning thread's end frees the plug-in for the next thread's window") {
    PeerClient peer;
    REQUIRE(peer.Attach(1));
    struct Ui {
        static DWORD WINAPI Run(void*) {
            TestHost host;
            if (!host.Adopt()) return 1;
            host.plugin.Call("open");
            if (!host.WaitNotifications(1)) return 2;
            host.plugin.SetFile("ui");
            host.plugin.Call("sendstring");
            return 0; // the window goes with the host, then the thread ends
        }
    };
    HANDLE ui = CreateThread(nullptr, 0, Ui::Run, nullptr, 0, nullptr);
    REQUIRE(WaitForSingleObject(ui, 20000) == WAIT_OBJECT_0);
    DWORD code = 99;
    GetExitCodeThread(ui, &code);
    CloseHandle(ui);
    CHECK(code == 0);
    CHECK(peer.Read(1, 100, 2000) == "ui");
    TestHost host;
    REQUIRE(host.Adopt());
    host.plugin.Call("open");
    REQUIRE(host.WaitNotifications(1));
    CHECK(host.Texts().back() == "sts#Open#");
    host.plugin.Call("getport");
    CHECK(std::string(host.plugin.GetFile()) == "COM1");
    host.plugin.SetFile("main");
    host.plugin.Call("sendstring");
    CHECK(peer.Read(1, 100, 2000) == "main");
}

// While a worker's Interface runs on the GUI thread, the GUI thread's click
// handlers read their own notices, not the worker's text. The dialog's loop
// runs inside the GUI thread's pump; a driver thread brings the bytes and
// answers the dialog once the host has had its click.
TEST_CASE("a worker's Interface lends the host's handlers nothing of its mailbox") {
    OpenHost h;
    struct Worker {
        const Plugin* plugin;
        std::string after;
        static DWORD WINAPI Run(void* context) {
            auto* w = static_cast<Worker*>(context);
            w->plugin->SetFile("worker's own");
            w->plugin->CallInt("Interface");
            w->after = w->plugin->GetFile();
            return 0;
        }
    } w{&h.host.plugin, {}};
    struct Driver {
        volatile int* clicks;
        static DWORD WINAPI Run(void* context) {
            auto* d = static_cast<Driver*>(context);
            HWND form = nullptr;
            for (int i = 0; i < 500 && !IsWindowVisible(form = FindWindowA("obj_Form", "Form2"));
                 ++i)
                Sleep(10);
            PeerClient peer;
            peer.Write(1, "AB");
            for (int i = 0; i < 500 && *d->clicks == 0; ++i)
                Sleep(10);
            PostMessageA(FindWindowExA(form, nullptr, "obj_BUTTON", "Cansel"), BM_CLICK, 0, 0);
            return 0;
        }
    } d{&h.host.clicks};
    HANDLE worker = CreateThread(nullptr, 0, Worker::Run, &w, 0, nullptr);
    HANDLE driver = CreateThread(nullptr, 0, Driver::Run, &d, 0, nullptr);
    CHECK(h.host.PumpUntil([&] { return WaitForSingleObject(worker, 0) == WAIT_OBJECT_0; }, 15000));
    WaitForSingleObject(driver, 10000);
    CloseHandle(worker);
    CloseHandle(driver);
    REQUIRE(!h.host.received.empty());
    CHECK(h.host.received[0].text == "str#AB#");
    CHECK(w.after == "worker's own");
}
