// The port on the rig's line: opening and closing with the hooks in order,
// settings as the far end sees them, moving to another port, a missing and a
// busy port, and many open/close cycles without leaking handles.
#include <doctest/doctest.h>

#include "line/LinePort.h"
#include "support/ProcessCounters.h"

using Lines = std::vector<std::string>;

TEST_CASE("line_open_close: hooks in order with the far end's line states") {
    LinePort l(1);
    REQUIRE(l.peer.SetLines(1, true, false, true, true)); // CTS, RING, RLSD on
    l.port->Open();
    REQUIRE(l.port->Connected);
    CHECK(l.port->ThreadCreated);
    CHECK(l.journal.Entries() == Lines{"OnBeforeOpenClose", "OnAfterOpen", "OnCTSChange(1)",
                                       "OnDSRChange(0)", "OnRLSDChange(1)"});
    l.journal.Clear();
    l.port->Close();
    CHECK_FALSE(l.port->Connected);
    CHECK(l.port->Handle == INVALID_HANDLE_VALUE);
    CHECK(l.journal.Entries() == Lines{"OnBeforeOpenClose", "OnCTSChange(0)", "OnDSRChange(0)",
                                       "OnRLSDChange(0)", "OnAfterClose"});
}

TEST_CASE("line_settings: what the far end sees after open and after each setter") {
    LinePort l(1);
    l.port->Open();
    REQUIRE(l.port->Connected);
    auto t = l.peer.Termios(1);
    REQUIRE(t.ok);
    CHECK(t.baud == 9600);
    CHECK(t.csize == 8);
    CHECK_FALSE(t.parenb);
    CHECK_FALSE(t.cstopb);
    CHECK_FALSE(t.ixon);
    CHECK_FALSE(t.ixoff);
    CHECK_FALSE(t.crtscts);

    // Line format and handshake first: the pty refuses any byte size but 8
    // and any parity (EINVAL), and wine's SetCommState then stops after its
    // line-control step, so nothing later in the DCB would reach it.
    l.port->SetBaudRateIndex(9);
    CHECK(l.peer.Termios(1).baud == 19200);
    l.port->SetStopBitsIndex(2);
    CHECK(l.peer.Termios(1).cstopb);
    l.port->FlowControl->SetOutX(true);
    l.port->FlowControl->SetInX(true);
    t = l.peer.Termios(1);
    CHECK(t.ixon);
    CHECK(t.ixoff);
    l.port->FlowControl->SetOutCtsFlow(true);
    l.port->FlowControl->SetRtsControl(2);
    CHECK(l.peer.Termios(1).crtscts);

    // 19200 7E2: byte size and parity as the driver was asked for them.
    l.port->SetDataBitsIndex(2);
    CHECK(l.peer.Termios(1).csize == 7);
    l.port->Parity->SetBits(2);
    t = l.peer.Termios(1);
    CHECK(t.csize == 7);
    CHECK(t.parenb);
    CHECK_FALSE(t.parodd);
    CHECK(t.baud == 19200);
    l.port->Parity->SetBits(1);
    t = l.peer.Termios(1);
    CHECK(t.parenb);
    CHECK(t.parodd);
    l.port->SetCustomBaudRate(57600);
    l.port->SetBaudRateIndex(0);
    CHECK(l.peer.Termios(1).baud == 57600);

    // Settings made while closed arrive with the next open.
    l.port->Close();
    l.port->SetBaudRateIndex(13);
    l.port->SetDataBitsIndex(3);
    l.port->Parity->SetBits(0);
    l.port->SetStopBitsIndex(0);
    l.port->FlowControl->SetInX(false);
    l.port->Open();
    t = l.peer.Termios(1);
    CHECK(t.baud == 115200);
    CHECK(t.csize == 8);
    CHECK_FALSE(t.parenb);
    CHECK_FALSE(t.cstopb);
    CHECK(t.ixon);
    CHECK_FALSE(t.ixoff);
}

TEST_CASE("line_baud_rates: every rate of the table reaches the line as that rate") {
    LinePort l(1);
    l.port->SetCustomBaudRate(4800);
    l.port->Open();
    REQUIRE(l.port->Connected);
    struct Rate {
        std::uint8_t index;
        int baud;
    } rates[] = {{1, 110},     {2, 300},     {3, 600},     {4, 1200},   {5, 2400},   {6, 4800},
                 {7, 9600},    {8, 14400},   {9, 19200},   {10, 38400}, {11, 56000}, {12, 57600},
                 {13, 115200}, {14, 128000}, {15, 256000}, {0, 4800}}; // the custom rate
    for (const Rate& r : rates) {
        CAPTURE(int(r.index));
        l.port->SetBaudRateIndex(r.index);
        auto t = l.peer.Termios(1);
        REQUIRE(t.ok);
        // A pty carries the rates that have a termios constant; the others
        // reach the driver as a divisor, which the far end records.
        CHECK((t.custom ? t.custom : t.baud) == r.baud);
    }
}

