// Port settings: initial values, the setter rule, the queue-size rule, port
// name normalizing, refused values and the event mask mapping.
#include <doctest/doctest.h>

#include "unit/comport_FakeDevice.h"

#include <functional>

TEST_CASE("a new port is closed and holds the initial settings") {
    FakePort f;
    ComPort* p = f.port;
    CHECK_FALSE(p->Connected);
    CHECK(p->Handle == INVALID_HANDLE_VALUE);
    CHECK(p->EventThread == nullptr);
    CHECK(p->BaudRateIndex == 7);
    CHECK(p->CustomBaudRate == 9600);
    CHECK(p->PortName == Text("COM1"));
    CHECK(p->StopBitsIndex == 0);
    CHECK(p->DataBitsIndex == 3);
    CHECK(p->Events == 0x03FF);
    CHECK(p->SyncMethod == SyncThread);
    CHECK(p->LastOpenError.IsEmpty());
    REQUIRE(p->Buffer);
    REQUIRE(p->Parity);
    REQUIRE(p->Timeouts);
    REQUIRE(p->FlowControl);
    CHECK(p->Buffer->Port == p);
    CHECK(p->Parity->Port == p);
    CHECK(p->Timeouts->Port == p);
    CHECK(p->FlowControl->Port == p);
    CHECK(p->Buffer->InputSize == 1024);
    CHECK(p->Buffer->OutputSize == 1024);
    CHECK(p->Timeouts->ReadInterval == MAXDWORD);
    CHECK(p->Timeouts->WriteTotalMultiplier == 100);
    CHECK(p->Timeouts->WriteTotalConstant == 1000);
    CHECK(p->FlowControl->XonChar == 0x11);
    CHECK(p->FlowControl->XoffChar == 0x13);
    CHECK(f.journal.Entries().empty()); // nothing reaches a device before Open
}

TEST_CASE("port names normalize to COM1..COM256; a text that names no port changes nothing") {
    struct Case {
        const char* in;
        const char* out; // empty: names no port
    };
    // clang-format off
    const Case cases[] = {
        {"com3", "COM3"}, {"7", "COM7"}, {"+5", "COM5"}, {"COM3x", "COM3"}, {"COM16", "COM16"},
        {"cOm12", "COM12"}, {"COM17", "COM17"}, {"COM0", ""}, {"COM-2", ""}, {"COM 3", ""},
        {"", ""}, {"\\\\.\\COM3", "COM3"}, {"LPT1", ""}, {"CO", ""}, {"16", "COM16"}, {"-1", ""},
        {"COM256", "COM256"}, {"COM257", ""}, {"COM018", "COM18"}, {"\\\\.\\com18", "COM18"},
        {"sts#Open#", ""}, {"str#COM2#", ""}, {"COM0000017", "COM17"},
        {"COM4294967299", ""}, // no 32-bit wrap: a long number names no port
    };
    // clang-format on
    FakePort f;
    f.port->Open();
    for (const Case& c : cases) {
        std::string in = c.in;
        CAPTURE(in);
        CHECK(NormalizePortName(c.in) == Text(c.out));
        // The open port stays on its line unless the text names another.
        f.journal.Clear();
        Text before = f.port->PortName;
        CHECK(f.port->SetPortName(c.in) == (*c.out != 0));
        CHECK(f.port->PortName == (*c.out ? Text(c.out) : before));
        CHECK(f.port->Connected);
        if (!*c.out) CHECK(f.journal.Entries().empty());
    }
}

TEST_CASE("SetPortName stores the normalized name; an equal name does not reopen") {
    FakePort f;
    f.port->SetPortName("com5");
    CHECK(f.port->PortName == Text("COM5"));
    f.port->Open();
    f.journal.Clear();
    f.port->SetPortName("5"); // normalizes to the current name
    CHECK(f.journal.Entries().empty());
    CHECK(f.port->Connected);
}

