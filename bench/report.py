#!/usr/bin/env python3
"""Assembles the benchmark programs' figures (build/bench/*.json) into one
table, each figure beside its baseline from the same run with the ratio,
writes them all to build/bench.json and draws the latency histogram
build/bench-latency.png with gnuplot.

Usage: report.py BUILD_DIR
"""

import json
import os
import re
import shutil
import subprocess
import sys

FASTEST_LINE = 25600  # 256000 baud, 10 bits a byte


def load(build, name):
    try:
        with open(os.path.join(build, "bench", name + ".json")) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


def dll_facts(build):
    path = os.path.join(build, "comrelay.dll")
    size = os.path.getsize(path) if os.path.exists(path) else 0
    imports = []
    try:
        out = subprocess.run(["i686-w64-mingw32-objdump", "-p", path], capture_output=True,
                             text=True, check=True).stdout
        imports = sorted(set(re.findall(r"DLL Name: (\S+)", out)), key=str.lower)
    except (OSError, subprocess.CalledProcessError):
        pass
    return size, imports


class Table:
    def __init__(self):
        self.rows = []

    def add(self, measure, value, baseline, unit, goal="", met=None, ratio=None, note=""):
        if ratio is None and isinstance(value, (int, float)) and isinstance(baseline, (int, float)):
            ratio = value / baseline if baseline else None
        self.rows.append({"measure": measure, "comrelay": value, "baseline": baseline,
                          "unit": unit, "ratio": ratio, "goal": goal, "met": met, "note": note})

    def print(self):
        def fmt(v):
            if isinstance(v, float):
                return "%.2f" % v if abs(v) < 1000 else "{:,.0f}".format(v)
            if isinstance(v, int):
                return "{:,}".format(v)
            return "" if v is None else str(v)
        head = ("measure", "comrelay", "baseline", "unit", "ratio", "goal")
        cells = []
        for r in self.rows:
            ratio = "" if r["ratio"] is None else "%.3f" % r["ratio"]
            goal = r["goal"]
            if r["met"] is not None:
                goal += (" " if goal else "") + ("[met]" if r["met"] else "[MISSED]")
            cells.append((r["measure"], fmt(r["comrelay"]), fmt(r["baseline"]), r["unit"], ratio,
                          goal))
        widths = [max(len(h), *(len(c[i]) for c in cells)) for i, h in enumerate(head)]
        line = "  ".join("%%-%ds" % w for w in widths)
        print(line % head)
        print("  ".join("-" * w for w in widths))
        for c in cells:
            print(line % c)
        for r in self.rows:
            if r["note"]:
                print("  * %s: %s" % (r["measure"], r["note"]))


