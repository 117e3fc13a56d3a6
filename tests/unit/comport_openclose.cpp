// Opening and closing: the device calls in their order, the hooks in their
// order (open, close, reopen through SetPortName), and a failed open.
#include <doctest/doctest.h>

#include "unit/comport_FakeDevice.h"

using Lines = std::vector<std::string>;

namespace {

// The journal without the event thread's own wait traffic, whose timing
// against the owner's calls is free.
Lines OwnerView(Journal& j) {
    Lines out;
    for (auto& e : j.Entries())
        if (e != "WaitCommEvent" && e != "GetOverlappedResult") out.push_back(e);
    return out;
}

int IndexOf(const Lines& lines, const std::string& entry) {
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i] == entry) return int(i);
    return -1;
}

const char OpenCall[] = "CreateFileA \\\\.\\COM1 C0000000 0 3 40000000";

} // namespace

TEST_CASE("Open and Close make their device calls in order") {
    FakePort f;
    f.port->Open();
    CHECK(f.journal.WaitFor("WaitCommEvent"));
    CHECK(OwnerView(f.journal) == Lines{OpenCall, "SetupComm 1024 1024", "SetCommState",
                                        "SetCommTimeouts", "SetCommMask 5FF"});
    CHECK(f.port->Connected);
    CHECK(f.port->ThreadCreated);
    CHECK(f.port->Handle == FakeComDevice::DeviceHandle());

    f.journal.Clear();
    f.port->Close();
    // Abort transfers; the thread clears the mask (ending its wait) and the
    // buffers; only then is the handle closed.
    CHECK(OwnerView(f.journal) ==
          Lines{"PurgeComm 3", "SetCommMask 0", "PurgeComm C", "CloseHandle"});
    CHECK_FALSE(f.port->Connected);
    CHECK_FALSE(f.port->ThreadCreated);
    CHECK(f.port->EventThread == nullptr);
    CHECK(f.port->Handle == INVALID_HANDLE_VALUE);
}

TEST_CASE("hooks on open and close come in order, around the device calls") {
    FakePort f;
    RecordHooks(f.port, &f.journal);
    f.device.modemStatus = MS_CTS_ON | MS_RLSD_ON | MS_RING_ON;
    f.port->Open();
    Lines open = OwnerView(f.journal);
    CHECK(f.journal.Only("On") == Lines{"OnBeforeOpenClose", "OnAfterOpen", "OnCTSChange(1)",
                                        "OnDSRChange(0)", "OnRLSDChange(1)"});
    CHECK(IndexOf(open, "OnBeforeOpenClose") < IndexOf(open, OpenCall));
    CHECK(IndexOf(open, "SetCommMask 5FF") < IndexOf(open, "OnAfterOpen"));
    CHECK(f.journal.Count("GetCommModemStatus") == 3); // each line read afresh

    f.journal.Clear();
    f.port->Close();
    Lines close = OwnerView(f.journal);
    CHECK(close == Lines{"OnBeforeOpenClose", "OnCTSChange(0)", "OnDSRChange(0)", "OnRLSDChange(0)",
                         "PurgeComm 3", "SetCommMask 0", "PurgeComm C", "CloseHandle",
                         "OnAfterClose"});
}

TEST_CASE("Open on an open port and Close on a closed one do nothing") {
    FakePort f;
    RecordHooks(f.port, &f.journal);
    f.port->Close();
    CHECK(f.journal.Entries().empty());
    f.port->Open();
    f.journal.Clear();
    f.port->Open();
    CHECK(OwnerView(f.journal).empty());
    f.port->Close();
    f.journal.Clear();
    f.port->Close();
    CHECK(f.journal.Entries().empty());
}

TEST_CASE("a new name on an open port closes it and opens the new device") {
    FakePort f;
    RecordHooks(f.port, &f.journal);
    f.device.modemStatus = MS_DSR_ON;
    f.port->Open();
    f.journal.Clear();
    f.port->SetPortName("com2");
    CHECK(f.journal.Only("On") == Lines{"OnBeforeOpenClose", "OnCTSChange(0)", "OnDSRChange(0)",
                                        "OnRLSDChange(0)", "OnAfterClose", "OnBeforeOpenClose",
                                        "OnAfterOpen", "OnCTSChange(0)", "OnDSRChange(1)",
                                        "OnRLSDChange(0)"});
    Lines all = OwnerView(f.journal);
    CHECK(IndexOf(all, "CloseHandle") <
          IndexOf(all, "CreateFileA \\\\.\\COM2 C0000000 0 3 40000000"));
    CHECK(f.port->Connected);
    CHECK(f.port->PortName == Text("COM2"));
}

