#!/usr/bin/env python3
"""Checks bench/report.py on recorded outputs of wrk, ab, strace and loadclient.

    python3 bench/selftest.py
"""

import os
import shutil
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import report  # noqa: E402


def recorded(name):
    return report.read(os.path.join(HERE, "testdata", name))


def wrk_output(rps, p50="40.00us", extra=""):
    """A wrk run as it prints one, with the figures given."""
    return (f"Running 5s test @ http://127.0.0.1:1/1k.txt\n  1 threads and 5 connections\n"
            f"  Latency Distribution\n     50%   {p50}\n     99%    1.00ms\n"
            f"  1000 requests in 5.00s, 1.00MB read\n{extra}"
            f"Requests/sec: {rps:10.2f}\nTransfer/sec:      2.00MB\nexit status: 0\n")


class ParsingTest(unittest.TestCase):
    def test_wrk_figures_in_every_unit(self):
        latency = report.parse_wrk(recorded("wrk-latency.txt"))
        self.assertAlmostEqual(latency["rps"], 1295.34)
        self.assertAlmostEqual(latency["p50_us"], 186.0)
        self.assertAlmostEqual(latency["p99_us"], 9970.0)
        self.assertEqual(latency["requests"], 1304)
        self.assertEqual(latency["errors"], {})
        big = report.parse_wrk(recorded("wrk-big-file.txt"))
        self.assertAlmostEqual(big["bytes_per_s"], 64.76 * 1024**2)
        mib_per_s = next(load for load in report.LOADS if load.key == "big").pick(big)
        self.assertAlmostEqual(mib_per_s, 64.76)
        self.assertEqual(report.parse_wrk(wrk_output(1, p50="1.50s"))["p50_us"], 1.5e6)

    def test_wrk_runs_that_went_wrong_are_flagged(self):
        # wrk waits forever for the body a HEAD answer announces: no answer, yet no error line.
        self.assertIn("no answers", report.parse_wrk(recorded("wrk-head-stalled.txt"))["errors"])
        self.assertEqual(report.parse_wrk(recorded("wrk-non2xx.txt"))["errors"], {"non-2xx/3xx": 24455})
        self.assertEqual(report.parse_wrk(recorded("wrk-refused.txt"))["errors"], {"exit": 1, "no answers": True})
        timed_out = report.parse_wrk(wrk_output(100).replace("exit status: 0", "exit status: 124"))
        self.assertEqual(timed_out["errors"], {"exit": "timed out"})

    def test_ab(self):
        good = report.parse_ab(recorded("ab-ok.txt"))
        self.assertAlmostEqual(good["rps"], 8242.87)
        self.assertEqual(good["requests"], 2000)
        self.assertEqual(good["errors"], {})
        self.assertEqual(report.parse_ab(recorded("ab-non2xx.txt"))["errors"], {"non-2xx": 200})
        refused = report.parse_load(recorded("ab-refused.txt"))
        self.assertEqual(refused["errors"], {"exit": 111, "no answers": True})
        failed = report.parse_ab(recorded("ab-ok.txt").replace(
            "Failed requests:        0", "Failed requests:        7\n   (Connect: 0, Receive: 0, Length: 7)"))
        self.assertEqual(failed["errors"], {"failed": 7})

    def test_loadclient_speaks_like_wrk(self):
        head = report.parse_load(recorded("loadclient-head.txt"))
        self.assertAlmostEqual(head["rps"], 33815.62)
        self.assertEqual(head["errors"], {})
        self.assertEqual(report.parse_load(recorded("loadclient-count.txt"))["requests"], 2000)
        refused = report.parse_load(recorded("loadclient-refused.txt"))["errors"]
        self.assertEqual(refused["connect"], 1000)

    def test_strace_summary(self):
        total, calls = report.parse_strace(recorded("strace-ours.txt"))
        self.assertEqual(total, 18018)
        self.assertEqual(calls[0], ("newfstatat", 6000, 0))
        self.assertIn(("rt_sigtimedwait", 12, 12), calls)
        self.assertEqual(sum(count for _, count, _ in calls), total)
        total, calls = report.parse_strace(recorded("strace-lighttpd.txt"))
        self.assertEqual((total, calls[0][0]), (6095, "read"))
        self.assertIn(("read", 2044, 44), calls)