def build_table(build, data):
    t = Table()
    lat, rate, unp, idle, wr, fp = (data.get(k) for k in
                                    ("latency", "linerate", "unpaced", "idle", "write",
                                     "footprint"))

    t.add("line rate at 256000 baud", FASTEST_LINE, None, "B/s",
          note="the line's own figure: baud / 10 (start, 8 data, stop bit)")
    if unp:
        t.add("raw reader, unpaced", unp["raw_rate"], FASTEST_LINE, "B/s",
              note="the baseline reader: overlapped WaitCommEvent + ReadFile, no batching; "
                   "ratio to the fastest line")

    if lat:
        n = len(lat["relay_samples"])
        within = lambda v, d: abs(v - 50) <= d
        t.add("latency median", lat["relay_median"], lat["raw_median"], "ms",
              "50 +-10 ms", within(lat["relay_median"], 10),
              note="peer byte to the host's click handler, %d samples each (%d lost, %d wrong); "
                   "baseline: peer byte to the raw reader" % (n, lat["relay_lost"],
                                                              lat["relay_wrong"]))
        t.add("latency p99", lat["relay_p99"], lat["raw_p99"], "ms", "50 +-25 ms",
              within(lat["relay_p99"], 25))
        t.add("latency max", lat["relay_max"], lat["raw_max"], "ms")
        t.add("latency median minus 50 ms batching", lat["relay_median"] - 50,
              lat["raw_median"], "ms",
              note="what the relay adds beyond its designed 50 ms, beside the raw reader's whole "
                   "latency")

    if rate:
        for baud, share, exact, size in zip(rate["baud"], rate["share_percent"], rate["exact"],
                                            rate["bytes_per_notification"]):
            t.add("line rate %d baud, %.0f s" % (baud, rate["seconds"]), share, 100.0,
                  "% of line", "100%, exact",
                  bool(exact) and abs(share - 100) <= 1.0,
                  note=None if exact else "NOT exact")
        t.rows[-1]["note"] = ("delivered rate as a share of baud/10, steady state; every byte "
                              "checked in order against the pattern (%s); ~%.0f bytes per "
                              "notification at 256000" % (
                                  "all exact" if all(rate["exact"]) else "LOSS",
                                  rate["bytes_per_notification"][-1]))

    if unp:
        t.add("unpaced 10 MB", unp["relay_rate"], unp["raw_rate"], "B/s",
              met=bool(unp["relay_exact"] and unp["raw_exact"]), goal="exact",
              note="bound: each 50 ms tick reads what InputCount reports, at most %d bytes on a "
                   "pty (a tick every %.1f ms): %.1fx the fastest line" % (
                       unp["relay_largest"], unp["relay_period_ms"],
                       unp["relay_rate"] / FASTEST_LINE))
        t.add("unpaced bytes per notification", unp["relay_per_notification"],
              unp["raw_per_read"], "bytes", note="baseline: bytes per raw ReadFile")

    if idle:
        spread = max(max(idle["raw_rounds_ms"]) - min(idle["raw_rounds_ms"]), 10)
        diff = idle["relay_ms"] - idle["raw_ms"]
        t.add("idle CPU, %.0f s open and silent" % idle["seconds"], idle["relay_ms"],
              idle["raw_ms"], "ms CPU", "no measurable difference",
              abs(diff) <= spread + 10,
              note="process CPU by GetProcessTimes (10 ms ticks), mean of 2 rounds; baseline: "
                   "the same process with one raw WaitCommEvent pending; host with the port "
                   "closed: %.0f ms; difference %+.0f ms" % (idle["closed_ms"], diff))

    if idle and "storm_ms" in idle:
        span = idle["seconds"] * 1000.0
        bound = idle["relay_ms"] + 0.10 * span
        t.add("error storm: CPU", idle["storm_ms"], idle["relay_ms"], "ms CPU",
              "<= idle + 10% of a core", idle["storm_ms"] <= bound,
              note="every look at the line's error counters finds a new framing error (a wrong "
                   "baud rate); baseline: the idle row; goal bound %.0f ms; the host got %d error "
                   "notices in %.1f s (%.1f/s; errors fold to one per 50 ms relay interval, at "
                   "most 20/s)" % (bound, idle["storm_errors"], idle["seconds"] + 0.5,
                                   idle["storm_errors"] / (idle["seconds"] + 0.5)))

    if idle and "level_stream_ms" in idle:
        span = idle["seconds"] * 1000.0
        base = idle["level_silent_ms"]
        lost = "bytes lost: edge %d, level %d" % (idle["edge_lost"], idle["level_lost"])
        edge_bound = idle["edge_silent_ms"] + 0.05 * span
        t.add("edge: %d B/s stream CPU" % idle["stream_rate"], idle["edge_stream_ms"],
              idle["edge_silent_ms"], "ms CPU", "<= edge silent + 5% of a core",
              idle["edge_stream_ms"] <= edge_bound and idle["edge_lost"] == 0,
              note="EV_RXCHAR once per arrival, as Windows; baseline: the same port open and "
                   "silent; goal bound %.0f ms; %s" % (edge_bound, lost))
        t.add("edge: bytes held behind a notice CPU", idle["edge_held_ms"],
              idle["edge_silent_ms"], "ms CPU",
              note="the open notice unfetched, so the relay leaves new bytes in the driver")
        t.add("level: open and silent CPU", base, idle["edge_silent_ms"], "ms CPU",
              note="EV_RXCHAR while bytes wait, as wine with a real port; baseline: the edge "
                   "row of the same run")
        t.add("level: %d B/s stream CPU" % idle["stream_rate"], idle["level_stream_ms"],
              idle["edge_stream_ms"], "ms CPU", "<= level silent + 5% of a core",
              idle["level_stream_ms"] <= base + 0.05 * span and idle["level_lost"] == 0,
              note="goal bound %.0f ms; %s" % (base + 0.05 * span, lost))
        t.add("level: bytes held behind a notice CPU", idle["level_held_ms"],
              idle["edge_held_ms"], "ms CPU", "<= level silent + 2% of a core",
              idle["level_held_ms"] <= base + 0.02 * span,
              note="goal bound %.0f ms" % (base + 0.02 * span))

    if idle and "edge_raw_stream_ms" in idle:
        # What the plug-in pays for a stream beside the least a Win32 reader
        # pays for the same stream on the same line.
        for kind in ("edge", "level"):
            relay, raw = idle[kind + "_stream_ms"], idle[kind + "_raw_stream_ms"]
            t.add("%s: %d B/s stream CPU against the raw reader" % (kind, idle["stream_rate"]),
                  relay, raw, "ms CPU", "<= 1.5 x raw reader",
                  relay <= 1.5 * raw and idle[kind + "_raw_lost"] == 0,
                  note="baseline: bench/RawReader.h on the same stream, the plug-in's port "
                       "closed; goal bound %.0f ms; raw reader's bytes lost or wrong: %d"
                       % (1.5 * raw, idle[kind + "_raw_lost"]))

    if lat and "level_median" in lat:
        t.add("level: latency median", lat["level_median"], lat["relay_median"], "ms",
              "edge + 5 ms at most", lat["level_median"] - lat["relay_median"] <= 5,
              note="the host through the DLL on a level line; baseline: the edge run (%d lost, "
                   "%d wrong)" % (lat["level_lost"], lat["level_wrong"]))
        t.add("level: latency p99", lat["level_p99"], lat["relay_p99"], "ms",
              "edge + 5 ms at most", lat["level_p99"] - lat["relay_p99"] <= 5)

    if wr:
        t.add("write 64 KiB: call returned", wr["relay_returned_ms"], wr["raw_returned_ms"], "ms",
              note="sendstring (after SetFile) beside a raw overlapped WriteFile")
        t.add("write 64 KiB: peer had every byte", wr["relay_delivered_ms"],
              wr["raw_delivered_ms"], "ms", "exact", wr["wrong"] == 0)
    if wr and "paced_returned_ms" in wr:
        for baud, took, line in zip(wr["paced_baud"], wr["paced_returned_ms"],
                                    wr["paced_line_ms"]):
            t.add("sendstring %d KiB at %d baud" % (wr["paced_bytes"] // 1024, baud), took, line,
                  "ms", "within 2% of the line", abs(took / line - 1) <= 0.02 and
                  wr["paced_wrong"] == 0,
                  note="the rig's paced line; baseline: the line's own time, ten bits a byte "
                       "(%+.2f%%)" % (100.0 * (took / line - 1)))

    size, imports = dll_facts(build)
    t.add("DLL size", size, None, "bytes", note="imports: " + ", ".join(imports))
    if fp:
        t.add("%d open/close: private bytes" % fp["cycles"], fp["cycles_private_after"],
              fp["cycles_private_before"], "bytes",
              note="committed private memory (VirtualQuery) after vs before; wine's "
                   "GetProcessHandleCount and PrivateUsage read 0")
        if "raw_cycles_private_after" in fp:
            growth = (fp["cycles_private_after"] - fp["cycles_private_before"]) / fp["cycles"]
            raw_growth = (fp["raw_cycles_private_after"] -
                          fp["raw_cycles_private_before"]) / fp["cycles"]
            t.add("open/close: growth per cycle", growth, raw_growth, "bytes",
                  "no growth beyond the baseline", growth <= max(raw_growth, 0) * 1.5 + 64,
                  note="baseline: the same number of raw cycles (open, one WaitCommEvent pending, "
                       "SetCommMask(h, 0), close) in the same process: wine's own share")
        t.add("%d open/close: handles" % fp["cycles"], fp["cycles_handles_after"],
              fp["cycles_handles_before"], "handles", "no growth",
              fp["cycles_handles_after"] <= fp["cycles_handles_before"] + 2)
        n = fp["notifications"]
        secs = fp["notifications_seconds"]
        relay_growth = fp["notify_bytes_per_second"]
        raw_growth = fp["raw_bytes_per_second"]
        t.add("%d notifications: private bytes" % n, fp["notify_private_after"],
              fp["notify_private_before"], "bytes",
              note="the default run counts %d (--long: 100,000); at a notification a tick the "
                   "count takes %.0f s" % (fp["notifications_asked"], secs))
        t.add("%d notifications: growth per second" % n, relay_growth, raw_growth, "bytes/s",
              "no growth beyond the baseline", relay_growth <= max(raw_growth, 0) * 1.25 + 1024,
              note="least-squares slope of private bytes; baseline: the raw reader on the same "
                   "stream (a byte every 5 ms) for %.0f s: wine's own share" % fp["raw_seconds"])
        t.add("%d notifications: handles" % n, fp["notify_handles_after"],
              fp["notify_handles_before"], "handles", "no growth",
              fp["notify_handles_after"] <= fp["notify_handles_before"] + 2)
    return t


def histogram(build, lat):
    """Two panels: the raw reader's latency and the relay's, 0.1 ms bins."""
    gnuplot = shutil.which("gnuplot")
    if not gnuplot or not lat:
        return None
    data = os.path.join(build, "bench", "latency.dat")
    with open(data, "w") as f:
        for name in ("raw_samples", "relay_samples"):
            for v in lat[name]:
                f.write("%.4f\n" % v)
            f.write("\n\n")
    png = os.path.join(build, "bench-latency.png")
    script = """
set terminal png size 1100,480
set output '{png}'
set multiplot layout 1,2 title 'peer byte to reader: raw Win32 reader and host through comrelay.dll ({n} samples each)'
bin(x) = 0.1 * floor(x / 0.1) + 0.05
set style fill solid 0.6
set boxwidth 0.1
set ylabel 'samples'
set xlabel 'ms'
set title 'raw reader (WaitCommEvent + ReadFile)'
plot '{data}' index 0 using (bin($1)):(1.0) smooth frequency with boxes lc rgb '#4477aa' notitle
set title 'host click handler via comrelay.dll (50 ms batching)'
set arrow 1 from 50, graph 0 to 50, graph 1 nohead dt 2 lc rgb '#888888'
plot '{data}' index 1 using (bin($1)):(1.0) smooth frequency with boxes lc rgb '#cc6677' notitle
unset multiplot
""".format(png=png, data=data, n=len(lat["relay_samples"]))
    r = subprocess.run([gnuplot], input=script, text=True, capture_output=True)
    return png if r.returncode == 0 and os.path.exists(png) else None


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    names = ("latency", "linerate", "unpaced", "idle", "write", "footprint")
    data = {n: load(build, n) for n in names}
    missing = [n for n in names if data[n] is None]
    table = build_table(build, data)
    print()
    table.print()
    if missing:
        print("\nno figures from: " + ", ".join(missing))
    png = histogram(build, data["latency"])
    with open(os.path.join(build, "bench.json"), "w") as f:
        json.dump({"table": table.rows, "programs": data}, f, indent=1)
    why = "no latency figures" if not data["latency"] else "gnuplot missing"
    print("\nfigures: %s; histogram: %s" % (os.path.join(build, "bench.json"),
                                            png or "(not drawn: %s)" % why))
    missed = [r["measure"] for r in table.rows if r["met"] is False]
    if missed:
        print("goals missed: " + "; ".join(missed))
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
