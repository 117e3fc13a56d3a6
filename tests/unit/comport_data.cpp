// Reading, writing and line state through the device layer: byte-exact texts,
// counts that never exceed what was asked, and a closed port.
#include <doctest/doctest.h>

#include "unit/comport_FakeDevice.h"

namespace {

std::string Bytes(const Text& t) {
    return std::string(t.Data(), t.Length());
}

} // namespace

TEST_CASE("WriteText hands over every byte, zeros included") {
    FakePort f;
    f.port->Events = 0;
    f.port->Open();
    const char raw[] = {'a', 0, 'b', '#', 0, char(0xFF)};
    CHECK(f.port->WriteText(Text(raw, 6)) == 6);
    CHECK(f.device.txData == std::string(raw, 6));
    CHECK(f.port->WriteText(Text()) == 0);
    CHECK(f.journal.Count("WriteFile 0") == 1);
}

// A write with a hook goes through a thread of its own; without one (the
// system refuses a thread) it goes out on the caller's thread all the same.
TEST_CASE("WriteText with a hook hands over every byte, with or without its thread") {
    for (bool threadFails : {false, true}) {
        CAPTURE(threadFails);
        FakePort f;
        f.port->Events = 0;
        f.port->Open();
        f.device.threadFails = threadFails;
        EventSlot<void()> hook;
        hook.Set([](void*, BaseObject*) {}, nullptr);
        const char raw[] = {'a', 0, 'b'};
        CHECK(f.port->WriteText(Text(raw, 3), hook) == 3);
        CHECK(f.device.txData == std::string(raw, 3));
    }
}

TEST_CASE("ReadText gives what the driver holds, up to the count") {
    struct Case {
        std::string held;
        std::int32_t count;
        std::string read;
    };
    const Case cases[] = {
        {std::string("x\0y", 3), 3, std::string("x\0y", 3)},
        {"abc", 10, "abc"},
        {"abcdef", 4, "abcd"},
        {"abc", 0, ""},
        {"abc", -5, ""},
        {"", 8, ""},
    };
    for (const Case& c : cases) {
        CAPTURE(c.count);
        FakePort f;
        f.port->Events = 0;
        f.port->Open();
        f.device.rxData = c.held;
        Text text("previous contents");
        CHECK(f.port->ReadText(text, c.count) == std::int32_t(c.read.size()));
        CHECK(Bytes(text) == c.read);
    }
}

TEST_CASE("ReadText never claims more than asked, whatever the driver reports") {
    FakePort f;
    f.port->Events = 0;
    f.port->Open();
    f.device.rxData = "abcd";
    f.device.readOverReport = 1000;
    Text text;
    CHECK(f.port->ReadText(text, 2) == 2);
    CHECK(Bytes(text) == "ab");
    CHECK(text.Data()[2] == 0);
}

TEST_CASE("on a closed port the data operations give nothing") {
    FakePort f;
    Text text("keep?");
    CHECK(f.port->ReadText(text, 5) == 0);
    CHECK(text.IsEmpty());
    CHECK(f.port->WriteText("abc") == 0);
    CHECK(f.port->InputCount() == 0);
    CHECK(f.port->ModemSignals() == 0);
    CHECK(f.device.txData.empty());
}

TEST_CASE("InputCount reports the driver's input queue") {
    FakePort f;
    f.port->Events = 0;
    f.port->Open();
    f.device.inQueue = 17;
    CHECK(f.port->InputCount() == 17);
    f.device.inQueue = 0xFFFFFFF0; // never negative
    CHECK(f.port->InputCount() == 0x7FFFFFFF);
}

TEST_CASE("a refused count or read is told to the reader, with the bytes it did move") {
    struct Case {
        const char* name;
        bool countFails, resultFails;
        std::int32_t read;
        bool failed;
    };
    const Case cases[] = {
        {"sound", false, false, 3, false},
        {"count refused", true, false, 0, true},
        {"read refused", false, true, 3, true},
    };
    for (const Case& c : cases) {
        CAPTURE(c.name);
        FakePort f;
        f.port->Events = 0;
        f.port->Open();
        f.device.rxData = "abc";
        f.device.countFails = c.countFails;
        f.device.resultFails = c.resultFails ? -1 : 0;
        std::int32_t count = -1;
        CHECK(f.port->ReadInputCount(count) == !c.countFails);
        CHECK(count == (c.countFails ? 0 : 3));
        Text text;
        bool failed = !c.failed;
        CHECK(f.port->ReadText(text, 3, &failed) == c.read);
        CHECK(failed == c.failed);
    }
}

TEST_CASE("a full input queue is kept for the owner, whichever count saw it") {
    FakePort f;
    f.port->Events = 0;
    f.port->Open();
    CHECK_FALSE(f.port->TakeInputOverflow());
    f.device.commErrors = CE_RXOVER | CE_FRAME;
    f.port->InputCount(); // as the event thread counts, clearing the driver's state
    f.port->InputCount();
    CHECK(f.port->TakeInputOverflow());
    CHECK_FALSE(f.port->TakeInputOverflow());
    f.device.commErrors = CE_FRAME | CE_OVERRUN; // told by EV_ERR instead
    f.port->InputCount();
    CHECK_FALSE(f.port->TakeInputOverflow());
}

TEST_CASE("ModemSignals maps the four status bits and drops the rest") {
    struct Case {
        DWORD status;
        std::uint8_t signals;
    };
    const Case cases[] = {
        {0, 0},
        {MS_CTS_ON, CtsOn},
        {MS_DSR_ON, DsrOn},
        {MS_RING_ON, RingOn},
        {MS_RLSD_ON, RlsdOn},
        {MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON, 0x0F},
        {0xFFFFFF0F, 0},
    };
    FakePort f;
    f.port->Events = 0;
    f.port->Open();
    for (const Case& c : cases) {
        CAPTURE(c.status);
        f.device.modemStatus = c.status;
        CHECK(f.port->ModemSignals() == c.signals);
    }
}

TEST_CASE("AbortPendingIo aborts transfers without clearing buffers") {
    FakePort f;
    f.port->Events = 0;
    f.port->Open();
    f.journal.Clear();
    f.port->AbortPendingIo();
    CHECK(f.journal.Entries() == std::vector<std::string>{"PurgeComm 3"});
}

TEST_CASE("only time-outs that return at once limit a read to what waits") {
    FakePort f;
    f.port->Events = 0;
    f.port->Open();
    Text text;
    CHECK(f.port->ReadText(text, 8) == 0); // nothing waits: no read at all
    CHECK(f.journal.Only("ReadFile").empty());
    f.device.rxData = "abc";
    CHECK(f.port->ReadText(text, 8) == 3);
    CHECK(f.journal.Only("ReadFile") == std::vector<std::string>{"ReadFile 3"});

    // With a read interval the driver waits for bytes: the read asks for all.
    f.port->Timeouts->SetReadInterval(50);
    f.journal.Clear();
    f.port->ReadText(text, 8);
    CHECK(f.journal.Only("ReadFile") == std::vector<std::string>{"ReadFile 8"});
}