class ComparisonTest(unittest.TestCase):
    def test_best_peer_and_ratio_follow_the_direction_of_the_measure(self):
        throughput, latency = report.LOADS[0], report.LOADS[1]
        self.assertEqual(report.best_peer({"nginx": 10, "lighttpd": 20}, True), 20)
        self.assertEqual(report.best_peer({"nginx": 10, "lighttpd": None}, False), 10)
        self.assertIsNone(report.best_peer({"nginx": None, "lighttpd": None}, True))
        self.assertEqual(report.ratio_and_result(20, 20, throughput), (1.0, "pass"))
        self.assertEqual(report.ratio_and_result(19, 20, throughput), (0.95, "FAIL"))
        self.assertEqual(report.ratio_and_result(90, 100, latency), (0.9, "pass"))
        self.assertEqual(report.ratio_and_result(91, 100, latency)[1], "FAIL")
        self.assertEqual(report.ratio_and_result(None, 100, latency), (None, "n/a"))


class ReportTest(unittest.TestCase):
    """A whole report from a made-up run of three rounds."""

    def setUp(self):
        self.raw = tempfile.mkdtemp(prefix="kov-bench-selftest.")
        self.addCleanup(shutil.rmtree, self.raw)
        figures = {"ours": (900, 1200, 1100), "nginx": (1000, 950, 3000), "lighttpd": (800, 1000, 900)}
        for server, rates in figures.items():
            for number, rate in enumerate(rates, start=1):
                extra = "  Socket errors: connect 0, read 3, write 0, timeout 2\n" if (
                    server, number) == ("nginx", 3) else ""
                self.write(f"{number}-ka_small-{server}.txt", wrk_output(rate, extra=extra))
            self.write(f"idle-rss-{server}.txt", "2000\n")
        self.write("1-rss-ours.txt", "2000\n2100\n12500\n2300\n")
        self.write("strace-ours.txt", recorded("strace-ours.txt"))
        self.write("strace-ours-client.txt", recorded("loadclient-count.txt"))
        self.write("meta.txt", "rounds=3\ncommand=bash bench/run.sh --rounds 3\n")

    def write(self, name, text):
        with open(os.path.join(self.raw, name), "w", encoding="utf-8") as handle:
            handle.write(text)

    def row(self, text, title):
        line = next(line for line in text.splitlines() if line.startswith("| " + title))
        return [cell.strip() for cell in line.strip("|").split("|")]

    def test_medians_ratios_and_flags(self):
        text = report.report(self.raw)
        row = self.row(text, "keep-alive 1 KiB")
        # Medians: ours 1100, nginx 1000 (its errored round is kept, and marked), lighttpd 900.
        self.assertEqual(row[2:8], ["1,100", "1,000 (!)", "900", "1.10", "≥ 1.00", "pass (errors)"])
        self.assertIn("round 3, ka_small, nginx: read 3, timeout 2", text)
        self.assertIn("`bash bench/run.sh --rounds 3`", text)

    def test_memory_and_system_calls(self):
        text = report.report(self.raw)
        rss = self.row(text, "peak RSS")
        self.assertEqual(rss[2], f"{(12500 - 2000) / 1024:.1f}")
        self.assertEqual(rss[-1], "FAIL")
        calls = self.row(text, "system calls per keep-alive")
        self.assertEqual(calls[2], f"{18018 / 2000:.2f}")
        self.assertEqual(self.row(text, "`newfstatat`")[1], "3.00")

    def test_brief_line_shows_errors(self):
        line = report.brief(self.raw, 3, "ka_small")
        self.assertIn("nginx 3,000 [read 3, timeout 2]", line)
        self.assertIn("ours 1,100", line)


if __name__ == "__main__":
    unittest.main()