TEST_CASE("line_dtr_rts: the control lines reach the far end") {
    LinePort l(1);
    l.port->FlowControl->SetDtrControl(1);
    l.port->FlowControl->SetRtsControl(1);
    l.port->Open();
    auto lines = l.peer.GetLines(1);
    REQUIRE(lines.ok);
    CHECK(lines.dtr);
    CHECK(lines.rts);
    l.port->FlowControl->SetDtrControl(0);
    l.port->FlowControl->SetRtsControl(0);
    lines = l.peer.GetLines(1);
    CHECK_FALSE(lines.dtr);
    CHECK_FALSE(lines.rts);
}

TEST_CASE("line_port_name: a new name moves an open port to the other line") {
    LinePort l(1);
    REQUIRE(l.peer.Attach(2));
    l.port->Open();
    REQUIRE(l.port->Connected);
    CHECK(l.port->WriteText("one") == 3);
    CHECK(l.peer.Read(1, 3, kLong) == "one");

    l.journal.Clear();
    l.port->SetPortName("com2");
    CHECK(l.port->Connected);
    CHECK(l.port->PortName == Text("COM2"));
    CHECK(l.journal.Only("OnAfter") == Lines{"OnAfterClose", "OnAfterOpen"});
    CHECK(l.port->WriteText("two") == 3);
    CHECK(l.peer.Read(2, 3, kLong) == "two");
    CHECK(l.peer.Read(1, 3, kQuiet).empty());

    // Received bytes come from the new line too.
    REQUIRE(l.peer.Write(2, "back"));
    CHECK(l.Collect(4) == "back");
}

TEST_CASE("line_missing_port: Нет порта, and the port stays closed") {
    LinePort l(3, false);
    REQUIRE(l.peer.Detach(3));
    l.port->Open();
    CHECK_FALSE(l.port->Connected);
    CHECK(l.port->Handle == INVALID_HANDLE_VALUE);
    CHECK(l.port->LastOpenErrorCode == ERROR_FILE_NOT_FOUND);
    CHECK(Bytes(l.port->LastOpenError) == "\xCD\xE5\xF2\x20\xEF\xEE\xF0\xF2\xE0");
    CHECK(l.journal.Entries() == Lines{"OnBeforeOpenClose", "OnError"});
    l.journal.Clear();
    l.port->Close();
    CHECK(l.journal.Entries().empty());
}

TEST_CASE("line_busy_port: Порт занят while the driver refuses the port") {
    LinePort l(4);
    REQUIRE(l.peer.Busy(4, true));
    l.port->Open();
    CHECK_FALSE(l.port->Connected);
    CHECK(l.port->LastOpenErrorCode == ERROR_ACCESS_DENIED);
    CHECK(Bytes(l.port->LastOpenError) == "\xCF\xEE\xF0\xF2\x20\xE7\xE0\xED\xFF\xF2");
    CHECK(l.journal.Entries() == Lines{"OnBeforeOpenClose", "OnError"});

    // Free again: the next open works and keeps the reason of the last failure.
    REQUIRE(l.peer.Busy(4, false));
    l.port->Open();
    CHECK(l.port->Connected);
    CHECK(Bytes(l.port->LastOpenError) == "\xCF\xEE\xF0\xF2\x20\xE7\xE0\xED\xFF\xF2");
}

TEST_CASE("line_cycles: a thousand opens and closes leave no handle behind") {
    LinePort l(1);
    auto handles = [] { return HandleCount(); };
    // A few rounds first: wine and the C run-time set up what they keep.
    for (int i = 0; i < 20; ++i) {
        l.port->Open();
        l.port->Close();
    }
    DWORD before = handles();
    int opened = 0;
    for (int i = 0; i < 1000; ++i) {
        l.port->Open();
        opened += l.port->Connected;
        l.port->Close();
    }
    DWORD after = handles();
    CHECK(before > 0);
    CHECK(opened == 1000);
    CHECK(after <= before + 2); // slack for wine's own, never one per cycle
    CHECK(l.journal.Count("OnAfterClose") == 1020);
}