namespace {

// One setter of the table below: what it changes and which apply step follows.
struct SetterCase {
    const char* name;
    std::function<bool(ComPort*)> change; // to a value other than the initial one
    std::function<bool(ComPort*)> same;   // to the stored (initial) value
    const char* apply;
};

std::vector<SetterCase> SetterCases() {
    return {
        {"BaudRateIndex", [](ComPort* p) { return p->SetBaudRateIndex(9); },
         [](ComPort* p) { return p->SetBaudRateIndex(7); }, "SetCommState"},
        {"CustomBaudRate", [](ComPort* p) { return p->SetCustomBaudRate(300); },
         [](ComPort* p) { return p->SetCustomBaudRate(9600); }, "SetCommState"},
        {"DataBitsIndex", [](ComPort* p) { return p->SetDataBitsIndex(2); },
         [](ComPort* p) { return p->SetDataBitsIndex(3); }, "SetCommState"},
        {"StopBitsIndex", [](ComPort* p) { return p->SetStopBitsIndex(2); },
         [](ComPort* p) { return p->SetStopBitsIndex(0); }, "SetCommState"},
        {"DiscardNull", [](ComPort* p) { return p->SetDiscardNull(true); },
         [](ComPort* p) { return p->SetDiscardNull(false); }, "SetCommState"},
        {"EventChar", [](ComPort* p) { return p->SetEventChar('\n'); },
         [](ComPort* p) { return p->SetEventChar(0); }, "SetCommState"},
        {"Bits", [](ComPort* p) { return p->Parity->SetBits(2); },
         [](ComPort* p) { return p->Parity->SetBits(0); }, "SetCommState"},
        {"Check", [](ComPort* p) { return p->Parity->SetCheck(true); },
         [](ComPort* p) { return p->Parity->SetCheck(false); }, "SetCommState"},
        {"Replace", [](ComPort* p) { return p->Parity->SetReplace(true); },
         [](ComPort* p) { return p->Parity->SetReplace(false); }, "SetCommState"},
        {"ReplaceChar", [](ComPort* p) { return p->Parity->SetReplaceChar('?'); },
         [](ComPort* p) { return p->Parity->SetReplaceChar(0); }, "SetCommState"},
        {"OutCtsFlow", [](ComPort* p) { return p->FlowControl->SetOutCtsFlow(true); },
         [](ComPort* p) { return p->FlowControl->SetOutCtsFlow(false); }, "SetCommState"},
        {"OutDsrFlow", [](ComPort* p) { return p->FlowControl->SetOutDsrFlow(true); },
         [](ComPort* p) { return p->FlowControl->SetOutDsrFlow(false); }, "SetCommState"},
        {"DtrControl", [](ComPort* p) { return p->FlowControl->SetDtrControl(1); },
         [](ComPort* p) { return p->FlowControl->SetDtrControl(0); }, "SetCommState"},
        {"RtsControl", [](ComPort* p) { return p->FlowControl->SetRtsControl(3); },
         [](ComPort* p) { return p->FlowControl->SetRtsControl(0); }, "SetCommState"},
        {"OutX", [](ComPort* p) { return p->FlowControl->SetOutX(true); },
         [](ComPort* p) { return p->FlowControl->SetOutX(false); }, "SetCommState"},
        {"InX", [](ComPort* p) { return p->FlowControl->SetInX(true); },
         [](ComPort* p) { return p->FlowControl->SetInX(false); }, "SetCommState"},
        {"DsrSensitivity", [](ComPort* p) { return p->FlowControl->SetDsrSensitivity(true); },
         [](ComPort* p) { return p->FlowControl->SetDsrSensitivity(false); }, "SetCommState"},
        {"TxContinueOnXoff", [](ComPort* p) { return p->FlowControl->SetTxContinueOnXoff(true); },
         [](ComPort* p) { return p->FlowControl->SetTxContinueOnXoff(false); }, "SetCommState"},
        {"XonChar", [](ComPort* p) { return p->FlowControl->SetXonChar('Q'); },
         [](ComPort* p) { return p->FlowControl->SetXonChar(0x11); }, "SetCommState"},
        {"XoffChar", [](ComPort* p) { return p->FlowControl->SetXoffChar('S'); },
         [](ComPort* p) { return p->FlowControl->SetXoffChar(0x13); }, "SetCommState"},
        {"ReadInterval", [](ComPort* p) { return p->Timeouts->SetReadInterval(5); },
         [](ComPort* p) { return p->Timeouts->SetReadInterval(MAXDWORD); }, "SetCommTimeouts"},
        {"ReadTotalMultiplier", [](ComPort* p) { return p->Timeouts->SetReadTotalMultiplier(5); },
         [](ComPort* p) { return p->Timeouts->SetReadTotalMultiplier(0); }, "SetCommTimeouts"},
        {"ReadTotalConstant", [](ComPort* p) { return p->Timeouts->SetReadTotalConstant(5); },
         [](ComPort* p) { return p->Timeouts->SetReadTotalConstant(0); }, "SetCommTimeouts"},
        {"WriteTotalMultiplier", [](ComPort* p) { return p->Timeouts->SetWriteTotalMultiplier(5); },
         [](ComPort* p) { return p->Timeouts->SetWriteTotalMultiplier(100); }, "SetCommTimeouts"},
        {"WriteTotalConstant", [](ComPort* p) { return p->Timeouts->SetWriteTotalConstant(5); },
         [](ComPort* p) { return p->Timeouts->SetWriteTotalConstant(1000); }, "SetCommTimeouts"},
        {"InputSize", [](ComPort* p) { return p->Buffer->SetInputSize(4096); },
         [](ComPort* p) { return p->Buffer->SetInputSize(1024); }, "SetupComm 4096 1024"},
        {"OutputSize", [](ComPort* p) { return p->Buffer->SetOutputSize(4096); },
         [](ComPort* p) { return p->Buffer->SetOutputSize(1024); }, "SetupComm 1024 4096"},
    };
}

} // namespace

