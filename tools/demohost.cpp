// The reference host: loads comrelay.dll, gives it a window, opens COM1 on
// the virtual null-modem, sends a line, lets the far end answer, and prints
// every notification that comes back through the click-and-GetFile protocol.
#include "plugin/TestHost.h"
#include "support/PeerClient.h"
#include <cstdio>
#include <string>

namespace {

std::string Printable(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        char buf[8];
        if (c >= 32 && c < 127) {
            out += char(c);
        } else {
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out;
}

// Pumps until the next notification and prints it.
void Expect(TestHost& host, size_t count) {
    if (!host.WaitNotifications(count, 5000)) {
        std::printf("   (no notification came)\n");
        return;
    }
    const Notification& n = host.received[count - 1];
    std::printf("<- click at (%d, %d); GetFile -> \"%s\"\n", short(LOWORD(n.down)),
                short(HIWORD(n.down)), Printable(n.bytes).c_str());
}

} // namespace

int main() {
    PeerClient peer;
    TestHost host;
    if (!host.plugin.Loaded()) {
        std::printf("comrelay.dll did not load (error %lu)\n", GetLastError());
        return 1;
    }
    std::printf("GetInfo      -> \"%s\"\n", Printable(host.plugin.CallText("GetInfo")).c_str());
    std::printf("GetShortInfo -> \"%s\"\n", host.plugin.CallText("GetShortInfo"));
    std::printf("Copyright    -> \"%s\"\n", host.plugin.CallText("Copyright"));
    std::printf("HasIntDlg    -> %d\n", host.plugin.CallInt("HasIntDlg"));

    if (!peer.Attach(1)) {
        std::printf("the null-modem peer is not running (start with ./run.sh demo)\n");
        return 1;
    }
    std::printf("-> SetParentWindow(host window); Draw(0, 12, 34, 231, 89)\n");
    if (!host.Adopt()) std::printf("   (Form1 did not appear in the host window)\n");
    host.plugin.Draw(12, 34, 231, 89);

    std::printf("-> SetData(115200); setbaudrate; getbaudrate; GetData -> ");
    host.plugin.SetData(115200);
    host.plugin.Call("setbaudrate");
    host.plugin.SetData(0);
    host.plugin.Call("getbaudrate");
    std::printf("%d\n", host.plugin.GetData());
    host.plugin.Call("getport");
    std::printf("-> getport; GetFile -> \"%s\"\n", host.plugin.GetFile());

    std::printf("-> open\n");
    host.plugin.Call("open");
    Expect(host, 1);
    PeerClient::LineSettings t = peer.Termios(1);
    std::printf("   the far end sees %d baud, %d data bits, %s stop bits\n", t.baud, t.csize,
                t.cstopb ? "2" : "1");

    const char* line = "MEAS:VOLT? (from the host)\r\n";
    std::printf("-> SetFile(\"%s\"); sendstring\n", Printable(line).c_str());
    host.plugin.SetFile(line);
    host.plugin.Call("sendstring");
    std::printf("   the far end reads \"%s\"\n", Printable(peer.Read(1, 256, 2000)).c_str());

    std::string answer("+1.2345E+00 V\r\n#zero:\0!", 23);
    std::printf("   the far end writes \"%s\"\n", Printable(answer).c_str());
    peer.Write(1, answer);
    Expect(host, 2);

    std::printf("-> Close\n");
    host.plugin.Call("Close");
    Expect(host, 3);
    return 0;
}
