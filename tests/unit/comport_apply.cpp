// What the apply steps hand the driver: the DCB member by member, the
// COMMTIMEOUTS and the queue sizes.
#include <doctest/doctest.h>

#include "unit/comport_FakeDevice.h"

namespace {

// The DCB of the last SetCommState after opening with the settings made by
// configure.
template <class F> DCB OpenedDcb(F configure) {
    FakePort f;
    f.port->Events = 0;
    configure(f.port);
    f.port->Open();
    REQUIRE(f.device.dcbs.size() == 1);
    return f.device.dcbs.back();
}

} // namespace

TEST_CASE("the initial settings give the plain 9600 8N1 DCB") {
    DCB d = OpenedDcb([](ComPort*) {});
    CHECK(d.DCBlength == 28);
    CHECK(d.BaudRate == 9600);
    CHECK(DcbFlags(d) == 0x0001);
    CHECK(d.wReserved == 0);
    CHECK(d.XonLim == 256);
    CHECK(d.XoffLim == 256);
    CHECK(d.ByteSize == 8);
    CHECK(d.Parity == NOPARITY);
    CHECK(d.StopBits == ONESTOPBIT);
    CHECK(d.XonChar == 0x11);
    CHECK(d.XoffChar == 0x13);
    CHECK(d.ErrorChar == 0);
    CHECK(d.EofChar == 0);
    CHECK(d.EvtChar == 0);
    CHECK(d.wReserved1 == 0);
}

TEST_CASE("every switch on, DTR and RTS handshake: flag word 0x2FEF") {
    DCB d = OpenedDcb([](ComPort* p) {
        p->Parity->SetCheck(true);
        p->Parity->SetReplace(true);
        p->FlowControl->SetOutCtsFlow(true);
        p->FlowControl->SetOutDsrFlow(true);
        p->FlowControl->SetDtrControl(2);
        p->FlowControl->SetRtsControl(2);
        p->FlowControl->SetDsrSensitivity(true);
        p->FlowControl->SetTxContinueOnXoff(true);
        p->FlowControl->SetOutX(true);
        p->FlowControl->SetInX(true);
        p->SetDiscardNull(true);
    });
    CHECK(DcbFlags(d) == 0x2FEF);
    CHECK((DcbFlags(d) & 0x4000) == 0); // fAbortOnError
}

TEST_CASE("each control index lands in its bits of the flag word") {
    struct Case {
        std::uint8_t dtr, rts;
        DWORD flags;
    };
    const Case cases[] = {{0, 0, 0x0001}, {1, 0, 0x0011}, {2, 0, 0x0021},
                          {0, 1, 0x1001}, {0, 2, 0x2001}, {0, 3, 0x3001}};
    for (const Case& c : cases) {
        CAPTURE(int(c.dtr));
        CAPTURE(int(c.rts));
        DCB d = OpenedDcb([&](ComPort* p) {
            p->FlowControl->SetDtrControl(c.dtr);
            p->FlowControl->SetRtsControl(c.rts);
        });
        CHECK(DcbFlags(d) == c.flags);
    }
}

TEST_CASE("the replacement character needs both Check and Replace") {
    struct Case {
        bool check, replace;
        DWORD flags;
        BYTE errorChar;
    };
    const Case cases[] = {
        {false, true, 0x0001, 0}, {true, false, 0x0003, 0}, {true, true, 0x0403, 0x3F}};
    for (const Case& c : cases) {
        CAPTURE(c.check);
        CAPTURE(c.replace);
        DCB d = OpenedDcb([&](ComPort* p) {
            p->Parity->SetCheck(c.check);
            p->Parity->SetReplace(c.replace);
            p->Parity->SetReplaceChar(0x3F);
        });
        CHECK(DcbFlags(d) == c.flags);
        CHECK(BYTE(d.ErrorChar) == c.errorChar);
    }
}