TEST_CASE("a setter stores, and applies its own group only when open and changed") {
    for (const SetterCase& c : SetterCases()) {
        std::string name = c.name;
        CAPTURE(name);
        FakePort f;
        f.port->Events = 0; // keep the event thread out of the journal
        c.same(f.port);
        c.change(f.port); // closed: stored only
        CHECK(f.journal.Entries().empty());
        c.same(f.port); // back to the initial value, still closed
        f.port->Open();
        f.journal.Clear();
        c.same(f.port); // equal: nothing, also when open
        CHECK(f.journal.Entries().empty());
        c.change(f.port);
        CHECK(f.journal.Entries() == std::vector<std::string>{c.apply});
        c.change(f.port); // equal again
        CHECK(f.journal.Entries().size() == 1);
    }
}

TEST_CASE("a setter answers whether the driver took its group, and stores the value anyway") {
    for (const SetterCase& c : SetterCases()) {
        std::string name = c.name;
        CAPTURE(name);
        FakePort f;
        f.port->Events = 0;
        CHECK(c.change(f.port)); // closed: stored, nothing to refuse
        CHECK(c.same(f.port));
        f.port->Open();
        std::string call = c.apply;
        f.device.refused = call.substr(0, call.find(' '));
        f.journal.Clear();
        CHECK_FALSE(c.change(f.port));
        CHECK(f.journal.Entries() == std::vector<std::string>{c.apply});
        CHECK(c.change(f.port)); // stored: equal now, nothing applied
        CHECK(f.journal.Entries().size() == 1);
        f.device.refused.clear();
        CHECK(c.same(f.port));
    }
}

TEST_CASE("a custom baud rate is used only at index 0, but always re-applies the DCB") {
    FakePort f;
    f.port->Events = 0;
    f.port->Open();
    f.port->SetCustomBaudRate(300);
    REQUIRE(f.device.dcbs.size() == 2);
    CHECK(f.device.dcbs.back().BaudRate == 9600);
    f.port->SetBaudRateIndex(0);
    CHECK(f.device.dcbs.back().BaudRate == 300);
}

TEST_CASE("queue sizes are stored even; the comparison uses the stored size") {
    struct Case {
        std::int32_t in, stored;
    };
    const Case cases[] = {{1025, 1024}, {1, 0}, {0, 0}, {2048, 2048}, {-3, -3}, {-4, -4}};
    for (const Case& c : cases) {
        CAPTURE(c.in);
        FakePort f;
        f.port->Buffer->SetInputSize(c.in);
        f.port->Buffer->SetOutputSize(c.in);
        CHECK(f.port->Buffer->InputSize == c.stored);
        CHECK(f.port->Buffer->OutputSize == c.stored);
    }
    FakePort f;
    f.port->Events = 0;
    f.port->Open();
    f.journal.Clear();
    f.port->Buffer->SetInputSize(1025);
    f.port->Buffer->SetInputSize(1025); // 1025 differs from the stored 1024
    CHECK(f.journal.Count("SetupComm 1024 1024") == 2);
}

