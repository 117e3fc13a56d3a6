#!/usr/bin/env python3
"""report.py on canned figures: each goal is judged on the right side of its
line, a missing program is named, and bench.json carries the whole table."""

import json
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import report  # noqa: E402

GOOD = {
    "latency": {"raw_median": 0.8, "raw_p99": 1.8, "raw_max": 2.0, "raw_min": 0.2,
                "relay_median": 51.4, "relay_p99": 52.5, "relay_max": 53.3, "relay_min": 50.4,
                "relay_lost": 0, "relay_wrong": 0, "raw_lost": 0,
                "raw_samples": [0.8] * 500, "relay_samples": [51.4] * 500,
                "level_median": 52.0, "level_p99": 54.0, "level_lost": 0, "level_wrong": 0},
    "linerate": {"seconds": 10, "baud": [9600, 256000], "share_percent": [100.01, 99.95],
                 "exact": [1, 1], "bytes_per_notification": [50, 1370]},
    "unpaced": {"raw_rate": 13.7e6, "raw_per_read": 4010, "raw_exact": 1, "relay_rate": 79744,
                "relay_per_notification": 4088, "relay_largest": 4095, "relay_period_ms": 51.3,
                "relay_exact": 1},
    "idle": {"seconds": 10, "closed_ms": 0, "raw_ms": 190, "relay_ms": 195,
             "raw_rounds_ms": [190, 190], "relay_rounds_ms": [190, 200], "stream_rate": 2000,
             "edge_silent_ms": 200, "edge_stream_ms": 330, "edge_held_ms": 200, "edge_lost": 0,
             "level_silent_ms": 200, "level_stream_ms": 420, "level_held_ms": 280,
             "level_lost": 0, "storm_ms": 300, "storm_errors": 180, "edge_raw_stream_ms": 300,
             "edge_raw_lost": 0, "level_raw_stream_ms": 300, "level_raw_lost": 0},
    "write": {"raw_returned_ms": 0.5, "raw_delivered_ms": 0.6, "relay_returned_ms": 1.0,
              "relay_delivered_ms": 0.6, "wrong": 0, "paced_bytes": 16384,
              "paced_baud": [9600, 115200], "paced_returned_ms": [17070.0, 1425.0],
              "paced_line_ms": [17066.7, 1422.2], "paced_wrong": 0},
    "footprint": {"cycles": 1000, "cycles_private_before": 11.3e6, "cycles_private_after": 11.33e6,
                  "cycles_handles_before": 41, "cycles_handles_after": 42,
                  "raw_cycles_private_before": 11.4e6, "raw_cycles_private_after": 11.63e6,
                  "notifications": 1000, "notifications_asked": 1000,
                  "notifications_seconds": 53, "notify_private_before": 20.3e6,
                  "notify_private_after": 22.8e6, "notify_handles_before": 47,
                  "notify_handles_after": 47, "raw_seconds": 53, "raw_private_before": 22e6,
                  "raw_private_after": 24.5e6,
                  "notify_bytes_per_second": 48784, "raw_bytes_per_second": 48729},
}


def judged(data):
    """{measure: met} of the rows that have a goal."""
    with tempfile.TemporaryDirectory() as build:
        table = report.build_table(build, data)
    return {r["measure"]: r["met"] for r in table.rows if r["met"] is not None}


def changed(program, **figures):
    data = json.loads(json.dumps(GOOD))
    data[program].update(figures)
    return data


class Goals(unittest.TestCase):
    def test_good_figures_meet_every_goal(self):
        self.assertTrue(all(judged(GOOD).values()), judged(GOOD))

    def test_each_fault_misses_its_goal(self):
        cases = [
            ("latency median", changed("latency", relay_median=61.0)),
            ("latency median", changed("latency", relay_median=39.0)),
            ("latency p99", changed("latency", relay_p99=76.0)),
            ("line rate 256000 baud, 10 s", changed("linerate", exact=[1, 0])),
            ("line rate 9600 baud, 10 s", changed("linerate", share_percent=[97.0, 99.95])),
            ("unpaced 10 MB", changed("unpaced", relay_exact=0)),
            ("idle CPU, 10 s open and silent", changed("idle", relay_ms=400)),
            ("write 64 KiB: peer had every byte", changed("write", wrong=1)),
            ("sendstring 16 KiB at 9600 baud",
             changed("write", paced_returned_ms=[17500.0, 1425.0])),
            ("sendstring 16 KiB at 115200 baud",
             changed("write", paced_returned_ms=[17070.0, 1300.0])),
            ("sendstring 16 KiB at 115200 baud", changed("write", paced_wrong=1)),
            # Bounds over 10 s: idle + 1000 ms (10%), + 500 ms (5%) and + 200 ms (2%).
            ("edge: 2000 B/s stream CPU", changed("idle", edge_stream_ms=710)),
            ("edge: 2000 B/s stream CPU", changed("idle", edge_lost=1)),
            ("error storm: CPU", changed("idle", storm_ms=1200)),
            ("level: 2000 B/s stream CPU", changed("idle", level_stream_ms=710)),
            ("level: 2000 B/s stream CPU", changed("idle", level_lost=3)),
            ("edge: 2000 B/s stream CPU against the raw reader",
             changed("idle", edge_raw_stream_ms=210)),
            ("level: 2000 B/s stream CPU against the raw reader",
             changed("idle", level_raw_lost=1)),
            ("level: bytes held behind a notice CPU", changed("idle", level_held_ms=410)),
            ("level: latency median", changed("latency", level_median=57.0)),
            ("level: latency p99", changed("latency", level_p99=58.0)),
            ("1000 open/close: handles", changed("footprint", cycles_handles_after=60)),
            ("open/close: growth per cycle",
             changed("footprint", cycles_private_after=11.3e6 + 1000 * 600)),
            ("1000 notifications: growth per second",
             changed("footprint", notify_bytes_per_second=120000)),
        ]
        for measure, data in cases:
            with self.subTest(measure=measure):
                self.assertIs(judged(data)[measure], False)

    def test_growth_no_faster_than_the_raw_reader_is_met(self):
        # Wine's own growth on a busy line is the baseline, not zero.
        self.assertIs(judged(GOOD)["1000 notifications: growth per second"], True)


class Output(unittest.TestCase):
    def test_missing_program_is_named_and_json_written(self):
        with tempfile.TemporaryDirectory() as build:
            os.makedirs(os.path.join(build, "bench"))
            for name, figures in GOOD.items():
                if name != "write":
                    with open(os.path.join(build, "bench", name + ".json"), "w") as f:
                        json.dump(figures, f)
            sys.argv = ["report.py", build]
            with open(os.devnull, "w") as quiet:
                stdout, sys.stdout = sys.stdout, quiet
                try:
                    code = report.main()
                finally:
                    sys.stdout = stdout
            self.assertEqual(code, 1)
            with open(os.path.join(build, "bench.json")) as f:
                out = json.load(f)
            self.assertIsNone(out["programs"]["write"])
            self.assertTrue(any(r["measure"] == "latency median" for r in out["table"]))


if __name__ == "__main__":
    unittest.main()
