// A small host: loads comrelay.dll and walks the mailbox protocol, printing
// what it sends and what comes back.
#include "host/HostHarness.h"
#include <cstdio>

int main() {
    Plugin plugin("comrelay.dll");
    if (!plugin.Loaded()) {
        std::printf("comrelay.dll did not load (error %lu)\n", GetLastError());
        return 1;
    }
    std::printf("GetInfo      -> %s", plugin.CallText("GetInfo"));
    std::printf("GetShortInfo -> %s\n", plugin.CallText("GetShortInfo"));
    std::printf("Copyright    -> %s\n", plugin.CallText("Copyright"));
    std::printf("HasIntDlg    -> %d\n", plugin.CallInt("HasIntDlg"));
    plugin.SetData(19200);
    std::printf("SetData 19200; GetData -> %d\n", plugin.GetData());
    plugin.SetFile("hello, line");
    std::printf("SetFile \"hello, line\"; GetFile -> \"%s\"\n", plugin.GetFile());
    return 0;
}
