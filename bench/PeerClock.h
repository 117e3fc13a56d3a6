// The rig peer's clock (CLOCK_MONOTONIC_RAW, ns) mapped onto this program's
// NowMs(), so that "the peer wrote the byte" and "the host saw it" are times
// on one axis.
#pragma once

#include "BenchClock.h"
#include "support/PeerClient.h"

struct PeerClock {
    double offsetMs = 0; // local ms = peer ns / 1e6 + offsetMs
    double errorMs = -1; // half the best round trip: the bound on the offset

    // Wine's QueryPerformanceCounter may count the same Linux clock, but not
    // from the same zero; the round trip with the least delay places it.
    bool Calibrate(PeerClient& peer, int rounds = 40) {
        double best = 1e9;
        for (int i = 0; i < rounds; ++i) {
            double t0 = NowMs();
            long long ns = peer.Clock();
            double t1 = NowMs();
            if (ns == 0) continue;
            if (t1 - t0 < best) {
                best = t1 - t0;
                offsetMs = (t0 + t1) / 2 - double(ns) / 1e6;
            }
        }
        errorMs = best < 1e9 ? best / 2 : -1;
        return errorMs >= 0;
    }
    double ToLocal(long long ns) const { return double(ns) / 1e6 + offsetMs; }
};