TEST_CASE("a device that cannot be opened leaves the port closed and says why") {
    const Text noPort("\xCD\xE5\xF2\x20\xEF\xEE\xF0\xF2\xE0");
    const Text busy("\xCF\xEE\xF0\xF2\x20\xE7\xE0\xED\xFF\xF2");
    const Text earlier("earlier");
    struct Case {
        DWORD error;
        Text expected;
    };
    const Case cases[] = {
        {ERROR_FILE_NOT_FOUND, noPort},
        {ERROR_ACCESS_DENIED, busy},
        {ERROR_GEN_FAILURE, earlier}, // other causes leave the text as it was
    };
    for (const Case& c : cases) {
        CAPTURE(c.error);
        FakePort f;
        RecordHooks(f.port, &f.journal);
        f.port->LastOpenError = earlier;
        f.device.openError = c.error;
        f.port->Open();
        CHECK(f.port->LastOpenError == c.expected);
        CHECK(f.port->LastOpenErrorCode == c.error);
        CHECK_FALSE(f.port->Connected);
        CHECK_FALSE(f.port->ThreadCreated);
        CHECK(f.port->Handle == INVALID_HANDLE_VALUE);
        // OnError instead of OnAfterOpen, and no apply step, no thread.
        CHECK(f.journal.Only("On") == Lines{"OnBeforeOpenClose", "OnError"});
        CHECK(f.journal.Entries().size() == 3); // the CreateFileA between them
        f.journal.Clear();
        f.port->Close();
        CHECK(f.journal.Entries().empty());

        // The next open that succeeds keeps the old reason.
        f.device.openError = 0;
        f.port->Open();
        CHECK(f.port->Connected);
        CHECK(f.port->LastOpenError == c.expected);
    }
}

TEST_CASE("a device that refuses its settings fails the open as a missing one does") {
    for (const char* call : {"SetupComm", "SetCommState", "SetCommTimeouts"}) {
        CAPTURE(call);
        FakePort f;
        RecordHooks(f.port, &f.journal);
        f.device.refused = call;
        f.port->Open();
        CHECK_FALSE(f.port->Connected);
        CHECK_FALSE(f.port->ThreadCreated);
        CHECK(f.port->Handle == INVALID_HANDLE_VALUE);
        CHECK(f.journal.Only("On") == Lines{"OnBeforeOpenClose", "OnError"});
        // Every group was tried, then the device closed; no thread, no mask.
        Lines all = OwnerView(f.journal);
        CHECK(IndexOf(all, "SetCommTimeouts") < IndexOf(all, "CloseHandle"));
        CHECK(f.journal.Only("SetCommMask").empty());
        f.device.refused.clear();
        f.port->Open();
        CHECK(f.port->Connected);
    }
}

TEST_CASE("no Events: no mask, no thread, yet the notifications run") {
    FakePort f;
    RecordHooks(f.port, &f.journal);
    f.port->Events = 0;
    f.port->Open();
    CHECK_FALSE(f.port->ThreadCreated);
    CHECK(f.port->EventThread == nullptr);
    f.port->Close();
    CHECK(f.journal.Only("SetCommMask").empty());
    CHECK(f.journal.Count("WaitCommEvent") == 0);
    CHECK(f.journal.Count("OnAfterOpen") == 1);
    CHECK(f.journal.Count("OnAfterClose") == 1);
    // Bits 10..15 are not events either.
    f.port->Events = 0xFC00;
    f.port->Open();
    CHECK_FALSE(f.port->ThreadCreated);
    f.port->Close();
}

TEST_CASE("freeing an open port closes it first") {
    Journal journal;
    FakeComDevice device(journal);
    ComPort* port = NewComPort(&device);
    RecordHooks(port, &journal);
    port->Open();
    journal.Clear();
    Free(port);
    Lines all = OwnerView(journal);
    REQUIRE(!all.empty());
    CHECK(all.back() == "OnAfterClose");
    CHECK(IndexOf(all, "CloseHandle") >= 0);
}
