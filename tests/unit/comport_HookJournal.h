// A thread-safe journal of what happened, and a recorder that fills all
// thirteen hooks of a port with entries in it ("OnRxChar(5)", "OnCTSChange(1)").
//
// Threads: any thread may add; each entry keeps the id of the thread that
// added it, so tests can tell the event thread from their own.
#pragma once

#include "comport/ComPort.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

class Journal {
  public:
    Journal() { InitializeCriticalSection(&lock_); }
    ~Journal() { DeleteCriticalSection(&lock_); }

    void Add(const std::string& entry) {
        EnterCriticalSection(&lock_);
        entries_.emplace_back(entry, GetCurrentThreadId());
        LeaveCriticalSection(&lock_);
    }
    std::vector<std::string> Entries() {
        EnterCriticalSection(&lock_);
        std::vector<std::string> out;
        for (auto& e : entries_)
            out.push_back(e.first);
        LeaveCriticalSection(&lock_);
        return out;
    }
    // Entries that start with prefix, in order.
    std::vector<std::string> Only(const std::string& prefix) {
        std::vector<std::string> out;
        for (auto& e : Entries())
            if (e.compare(0, prefix.size(), prefix) == 0) out.push_back(e);
        return out;
    }
    int Count(const std::string& entry) {
        EnterCriticalSection(&lock_);
        int n = 0;
        for (auto& e : entries_)
            n += e.first == entry;
        LeaveCriticalSection(&lock_);
        return n;
    }
    DWORD ThreadOf(const std::string& entry) {
        EnterCriticalSection(&lock_);
        DWORD id = 0;
        for (auto& e : entries_)
            if (e.first == entry) id = e.second;
        LeaveCriticalSection(&lock_);
        return id;
    }
    // Polls with a wide margin: a busy machine may be slow, never this slow.
    bool WaitFor(const std::string& entry, int times = 1, DWORD timeoutMs = 20000) {
        DWORD start = GetTickCount();
        while (Count(entry) < times) {
            if (GetTickCount() - start > timeoutMs) return false;
            Sleep(2);
        }
        return true;
    }
    void Clear() {
        EnterCriticalSection(&lock_);
        entries_.clear();
        LeaveCriticalSection(&lock_);
    }

    CRITICAL_SECTION lock_;

  private:
    std::vector<std::pair<std::string, DWORD>> entries_;
};

inline std::string Hex(DWORD v) {
    char b[16];
    std::snprintf(b, sizeof b, "%lX", static_cast<unsigned long>(v));
    return b;
}

// Fills all thirteen hooks of a port with recorders writing to the journal.
inline void RecordHooks(ComPort* port, Journal* journal) {
    port->OnRxChar.Set(
        [](void* c, BaseObject*, std::int32_t n) {
            static_cast<Journal*>(c)->Add("OnRxChar(" + std::to_string(n) + ")");
        },
        journal);
    port->OnCTSChange.Set(
        [](void* c, BaseObject*, bool on) {
            static_cast<Journal*>(c)->Add(std::string("OnCTSChange(") + (on ? "1" : "0") + ")");
        },
        journal);
    port->OnDSRChange.Set(
        [](void* c, BaseObject*, bool on) {
            static_cast<Journal*>(c)->Add(std::string("OnDSRChange(") + (on ? "1" : "0") + ")");
        },
        journal);
    port->OnRLSDChange.Set(
        [](void* c, BaseObject*, bool on) {
            static_cast<Journal*>(c)->Add(std::string("OnRLSDChange(") + (on ? "1" : "0") + ")");
        },
        journal);
#define RECORD_PLAIN_HOOK(name)                                                                    \
    port->name.Set([](void* c, BaseObject*) { static_cast<Journal*>(c)->Add(#name); }, journal)
    RECORD_PLAIN_HOOK(OnTxEmpty);
    RECORD_PLAIN_HOOK(OnBreak);
    RECORD_PLAIN_HOOK(OnRing);
    RECORD_PLAIN_HOOK(OnError);
    RECORD_PLAIN_HOOK(OnRxFlag);
    RECORD_PLAIN_HOOK(OnAfterOpen);
    RECORD_PLAIN_HOOK(OnAfterClose);
    RECORD_PLAIN_HOOK(OnBeforeOpenClose);
    RECORD_PLAIN_HOOK(OnRx80Full);
#undef RECORD_PLAIN_HOOK
}
