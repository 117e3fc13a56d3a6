// The export table as a host reaches it, the two mailboxes and the information
// texts, including input that a careless host may pass.
#include <doctest/doctest.h>

#include "host/HostHarness.h"
#include <cstring>
#include "support/ProcessCounters.h"
#include <cstdlib>
#include <string>

namespace {

const char* const SerialExports[] = {"Close",      "open",        "getport",    "setport",
                                     "getstring",  "sendstring",  "senddata",   "getparity",
                                     "setparity",  "getstopbit",  "setstopbit", "getdatabit",
                                     "setdatabit", "getbaudrate", "setbaudrate"};

} // namespace

TEST_CASE("every export answers by name and by ordinal") {
    Plugin plugin;
    REQUIRE(plugin.Loaded());
    const char* const byOrdinal[] = {
        "Close",       "open",       "getport",         "setport",      "getstring",
        "sendstring",  "GetData",    "senddata",        "getparity",    "setparity",
        "getstopbit",  "setstopbit", "getdatabit",      "setdatabit",   "getbaudrate",
        "setbaudrate", "Draw",       "SetParentWindow", "CreateObject", "Interface",
        "HasIntDlg",   "GetInfo",    "GetShortInfo",    "Copyright",    "SetPath",
        "GetData",     "SetData",    "GetFile",         "SetFile"};
    for (int i = 0; i < 29; ++i) {
        CAPTURE(i + 1);
        void* named = plugin.Export<void*>(byOrdinal[i]);
        CHECK(named != nullptr);
        CHECK(plugin.Ordinal<void*>(i + 1) == named);
    }
    CHECK(plugin.Ordinal<void*>(30) == nullptr);
    CHECK(plugin.Export<void*>("close") == nullptr); // names keep their case
}

TEST_CASE("a fresh library answers with empty mailboxes and its fixed texts") {
    Plugin plugin;
    CHECK(plugin.GetData() == 0);
    REQUIRE(plugin.GetFile() != nullptr);
    CHECK(plugin.GetFile()[0] == 0);
    CHECK(std::string(plugin.CallText("GetInfo")) == "Quillon Tarvex\r\n");
    CHECK(std::string(plugin.CallText("GetShortInfo")) == "Quillon Minvex");
    std::string notice = plugin.CallText("Copyright");
    CHECK(!notice.empty());
    CHECK(notice.find_first_of("\r\n") == std::string::npos);
    for (int round = 0; round < 2; ++round) {
        CHECK(plugin.CallInt("HasIntDlg") == 1);
        CHECK(plugin.CallInt("CreateObject") == 0);
    }
}

TEST_CASE("the integer mailbox keeps its value through reads, at both GetData ordinals") {
    Plugin plugin;
    plugin.SetData(-5);
    CHECK(plugin.GetData() == -5);
    CHECK(plugin.GetData() == -5);
    CHECK(plugin.Ordinal<Plugin::IntFn>(7)() == -5);
    CHECK(plugin.Ordinal<Plugin::IntFn>(26)() == -5);
}

TEST_CASE("the text mailbox copies up to the first zero and never returns null") {
    Plugin plugin;
    plugin.SetFile("abc");
    CHECK(std::string(plugin.GetFile()) == "abc");
    plugin.SetFile(nullptr);
    REQUIRE(plugin.GetFile() != nullptr);
    CHECK(plugin.GetFile()[0] == 0);
    plugin.SetFile("x");
    plugin.SetFile("");
    CHECK(plugin.GetFile()[0] == 0);

    char high[129];
    for (int i = 0; i < 128; ++i)
        high[i] = char(0x80 + i);
    high[128] = 0;
    plugin.SetFile(high);
    CHECK(std::memcmp(plugin.GetFile(), high, 129) == 0);

    char host[] = "kept?";
    plugin.SetFile(host);
    host[0] = 'X'; // the host's buffer is not retained
    CHECK(std::string(plugin.GetFile()) == "kept?");

    plugin.SetPath(nullptr);
    plugin.SetPath("C:\\plugins\\");
    CHECK(std::string(plugin.GetFile()) == "kept?");
}