TEST_CASE("XonLim and XoffLim are a quarter of the input queue, cut to 16 bits") {
    struct Case {
        std::int32_t inputSize;
        WORD limit;
    };
    const Case cases[] = {{1024, 256}, {2, 0}, {300000, 9464}, {4096, 1024}};
    for (const Case& c : cases) {
        CAPTURE(c.inputSize);
        DCB d = OpenedDcb([&](ComPort* p) { p->Buffer->SetInputSize(c.inputSize); });
        CHECK(d.XonLim == c.limit);
        CHECK(d.XoffLim == c.limit);
    }
}

TEST_CASE("the index tables reach the DCB") {
    struct Case {
        std::uint8_t baud, data, stop, parity;
        DWORD rate;
        BYTE byteSize, stopBits, parityValue;
    };
    const Case cases[] = {
        {1, 0, 0, 0, 110, 5, ONESTOPBIT, NOPARITY},
        {9, 2, 2, 2, 19200, 7, TWOSTOPBITS, EVENPARITY},
        {13, 1, 1, 1, 115200, 6, ONE5STOPBITS, ODDPARITY},
        {15, 3, 0, 3, 256000, 8, ONESTOPBIT, MARKPARITY},
        {11, 3, 0, 4, 56000, 8, ONESTOPBIT, SPACEPARITY},
    };
    for (const Case& c : cases) {
        CAPTURE(int(c.baud));
        DCB d = OpenedDcb([&](ComPort* p) {
            p->SetBaudRateIndex(c.baud);
            p->SetDataBitsIndex(c.data);
            p->SetStopBitsIndex(c.stop);
            p->Parity->SetBits(c.parity);
        });
        CHECK(d.BaudRate == c.rate);
        CHECK(d.ByteSize == c.byteSize);
        CHECK(d.StopBits == c.stopBits);
        CHECK(d.Parity == c.parityValue);
    }
}

TEST_CASE("index 0 takes the custom rate: 250000") {
    DCB d = OpenedDcb([](ComPort* p) {
        p->SetCustomBaudRate(250000);
        p->SetBaudRateIndex(0);
    });
    CHECK(d.BaudRate == 250000);
}

TEST_CASE("characters reach the DCB") {
    DCB d = OpenedDcb([](ComPort* p) {
        p->SetEventChar('\r');
        p->FlowControl->SetXonChar('A');
        p->FlowControl->SetXoffChar('B');
    });
    CHECK(d.EvtChar == '\r');
    CHECK(d.XonChar == 'A');
    CHECK(d.XoffChar == 'B');
}

TEST_CASE("COMMTIMEOUTS carry the five time-outs in their order") {
    FakePort f;
    f.port->Events = 0;
    f.port->Open();
    REQUIRE(f.device.timeouts.size() == 1);
    COMMTIMEOUTS t = f.device.timeouts.back();
    CHECK(t.ReadIntervalTimeout == MAXDWORD);
    CHECK(t.ReadTotalTimeoutMultiplier == 0);
    CHECK(t.ReadTotalTimeoutConstant == 0);
    CHECK(t.WriteTotalTimeoutMultiplier == 100);
    CHECK(t.WriteTotalTimeoutConstant == 1000);

    f.port->Timeouts->SetReadInterval(1);
    f.port->Timeouts->SetReadTotalMultiplier(2);
    f.port->Timeouts->SetReadTotalConstant(3);
    f.port->Timeouts->SetWriteTotalMultiplier(4);
    f.port->Timeouts->SetWriteTotalConstant(5);
    t = f.device.timeouts.back();
    CHECK(t.ReadIntervalTimeout == 1);
    CHECK(t.ReadTotalTimeoutMultiplier == 2);
    CHECK(t.ReadTotalTimeoutConstant == 3);
    CHECK(t.WriteTotalTimeoutMultiplier == 4);
    CHECK(t.WriteTotalTimeoutConstant == 5);
}

TEST_CASE("a new input size on an open port reaches XonLim only at the next DCB") {
    FakePort f;
    f.port->Events = 0;
    f.port->Open();
    f.port->Buffer->SetInputSize(4096);
    CHECK(f.journal.Count("SetupComm 4096 1024") == 1);
    CHECK(f.device.dcbs.size() == 1);
    f.port->SetBaudRateIndex(9);
    CHECK(f.device.dcbs.back().XonLim == 1024);
}
