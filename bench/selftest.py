#!/usr/bin/env python3
"""Checks bench/report.py on recorded tool outputs and a made-up run, and bench/loadclient.cpp
against a scripted server.

    python3 bench/selftest.py
"""

import os
import shutil
import socketserver
import subprocess
import sys
import tempfile
import threading
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import report  # noqa: E402


def wrk(rps, extra=""):
    return (f"  1 threads and 5 connections\n  1000 requests in 5.00s, 1.00MB read\n{extra}"
            f"Requests/sec: {rps:10.2f}\nTransfer/sec:      2.00MB\nexit status: 0\n")


class ReportTest(unittest.TestCase):
    def test_recorded_outputs(self):
        # What each output of a tool that once misread says: its figures and its errors.
        for name, figures in (
                ("wrk-latency.txt", {"rps": 1295.34, "p50": 186.0, "p99": 9970.0, "max": 15140.0, "errors": {}}),
                # wrk waits for the body a HEAD answer announces: no answer, and no error line.
                ("wrk-head-stalled.txt", {"rps": 0.0, "errors": {"no answers": True}}),
                # Mostly 503 while the page was built: 16 whole pages in 1.01 s.
                ("wrk-listing-503.txt", {"whole_rate": 16 / 1.01, "errors": {"non-2xx/3xx": 4060}}),
                ("ab-non2xx.txt", {"rps": 7933.36, "errors": {"non-2xx": 200}}),
                ("loadclient-crowd.txt", {"share": 0.0, "p99": 228.93, "errors": {}}),
                ("h2load-crowd.txt", {"rps": 58989.39, "unanswered": 0, "request_max": 22700.0,
                                      "connect_max": 20890.0, "errors": {}}),
                # Stopped after its time: what it was to make went unanswered.
                ("h2load-timeout.txt", {"rps": None, "unanswered": 2000,
                                        "errors": {"exit": "timed out", "no answers": True}}),
                ("pageload-failed.txt", {"loads_ms": [117.0, 63.8], "errors": {"failed loads": 2}})):
            run = report.parse(report.read(os.path.join(HERE, "testdata", name)))
            for key, value in figures.items():
                check = self.assertAlmostEqual if isinstance(value, float) else self.assertEqual
                check(run[key], value, msg=f"{name}: {key}")
        total, calls = report.parse_strace(report.read(os.path.join(HERE, "testdata", "strace-lighttpd.txt")))
        self.assertEqual((total, calls[0]), (6095, ("read", 2044, 44)))

    def test_medians_ratios_marks_and_the_baseline(self):
        raw = tempfile.mkdtemp(prefix="kov-bench-selftest.")
        self.addCleanup(shutil.rmtree, raw)
        files = {"meta.txt": "rounds=3\nbaseline=0c81a11\n"}
        for server, rates in {"ours": (900, 1200, 1100), "nginx": (1000, 950, 3000), "lighttpd": (800, 1000, 900),
                              "baseline": (1000, 1000, 1000)}.items():
            for number, rate in enumerate(rates, start=1):
                broken = (server, number) == ("ours", 2)
                files[f"{number}-ka_small-{server}.txt"] = wrk(rate, "  Socket errors: connect 0, read 3, write 0, "
                                                                     "timeout 0\n" if broken else "")
        for name, text in files.items():
            with open(os.path.join(raw, name), "w", encoding="utf-8") as handle:
                handle.write(text)
        rows = {line.split(" | ")[0] + " | " + line.split(" | ")[1]: [c.strip() for c in line.split("|")[3:-1]]
                for line in report.report(report.Raw(raw)).splitlines() if line.startswith("| ")}
        # Medians 1100 against nginx's 1000: 1.10 meets 0.85; round 2 of ours is marked.
        self.assertEqual(rows["| keep-alive 1 KiB, 5 connections (`wrk -t1 -c5`) | req/s"],
                         ["1,100 (!)", "1,000", "1,000", "900", "-", "1.10", "≥ 0.85", "pass (errors)"])
        self.assertEqual(rows["| against the baseline: keep-alive 1 KiB, 5 connections | req/s"],
                         ["1,100", "1,000", "-", "-", "-", "1.10", "≥ 0.95 of baseline", "pass (errors)"])


class ScriptedHandler(socketserver.BaseRequestHandler):
    """HEAD: a length and no body; GET /ok: 1 KiB in two sends; GET /never: nothing; else 404."""

    def handle(self):
        pending = b""
        while True:
            while b"\r\n\r\n" not in pending:
                data = self.request.recv(4096)
                if not data:
                    return
                pending += data
            head, pending = pending.split(b"\r\n\r\n", 1)
            method, target = head.split(b" ")[:2]
            if method == b"HEAD":
                self.request.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 1024\r\n\r\n")
            elif target == b"/ok":
                self.request.sendall(b"HTTP/1.1 200 OK\r\ncontent-LENGTH:  1024\r\n\r\n" + b"x" * 100)
                self.request.sendall(b"x" * 924)
            elif target != b"/never":
                self.request.sendall(b"HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\nnope")


class LoadClientTest(unittest.TestCase):
    def test_answers_are_read_by_their_length_and_counted(self):
        folder = tempfile.mkdtemp(prefix="kov-loadclient.")
        self.addCleanup(shutil.rmtree, folder)
        client = os.path.join(folder, "loadclient")
        subprocess.run(["g++", "-O1", "-std=c++17", "-Wall", "-Wextra", "-Werror", "-o", client,
                        os.path.join(HERE, "loadclient.cpp")], check=True, timeout=120)
        server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), ScriptedHandler)
        server.daemon_threads = True
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.addCleanup(server.server_close)
        self.addCleanup(server.shutdown)
        url = f"http://127.0.0.1:{server.server_address[1]}"
        for arguments, requests, errors in ((["-m", "HEAD", "-c", "3", "-n", "60", url + "/ok"], 60, {}),
                                            (["-c", "2", "-n", "40", url + "/ok"], 40, {}),
                                            (["-o", "-n", "6", url + "/ok"], 6, {}),
                                            (["-c", "2", "-n", "10", url + "/missing"], 10, {"non-2xx/3xx": 10}),
                                            # The time is up, yet the one-shot request is waited for.
                                            (["-o", "-d", "0.2", "-t", "0.5", url + "/never"], 0,
                                             {"timeout": 1, "no answers": True})):
            done = subprocess.run([client, *arguments], capture_output=True, text=True, timeout=60)
            run = report.parse(done.stdout + "exit status: 0\n")
            self.assertEqual((run["requests"], run["errors"]), (requests, errors), arguments)
        self.assertEqual(subprocess.run([client, "ftp://x/"], capture_output=True, timeout=10).returncode, 2)


if __name__ == "__main__":
    unittest.main()