TEST_CASE("a 1 MiB text passes the mailbox whole") {
    Plugin plugin;
    std::string big(1 << 20, 'q');
    for (size_t i = 0; i < big.size(); i += 97)
        big[i] = char(1 + i % 255);
    plugin.SetFile(big.c_str());
    const char* back = plugin.GetFile();
    CHECK(std::strlen(back) == big.size());
    CHECK(std::memcmp(back, big.data(), big.size()) == 0);
}

TEST_CASE("10,000 mailbox rounds neither grow the heap nor leak handles") {
    Plugin plugin;
    std::string text(300, 'm');
    for (int i = 0; i < 200; ++i)
        plugin.SetFile(text.c_str()); // settle the heap
    SIZE_T bytesBefore = PrivateBytes();
    DWORD handlesBefore = HandleCount();
    for (int i = 0; i < 10000; ++i) {
        text[i % text.size()] = char('a' + i % 26);
        plugin.SetFile(text.c_str());
        REQUIRE(plugin.GetFile()[0] != 0);
    }
    CHECK(HandleCount() <= handlesBefore);
    CHECK(PrivateBytes() <= bytesBefore + 256 * 1024);
}

TEST_CASE("the component exports do nothing before SetParentWindow") {
    Plugin plugin;
    plugin.SetData(19200);
    plugin.SetFile("COM3");
    for (const char* name : SerialExports) {
        CAPTURE(name);
        plugin.Call(name);
        CHECK(plugin.GetData() == 19200);
        CHECK(std::string(plugin.GetFile()) == "COM3");
    }
    plugin.Draw(10, 20, 100, 30);
    CHECK(plugin.GetData() == 19200);
}

TEST_CASE("the library loads and unloads repeatedly") {
    for (int i = 0; i < 20; ++i) {
        Plugin plugin;
        REQUIRE(plugin.Loaded());
        plugin.SetFile("round");
    }
}

UINT TraceLines = 0; // the trace's lines, seen as OutputDebugStringA raises them
LONG CALLBACK CountTrace(EXCEPTION_POINTERS* e) {
    const EXCEPTION_RECORD* r = e->ExceptionRecord;
    TraceLines +=
        r->ExceptionCode == DBG_PRINTEXCEPTION_C &&
        !std::strncmp(reinterpret_cast<const char*>(r->ExceptionInformation[1]), "comrelay:", 9);
    return EXCEPTION_CONTINUE_SEARCH;
}

// Read as the library loads: each value runs in a process of its own, this
// program again, whose exit code tells whether it saw trace lines.
TEST_CASE("COMRELAY_TRACE: 0, off and an empty value mean off") {
    if (std::getenv("COMRELAY_TRACE_CHILD")) {
        AddVectoredExceptionHandler(1, CountTrace);
        Plugin plugin;
        plugin.SetParentWindow(CreateWindowExA(0, "STATIC", "", WS_OVERLAPPEDWINDOW, 0, 0, 99, 99,
                                               nullptr, nullptr, nullptr, nullptr));
        plugin.Call("open"); // opened or refused, it is a notice
        ExitProcess(TraceLines > 0);
    }
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    SetEnvironmentVariableA("COMRELAY_TRACE_CHILD", "1");
    for (std::string value : {"0", "off", "OFF", "", "1", "on"}) {
        CAPTURE(value);
        SetEnvironmentVariableA("COMRELAY_TRACE", value.c_str());
        int traced = std::system((self + std::string(" --test-case=COMRELAY*")).c_str());
        CHECK(traced == (value == "1" || value == "on"));
    }
    SetEnvironmentVariableA("COMRELAY_TRACE_CHILD", nullptr);
    SetEnvironmentVariableA("COMRELAY_TRACE", nullptr);
}
