// What the line tests share: a port on COMn of the rig with its hooks
// recorded, the peer at the far end, and a patient wait for a condition.
#pragma once

#include "comport/ComPort.h"
#include "framework/TextHelpers.h"
#include "support/PeerClient.h"
#include "unit/comport_HookJournal.h"

#include <string>

// For what must happen: generous, a busy 2-core machine is slow. For what
// must not: many rounds of wine's event poll (a few ms each).
constexpr DWORD kLong = 10000;
constexpr DWORD kQuiet = 500;
// For the event thread to be back in its wait after a dispatch.
constexpr DWORD kSettle = 250;

// Polls until done() holds, or gives up after timeoutMs.
template <class F> bool Eventually(F done, DWORD timeoutMs = kLong) {
    DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(2);
    }
    return true;
}

inline Text ComName(int n) {
    return FormatText("COM%d", {n});
}

inline std::string Bytes(const Text& t) {
    return std::string(t.Data(), t.Length());
}

// A Win32 port on COMn with every hook recorded; the peer's line is fresh.
struct LinePort {
    PeerClient peer;
    Journal journal;
    ComPort* port = NewComPort();
    int n;

    explicit LinePort(int com, bool attach = true) : n(com) {
        if (attach) REQUIRE(peer.Attach(n));
        port->SetPortName(ComName(n));
        RecordHooks(port, &journal);
    }
    LinePort(const LinePort&) = delete;
    LinePort& operator=(const LinePort&) = delete;
    ~LinePort() { Free(port); }

    // Wine compares the line states and error counters with those it saw
    // when the current wait began, so a change made while the event thread
    // is not yet (or not again) waiting goes unseen; Windows would keep it.
    // A byte from the far end that comes back as OnRxChar shows the loop
    // running; a pause then lets it wait again, with a wide margin for a
    // busy machine.
    void Settle() {
        size_t before = journal.Only("OnRxChar").size();
        REQUIRE(peer.Write(n, "~"));
        REQUIRE(Eventually([&] { return journal.Only("OnRxChar").size() > before; }));
        REQUIRE(Collect(1) == "~");
        Sleep(kSettle);
    }

    // Reads what the port holds until want bytes have come, or time is up.
    std::string Collect(size_t want, DWORD timeoutMs = kLong) {
        std::string got;
        Eventually(
            [&] {
                std::int32_t waiting = port->InputCount();
                if (waiting > 0) {
                    Text t;
                    port->ReadText(t, waiting);
                    got += Bytes(t);
                }
                return got.size() >= want;
            },
            timeoutMs);
        return got;
    }
};