TEST_CASE("values outside their table are refused, open or closed") {
    struct Case {
        const char* name;
        std::function<void(ComPort*)> set;
        std::function<int(ComPort*)> get;
        int initial;
    };
    const Case cases[] = {
        {"BaudRateIndex 16", [](ComPort* p) { p->SetBaudRateIndex(16); },
         [](ComPort* p) { return int(p->BaudRateIndex); }, 7},
        {"BaudRateIndex 255", [](ComPort* p) { p->SetBaudRateIndex(255); },
         [](ComPort* p) { return int(p->BaudRateIndex); }, 7},
        {"DataBitsIndex 4", [](ComPort* p) { p->SetDataBitsIndex(4); },
         [](ComPort* p) { return int(p->DataBitsIndex); }, 3},
        {"StopBitsIndex 3", [](ComPort* p) { p->SetStopBitsIndex(3); },
         [](ComPort* p) { return int(p->StopBitsIndex); }, 0},
        {"Bits 5", [](ComPort* p) { p->Parity->SetBits(5); },
         [](ComPort* p) { return int(p->Parity->Bits); }, 0},
        {"DtrControl 3", [](ComPort* p) { p->FlowControl->SetDtrControl(3); },
         [](ComPort* p) { return int(p->FlowControl->DtrControl); }, 0},
        {"RtsControl 4", [](ComPort* p) { p->FlowControl->SetRtsControl(4); },
         [](ComPort* p) { return int(p->FlowControl->RtsControl); }, 0},
        {"SyncMethod 3", [](ComPort* p) { p->SetSyncMethod(3); },
         [](ComPort* p) { return int(p->SyncMethod); }, 0},
    };
    for (const Case& c : cases) {
        std::string name = c.name;
        CAPTURE(name);
        FakePort f;
        f.port->Events = 0;
        c.set(f.port);
        CHECK(c.get(f.port) == c.initial);
        f.port->Open();
        f.journal.Clear();
        c.set(f.port);
        CHECK(c.get(f.port) == c.initial);
        CHECK(f.journal.Entries().empty());
    }
}

TEST_CASE("an index written directly past its table never reads outside it") {
    FakePort f;
    f.port->Events = 0;
    f.port->BaudRateIndex = 200;
    f.port->DataBitsIndex = 9;
    f.port->StopBitsIndex = 9;
    f.port->Parity->Bits = 9;
    f.port->FlowControl->DtrControl = 9;
    f.port->FlowControl->RtsControl = 9;
    DCB dcb = f.port->BuildDcb();
    // The entries of the initial settings stand in.
    CHECK(dcb.BaudRate == 9600);
    CHECK(dcb.ByteSize == 8);
    CHECK(dcb.StopBits == ONESTOPBIT);
    CHECK(dcb.Parity == NOPARITY);
    CHECK(DcbFlags(dcb) == 0x0001);
}

TEST_CASE("SyncMethod changes only while the port is closed") {
    FakePort f;
    f.port->Events = 0;
    f.port->Open();
    f.port->SetSyncMethod(SyncWindow);
    CHECK(f.port->SyncMethod == SyncThread);
    f.port->Close();
    f.port->SetSyncMethod(SyncWindow);
    CHECK(f.port->SyncMethod == SyncWindow);
    f.port->SetSyncMethod(SyncNone);
    CHECK(f.port->SyncMethod == SyncNone);
}

TEST_CASE("a sub-object without a port only stores") {
    ComParity* parity = NewObject<ComParity>();
    ComBuffer* buffer = NewObject<ComBuffer>();
    ComTimeouts* timeouts = NewObject<ComTimeouts>();
    ComFlowControl* flow = NewObject<ComFlowControl>();
    parity->SetBits(1);
    buffer->SetInputSize(4097);
    timeouts->SetReadInterval(7);
    flow->SetRtsControl(2);
    CHECK(parity->Bits == 1);
    CHECK(buffer->InputSize == 4096);
    CHECK(timeouts->ReadInterval == 7);
    CHECK(flow->RtsControl == 2);
    Free(parity);
    Free(buffer);
    Free(timeouts);
    Free(flow);
}

TEST_CASE("Events map to the Win32 comm mask and back") {
    struct Case {
        std::uint16_t events;
        DWORD mask;
    };
    const Case cases[] = {
        {ComEvents::RxChar, EV_RXCHAR}, {ComEvents::TxEmpty, EV_TXEMPTY},
        {ComEvents::RxFlag, EV_RXFLAG}, {ComEvents::Ring, EV_RING},
        {ComEvents::Break, EV_BREAK},   {ComEvents::CTS, EV_CTS},
        {ComEvents::DSR, EV_DSR},       {ComEvents::Error, EV_ERR},
        {ComEvents::RLSD, EV_RLSD},     {ComEvents::Rx80Full, EV_RX80FULL},
        {ComEvents::All, 0x05FF},       {0, 0},
    };
    for (const Case& c : cases) {
        CAPTURE(c.events);
        CHECK(EventsToCommMask(c.events) == c.mask);
        CHECK(CommMaskToEvents(c.mask) == c.events);
    }
    CHECK(EventsToCommMask(0xFC00) == 0);                          // bits 10..15 ignored
    CHECK(CommMaskToEvents(EV_PERR | EV_EVENT1 | EV_EVENT2) == 0); // no member for these
}
