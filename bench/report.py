#!/usr/bin/env python3
"""Reads the raw outputs that bench/run.sh leaves in a folder and prints the results table.

    report.py RAW                      the markdown report of a whole run
    report.py --brief RAW ROUND LOAD   one line: the figures of one load in one round

Raw files: ROUND-LOAD-SERVER.txt (wrk, ab, loadclient, h2load or pageload output, then "exit
status: N"), ROUND-rss-SERVER.txt (VmRSS samples in KiB), idle-rss-SERVER.txt, strace-cN-SERVER.txt
(strace -c output over the requests of N connections), strace-cN-SERVER-client.txt,
cost-cN-SERVER.txt (CPU ticks and thread switches before and after, ticks per second),
cost-cN-SERVER-wrk.txt, meta.txt (key=value lines), and win32/ (see win32_report.py). SERVER "baseline" is an earlier revision of ours (run.sh --baseline); it gets
a column of its own when it ran. SERVER "logged" and "quiet" are two more processes of ours, with
the request log on and with --quiet; a load on "logged" ends with "request log: N lines, D
dropped", the lines its file gained.
"""

import os
import re
import statistics
import sys

SERVERS = ("ours", "nginx", "lighttpd", "h2o")
PEERS = ("nginx", "lighttpd", "h2o")
BASELINE = "baseline"
# Two more runs of ours, started alike and given only the load of the request log's cost: one
# with the log on, standard output to a file, one with --quiet as "ours" itself.
LOGGED = "logged"
QUIET = "quiet"
LISTING_ENTRIES = 10000
# How far ours may fall behind the baseline on the fast path: 0.95 of its rate, 1/0.95 of its time.
BASELINE_RATIO = 0.95
# The connections of the loads that count system calls and thread switches per request, and
# the bounds on ours (system calls, thread switches) where there is one.
COST_CONNECTIONS = (5, 50)
COST_BOUNDS = {5: (4.0, 0.5)}

BINARY_UNITS = {"": 1, "K": 1024, "M": 1024**2, "G": 1024**3, "T": 1024**4}
DECIMAL_UNITS = {"": 1, "k": 1e3, "M": 1e6, "G": 1e9}
TIME_UNITS_US = {"us": 1, "ms": 1e3, "s": 1e6, "m": 60e6, "h": 3600e6}


class Load:
    """One load of the table: which raw files, which figure, and its target.

    target bounds ours / best peer; bound instead bounds our own figure (the ratio is then
    information). samples, when given, pools the figures of every round before the median;
    worst takes the worst round instead of the median. baseline names the title of the row that
    compares ours with the baseline revision on this figure. subject and against, when given,
    name two other runs of ours (their raw files' SERVER): the row shows subject's figure and
    sets it against that of against instead of against the peers.
    """

    def __init__(self, key, title, measure, pick, higher_is_better, target=None, bound=None,
                 samples=None, worst=False, decimals=None, baseline=None, subject=None, against=None):
        self.key = key
        self.title = title
        self.measure = measure
        self.pick = pick  # parsed output -> the figure, or None
        self.higher_is_better = higher_is_better
        self.target = target  # ratio bound, or None for information only
        self.bound = bound  # (bound on our figure, its text), or None
        self.samples = samples  # parsed output -> [figures] to pool, or None
        self.worst = worst
        self.decimals = decimals
        self.baseline = baseline
        self.subject = subject
        self.against = against


def per_mib(r):
    """The transfer rate in MiB/s, or None."""
    return r["bytes_per_s"] / 1024**2 if r.get("bytes_per_s") is not None else None


def complete_rate(r):
    """Answers per second that were not error answers: a server that answers 503 while it
    builds a page has not served it."""
    if r.get("requests") is None or not r.get("seconds"):
        return None
    return (r["requests"] - r.get("non_2xx", 0)) / r["seconds"]


def in_ms(figure_us):
    """A time in µs as ms, None staying None."""
    return figure_us / 1e3 if figure_us is not None else None


def least_share(r):
    """The least-served connection's answers over the mean of all connections'."""
    spread = r.get("spread")
    if not spread:
        return None
    return spread["min"] / spread["mean"] if spread["mean"] else 0.0


def median_load_ms(r):
    """The median page load of one browser run, in ms."""
    return statistics.median(r["loads_ms"]) if r.get("loads_ms") else None


def crowd(connections):
    """The two rows of a load of many kept-alive connections."""
    title = f"{connections} kept-alive connections, 1 KiB (`loadclient -c {connections}`)"
    return (Load(f"many{connections}", title, "req/s", lambda r: r.get("rps"), True, 1.0),
            Load(f"many{connections}", f"{connections} kept-alive connections",
                 "least-served connection / mean, worst round", least_share, True,
                 bound=(0.25, "ours ≥ 0.25"), worst=True, decimals=2))


def connecting_crowd(clients):
    """The rows of a crowd of clients that connect at once, timed from the first connect."""
    key = f"h2load{clients}"
    short = f"{clients} clients connecting at once"
    return (Load(key, f"{short}, 1 KiB, timed from the first connect (`h2load --h1 -c{clients}`)", "req/s",
                 lambda r: r.get("rps"), True, 1.0),
            Load(key, short, "slowest answer ms, worst round, lower is better",
                 lambda r: in_ms(r.get("request_max_us")), False, bound=(100.0, "ours ≤ 100 ms"), worst=True),
            Load(key, short, "slowest connect ms, worst round, lower is better",
                 lambda r: in_ms(r.get("connect_max_us")), False, worst=True),
            Load(key, short, "requests failed or unanswered, worst round", lambda r: r.get("unanswered"),
                 False, bound=(0, "ours 0"), worst=True, decimals=0))


LOADS = (
    Load("ka_small", "keep-alive 1 KiB, 5 connections (`wrk -t1 -c5`)", "req/s",
         lambda r: r.get("rps"), True, 0.85, baseline="keep-alive 1 KiB, 5 connections"),
    Load("ka_log", "keep-alive 1 KiB, 5 connections, request log to a file", "req/s",
         lambda r: r.get("rps"), True, 0.90, subject=LOGGED, against=QUIET),
    Load("c1_latency", "one connection, 1 KiB (`wrk -t1 -c1 --latency`)", "p50 µs, lower is better",
         lambda r: r.get("p50_us"), False, 1.0, baseline="one connection, 1 KiB"),
    Load("c1_latency", "one connection, 1 KiB", "p99 µs, lower is better",
         lambda r: r.get("p99_us"), False),
    Load("c1_latency", "one connection, 1 KiB", "req/s", lambda r: r.get("rps"), True),
    Load("ab_close", "no keep-alive, 5 at a time (`ab -c5`)", "req/s", lambda r: r.get("rps"), True, 0.9,
         baseline="no keep-alive, 5 at a time"),
    Load("big", "16 MiB file, keep-alive, 5 connections", "MiB/s", per_mib, True, 0.9,
         baseline="16 MiB file, keep-alive, 5 connections"),
    Load("head", "HEAD 1 KiB, keep-alive, 5 connections (`loadclient -m HEAD`)", "req/s", lambda r: r.get("rps"), True),
    Load("listing", f"listing of a folder of {LISTING_ENTRIES:,} files (`wrk -t1 -c5`)",
         "whole pages/s (non-2xx not counted)", complete_rate, True, 3.0),
    Load("sixth", "sixth client: one-shot requests beside `wrk -t1 -c5` (1 KiB, `loadclient -o`)",
         "p99 ms, worst round, lower is better", lambda r: in_ms(r.get("p99_us")), False,
         bound=(20.0, "ours ≤ 20 ms"), worst=True),
    Load("sixth", "sixth client beside five busy connections", "p50 ms, lower is better",
         lambda r: in_ms(r.get("p50_us")), False),
    *crowd(50),
    *crowd(256),
    *connecting_crowd(50),
    *connecting_crowd(256),
    Load("browser", "browser: page of 60 PNG images, a stylesheet, 2 module scripts (headless Chromium, cache off)",
         "median ms to the load event, lower is better", median_load_ms, False, 1.0,
         samples=lambda r: r.get("loads_ms") or []),
)

RSS_LIMIT_KIB = 8 * 1024


def parse_wrk(text):
    """Returns the figures and the errors of one wrk run; a figure it did not print is None."""
    result = {"rps": None, "bytes_per_s": None, "p50_us": None, "p99_us": None, "max_us": None,
              "requests": None, "seconds": None, "errors": {}}
    match = re.search(r"^Requests/sec:\s+([\d.]+)", text, re.M)
    if match:
        result["rps"] = float(match.group(1))
    match = re.search(r"^Transfer/sec:\s+([\d.]+)([KMGT]?)B", text, re.M)
    if match:
        result["bytes_per_s"] = float(match.group(1)) * BINARY_UNITS[match.group(2)]
    for percent, key in (("50", "p50_us"), ("99", "p99_us")):
        match = re.search(r"^\s+" + percent + r"%\s+([\d.]+)(us|ms|s|m|h)\s*$", text, re.M)
        if match:
            result[key] = float(match.group(1)) * TIME_UNITS_US[match.group(2)]
    # The slowest answer: the third figure of wrk's latency line (average, deviation, max).
    match = re.search(r"^\s+Latency\s+\S+\s+\S+\s+([\d.]+)(us|ms|s|m|h)\s", text, re.M)
    if match:
        result["max_us"] = float(match.group(1)) * TIME_UNITS_US[match.group(2)]
    match = re.search(r"^\s+(\d+) requests in ([\d.]+)(us|ms|s|m|h),", text, re.M)
    if match:
        result["requests"] = int(match.group(1))
        result["seconds"] = float(match.group(2)) * TIME_UNITS_US[match.group(3)] / 1e6
    match = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", text)
    if match:
        for name, count in zip(("connect", "read", "write", "timeout"), match.groups()):
            if int(count):
                result["errors"][name] = int(count)
    match = re.search(r"Non-2xx or 3xx responses: (\d+)", text)
    result["non_2xx"] = int(match.group(1)) if match else 0
    if result["non_2xx"]:
        result["errors"]["non-2xx/3xx"] = result["non_2xx"]
    add_request_log(text, result)
    # loadclient's count of answers per connection slot.
    match = re.search(r"Answers per connection: min (\d+), mean ([\d.]+), max (\d+), unserved (\d+) of (\d+)", text)
    if match:
        result["spread"] = {"min": int(match.group(1)), "mean": float(match.group(2)),
                            "max": int(match.group(3)), "unserved": int(match.group(4)),
                            "connections": int(match.group(5))}
    add_run_failures(text, result)
    return result


def add_request_log(text, result):
    """Reads the count of log lines that run.sh appends to a load on a server that logs, and
    flags the run when lines and drops together do not match the answers: each answer wrk
    counted has its line, and each connection may have had one more answered that wrk did not
    read to its end when its time was up."""
    match = re.search(r"^request log: (\d+) lines, (\d+) dropped$", text, re.M)
    connections = re.search(r"^\s+\d+ threads and (\d+) connections", text, re.M)
    if not match or result["requests"] is None or not connections:
        return
    lines, dropped = int(match.group(1)), int(match.group(2))
    result["log"] = {"lines": lines, "dropped": dropped}
    if not result["requests"] <= lines + dropped <= result["requests"] + int(connections.group(1)):
        result["errors"]["log lines"] = f"{lines} and {dropped} dropped for {result['requests']} answers"


def parse_pageload(text):
    """Returns the page load times (ms) and the errors of one pageload run."""
    result = {"loads_ms": [], "errors": {}}
    failed = 0
    for match in re.finditer(r"^load \d+: ([\d.]+) ms, \d+ answers(; failed: .*)?$", text, re.M):
        result["loads_ms"].append(float(match.group(1)))
        if match.group(2):
            failed += 1
    if failed:
        result["errors"]["failed loads"] = failed
    match = re.search(r"^exit status: (\d+)", text, re.M)
    if match and int(match.group(1)):
        status = int(match.group(1))
        result["errors"]["exit"] = "timed out" if status == 124 else status
    if not result["loads_ms"]:
        result["errors"]["no loads"] = True
    return result


def parse_ab(text):
    """Returns the request rate and the errors of one ab run."""
    result = {"rps": None, "requests": None, "errors": {}}
    match = re.search(r"^Requests per second:\s+([\d.]+)", text, re.M)
    if match:
        result["rps"] = float(match.group(1))
    match = re.search(r"^Complete requests:\s+(\d+)", text, re.M)
    if match:
        result["requests"] = int(match.group(1))
    for label, name in (("Failed requests", "failed"), ("Non-2xx responses", "non-2xx"),
                        ("Write errors", "write")):
        match = re.search(r"^" + label + r":\s+(\d+)", text, re.M)
        if match and int(match.group(1)):
            result["errors"][name] = int(match.group(1))
    add_run_failures(text, result)
    return result


def parse_h2load(text):
    """Returns the figures and the errors of one h2load run. A run stopped before its end
    printed only how many requests it was to make and its progress in tenths: the requests
    beyond the last tenth it reached count as unanswered."""
    result = {"rps": None, "requests": None, "unanswered": None, "request_max_us": None,
              "connect_max_us": None, "first_byte_max_us": None, "errors": {}}
    match = re.search(r"^finished in \S+, ([\d.]+) req/s", text, re.M)
    if match:
        result["rps"] = float(match.group(1))
    planned = sum(int(n) for n in re.findall(r"^spawning thread #\d+: \d+ total client\(s\)\. (\d+) total requests",
                                             text, re.M))
    match = re.search(r"^requests: (\d+) total, \d+ started, \d+ done, (\d+) succeeded, (\d+) failed, "
                      r"(\d+) errored, (\d+) timeout", text, re.M)
    if match:
        total, succeeded, failed, errored, timed_out = (int(n) for n in match.groups())
        result["requests"] = succeeded
        result["unanswered"] = total - succeeded
        for name, count in (("failed", failed), ("errored", errored), ("timeout", timed_out)):
            if count:
                result["errors"][name] = count
    elif planned:
        reached = [int(n) for n in re.findall(r"^progress: (\d+)% done", text, re.M)]
        result["unanswered"] = planned - planned * max(reached, default=0) // 100
    match = re.search(r"^status codes: \d+ 2xx, \d+ 3xx, (\d+) 4xx, (\d+) 5xx", text, re.M)
    if match and int(match.group(1)) + int(match.group(2)):
        result["errors"]["non-2xx/3xx"] = int(match.group(1)) + int(match.group(2))
    for label, key in (("time for request", "request_max_us"), ("time for connect", "connect_max_us"),
                       ("time to 1st byte", "first_byte_max_us")):
        match = re.search(r"^" + label + r":\s+[\d.]+(?:us|ms|s)\s+([\d.]+)(us|ms|s)\s", text, re.M)
        if match:
            result[key] = float(match.group(1)) * TIME_UNITS_US[match.group(2)]
    add_run_failures(text, result)
    return result


def add_run_failures(text, result):
    """Flags a run whose tool failed or printed no figure at all."""
    match = re.search(r"^exit status: (\d+)", text, re.M)
    if match and int(match.group(1)):
        status = int(match.group(1))
        result["errors"]["exit"] = "timed out" if status == 124 else status
    if not result["rps"]:
        result["errors"]["no answers"] = True


def parse_load(text):
    """Parses the output of any of the tools, told apart by their banners."""
    if text.startswith("pageload "):
        return parse_pageload(text)
    if text.startswith("starting benchmark..."):
        return parse_h2load(text)
    return parse_ab(text) if "ApacheBench" in text else parse_wrk(text)


def parse_strace(text):
    """Returns (total calls, [(syscall, calls, errors)] most frequent first) of strace -c."""
    calls = []
    total = None
    for line in text.splitlines():
        fields = line.split()
        if len(fields) < 5 or not re.match(r"^[\d.]+$", fields[0]):
            continue
        name = fields[-1]
        count = int(fields[3])
        errors = int(fields[4]) if len(fields) == 6 else 0
        if name == "total":
            total = count
        else:
            calls.append((name, count, errors))
    calls.sort(key=lambda call: (-call[1], call[0]))
    if total is None:
        total = sum(call[1] for call in calls)
    return total, calls


def best_peer(values, higher_is_better):
    """The best figure among the peers that have one, or None."""
    figures = [values[peer] for peer in PEERS if values.get(peer) is not None]
    if not figures:
        return None
    return max(figures) if higher_is_better else min(figures)


def meets(value, bound, higher_is_better):
    """Whether value lies on the good side of bound (or on it)."""
    return value >= bound if higher_is_better else value <= bound


def ratio_and_result(ours, best, load):
    """ours / best peer, and whether it meets the load's target ("" when it has none)."""
    ratio = ours / best if ours is not None and best else None
    if load.bound is not None:
        return ratio, "n/a" if ours is None else ("pass" if meets(ours, load.bound[0], load.higher_is_better) else "FAIL")
    if ratio is None:
        return None, "n/a" if load.target is not None else ""
    if load.target is None:
        return ratio, ""
    return ratio, "pass" if meets(ratio, load.target, load.higher_is_better) else "FAIL"


def read(path):
    with open(path, encoding="utf-8", errors="replace") as handle:
        return handle.read()


def read_meta(raw):
    meta = {}
    path = os.path.join(raw, "meta.txt")
    if os.path.exists(path):
        for line in read(path).splitlines():
            key, _, value = line.partition("=")
            meta[key] = value
    return meta


def rounds_in(raw):
    found = set()
    for name in os.listdir(raw):
        match = re.match(r"^(\d+)-", name)
        if match:
            found.add(int(match.group(1)))
    return sorted(found)


def collect(raw, server, key, prefix=""):
    """Parsed runs of one load and server, one per round that has its output."""
    runs = []
    for number in rounds_in(raw):
        path = os.path.join(raw, f"{prefix}{number}-{key}-{server}.txt")
        if os.path.exists(path):
            runs.append((number, parse_load(read(path))))
    return runs


def median_of(runs, pick):
    figures = [pick(run) for _, run in runs if pick(run) is not None]
    return statistics.median(figures) if figures else None


def figure_of(runs, load):
    """The load's figure over the rounds: pooled median, worst round or median of rounds."""
    if load.samples is not None:
        pooled = [figure for _, run in runs for figure in load.samples(run)]
        return statistics.median(pooled) if pooled else None
    if load.worst:
        figures = [load.pick(run) for _, run in runs if load.pick(run) is not None]
        if not figures:
            return None
        return min(figures) if load.higher_is_better else max(figures)
    return median_of(runs, load.pick)


def columns_in(raw):
    """The servers that get a column: ours, the baseline when it ran, the peers."""
    has_baseline = any(name.endswith(f"-{BASELINE}.txt") and re.match(r"^\d+-", name) for name in os.listdir(raw))
    return ("ours", BASELINE, *PEERS) if has_baseline else SERVERS


def peak_rss_above_idle(raw, server):
    """Highest sampled VmRSS during the 16 MiB loads minus the idle VmRSS, in KiB."""
    idle_path = os.path.join(raw, f"idle-rss-{server}.txt")
    if not os.path.exists(idle_path):
        return None, None
    idle = int(read(idle_path).split()[0])
    samples = []
    for number in rounds_in(raw):
        path = os.path.join(raw, f"{number}-rss-{server}.txt")
        if os.path.exists(path):
            samples += [int(value) for value in read(path).split() if value.isdigit() and int(value) > 0]
    if not samples:
        return None, idle
    return max(samples) - idle, idle


def syscalls_per_request(raw, server, connections):
    """(calls per request, requests, [(syscall, per request, errors per request)]) over the
    counted requests on that many connections, or None."""
    trace_path = os.path.join(raw, f"strace-c{connections}-{server}.txt")
    client_path = os.path.join(raw, f"strace-c{connections}-{server}-client.txt")
    if not (os.path.exists(trace_path) and os.path.exists(client_path)):
        return None
    requests = parse_wrk(read(client_path))["requests"]
    if not requests:
        return None
    total, calls = parse_strace(read(trace_path))
    return (total / requests, requests,
            [(name, count / requests, errors / requests) for name, count, errors in calls])


def cost_per_request(raw, server, connections):
    """(requests, CPU µs per request, thread switches per request) of the keep-alive load on
    that many connections, or None."""
    cost = os.path.join(raw, f"cost-c{connections}-{server}.txt")
    load = os.path.join(raw, f"cost-c{connections}-{server}-wrk.txt")
    if not (os.path.exists(cost) and os.path.exists(load)):
        return None
    ticks0, switches0, ticks1, switches1, hz = (int(x) for x in read(cost).split())
    requests = parse_wrk(read(load)).get("requests") or 0
    if requests <= 0:
        return None
    return requests, (ticks1 - ticks0) / hz * 1e6 / requests, (switches1 - switches0) / requests


def fmt(value, decimals=0):
    if value is None:
        return "n/a"
    if decimals == 0 and abs(value) >= 1000:
        return f"{value:,.0f}"
    return f"{value:.{decimals}f}" if decimals else f"{value:.0f}"


def figure_text(load, value):
    if load.decimals is not None:
        return fmt(value, load.decimals)
    return fmt(value, 1 if load.measure == "MiB/s" or (value is not None and value < 100) else 0)


def error_text(errors):
    return ", ".join(name if value is True else f"{name} {value}" for name, value in errors.items())


def target_text(load):
    """The target column of a load's row."""
    if load.bound is not None:
        return load.bound[1]
    if load.target is None:
        return "info"
    return ("≥ " if load.higher_is_better else "≤ ") + f"{load.target:.2f}"


def baseline_row(load, values, with_errors, columns):
    """The row that sets ours against the baseline revision on one fast-path figure; with_errors
    tells whether ours or the baseline had a run with errors on this load."""
    ours, base = values.get("ours"), values.get(BASELINE)
    bound = BASELINE_RATIO if load.higher_is_better else 1 / BASELINE_RATIO
    ratio = ours / base if ours is not None and base else None
    result = "n/a" if ratio is None else ("pass" if meets(ratio, bound, load.higher_is_better) else "FAIL")
    if with_errors and ratio is not None:
        result += " (errors)"
    cells = {server: "-" for server in columns}
    cells["ours"], cells[BASELINE] = figure_text(load, ours), figure_text(load, base)
    return ([f"against the baseline: {load.baseline}", load.measure, *(cells[s] for s in columns),
             fmt(ratio, 2), ("≥ " if load.higher_is_better else "≤ ") + f"{bound:.2f} of baseline", result])


def subject_row(raw, load, columns):
    """The row of a load that sets one run of ours (load.subject) against another (load.against)
    in the same rounds, and the runs of either that had errors."""
    runs = {name: collect(raw, name, load.key) for name in (load.subject, load.against)}
    values = {name: figure_of(runs[name], load) for name in runs}
    flagged = [(number, load.key, name, run["errors"]) for name in runs for number, run in runs[name]
               if run["errors"]]
    subject, against = values[load.subject], values[load.against]
    ratio = subject / against if subject is not None and against else None
    result = "n/a" if ratio is None else ("pass" if meets(ratio, load.target, load.higher_is_better) else "FAIL")
    if flagged:
        result += " (errors)"
    cells = {server: "-" for server in columns}
    cells["ours"] = figure_text(load, subject) + (" (!)" if any(entry[2] == load.subject for entry in flagged) else "")
    measure = f"{load.measure}; `--quiet` in the same rounds: {figure_text(load, against)}"
    target = ("≥ " if load.higher_is_better else "≤ ") + f"{load.target:.2f} of `--quiet`"
    return [load.title, measure, *(cells[s] for s in columns), fmt(ratio, 2), target, result], flagged


def request_log_notes(raw):
    """A line per round of the loads with the request log: answers, lines and drops."""
    counts = []
    for number, run in collect(raw, LOGGED, "ka_log"):
        if "log" in run:
            counts.append(f"round {number}: {fmt(run['requests'])} answers, {fmt(run['log']['lines'])} lines, "
                          f"{fmt(run['log']['dropped'])} dropped")
    if not counts:
        return []
    return ["Request log to a file (wrk's answers against the file's lines; a connection may add one "
            "answer that wrk did not read to its end): " + "; ".join(counts) + ".", ""]


def load_rows(raw, columns=SERVERS):
    """Table rows for the loads (the rows against the baseline last), and the list of runs that
    had errors."""
    rows = []
    against_baseline = []
    flagged = []
    for load in LOADS:
        if load.subject:
            row, bad = subject_row(raw, load, columns)
            rows.append(row)
            flagged += bad
            continue
        values = {}
        cells = {}
        with_errors = False
        errored = set()
        for server in columns:
            runs = collect(raw, server, load.key)
            values[server] = figure_of(runs, load)
            bad = [(number, run["errors"]) for number, run in runs if run["errors"]]
            cells[server] = (figure_text(load, values[server]) if runs else "-") + (" (!)" if bad else "")
            if bad:
                errored.add(server)
                with_errors = with_errors or server != BASELINE
                if load.measure in ("req/s", "MiB/s") or load.target is not None or load.bound is not None:
                    flagged += [(number, load.key, server, errors) for number, errors in bad]
        ratio, result = ratio_and_result(values["ours"], best_peer(values, load.higher_is_better), load)
        if result == "n/a" and values["ours"] is None and "ours" in errored:
            # Ours ran and gave no figure (a crowd stopped after its time): that misses the target.
            result = "FAIL"
        if with_errors and result:
            result += " (errors)"
        rows.append([load.title, load.measure, *(cells[s] for s in columns),
                     fmt(ratio, 2), target_text(load), result or "-"])
        if load.baseline and BASELINE in columns:
            against_baseline.append(baseline_row(load, values, bool(errored & {"ours", BASELINE}), columns))
    unique = []
    for entry in flagged:
        if entry not in unique:
            unique.append(entry)
    return rows + against_baseline, unique


def per_request_row(title, figures, bound):
    """A row of one per-request cost (lower is better) by server, with its bound on ours."""
    cells = [fmt(figures[s], 2) if figures[s] is not None else "n/a" for s in SERVERS]
    peers = [figures[p] for p in PEERS if figures[p] is not None]
    ours = figures["ours"]
    ratio = ours / min(peers) if ours is not None and peers and min(peers) else None
    if bound is None:
        return [title, "per request, lower is better", *cells, fmt(ratio, 2), "info", "-"]
    result = "n/a" if ours is None else ("pass" if ours <= bound else "FAIL")
    return [title, "per request, lower is better", *cells, fmt(ratio, 2), f"ours ≤ {bound:g}", result]


def extra_rows(raw, columns=SERVERS):
    """Rows of memory and of the per-request costs, and the system calls by connections."""
    rows = []
    rss = {server: peak_rss_above_idle(raw, server) for server in SERVERS}
    cells = [fmt(rss[s][0] / 1024, 1) if rss[s][0] is not None else "n/a" for s in SERVERS]
    ours = rss["ours"][0]
    result = "n/a" if ours is None else ("pass" if ours < RSS_LIMIT_KIB else "FAIL")
    rows.append(["peak RSS serving the 16 MiB file to 5 clients", "MiB above idle", *cells, "-",
                 "ours < 8 MiB", result])
    idle = [fmt(rss[s][1] / 1024, 1) if rss[s][1] is not None else "n/a" for s in SERVERS]
    rows.append(["RSS right after start", "MiB", *idle, "-", "info", "-"])
    per_request = {}
    for connections in COST_CONNECTIONS:
        calls_bound, switches_bound = COST_BOUNDS.get(connections, (None, None))
        calls = {server: syscalls_per_request(raw, server, connections) for server in SERVERS}
        per_request[connections] = calls
        rows.append(per_request_row(f"system calls, keep-alive 1 KiB, {connections} connections",
                                    {s: calls[s][0] if calls[s] else None for s in SERVERS}, calls_bound))
        costs = {server: cost_per_request(raw, server, connections) for server in SERVERS}
        rows.append(per_request_row(f"thread switches, keep-alive 1 KiB, {connections} connections",
                                    {s: costs[s][2] if costs[s] else None for s in SERVERS}, switches_bound))
    if BASELINE in columns:
        # These are measured on ours and the peers only: the baseline's cell stays empty.
        rows = [row[:3] + ["-"] + row[3:] for row in rows]
    return rows, per_request


def markdown_table(header, rows, align):
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join(align) + "|"]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines)


def syscall_table(per_request, top=8):
    """The most frequent calls of each server, per request."""
    names = []
    for server in SERVERS:
        if per_request[server]:
            names += [name for name, _, _ in per_request[server][2][:top] if name not in names]
    rows = []
    for name in names:
        row = [f"`{name}`"]
        for server in SERVERS:
            found = [(count, errors) for call, count, errors in (per_request[server] or (0, 0, []))[2]
                     if call == name]
            if not found:
                row.append("-")
            else:
                count, errors = found[0]
                row.append(fmt(count, 2) + (f" ({fmt(errors, 2)} failed)" if errors >= 0.005 else ""))
        rows.append(row)
    totals = ["**total**"] + [fmt(per_request[s][0], 2) if per_request[s] else "n/a" for s in SERVERS]
    return markdown_table(["system call", *SERVERS], rows + [totals], ["---", *["---:"] * len(SERVERS)])


def syscall_section(per_request):
    """The system call tables, one for each number of connections that was counted."""
    parts = []
    for connections, calls in per_request.items():
        if any(calls.values()):
            requests = next(entry[1] for entry in calls.values() if entry)
            parts += ["", f"System calls per request over {requests} keep-alive requests for the 1 KiB file on "
                      f"{connections} connections (`strace -c -f`, all threads):", "", syscall_table(calls)]
    return parts


def cost_section(raw):
    """Server CPU time and thread switches per request, from measure_cost in run.sh."""
    rows = []
    for connections in COST_CONNECTIONS:
        for server in SERVERS:
            cost = cost_per_request(raw, server, connections)
            if cost is not None:
                requests, cpu_us, switches = cost
                rows.append([server, str(connections), fmt(requests), fmt(cpu_us, 1), fmt(switches, 2)])
    if not rows:
        return ""
    return ("\nWhere the time goes, keep-alive 1 KiB (`wrk -t1 -cN`), one run each: the server's CPU "
            "time (all threads, user and system) and its threads' switches (voluntary and forced), "
            "per request:\n\n" +
            markdown_table(["server", "connections", "requests", "CPU µs per request",
                            "thread switches per request"], rows, ["---", "---:", "---:", "---:", "---:"]) + "\n")


def win32_section(raw):
    """The Win32 part, which bench/win32.sh measures into RAW/win32 and win32_report.py reads."""
    import win32_report  # here, as it imports this module itself
    return win32_report.section(os.path.join(raw, "win32"))


def report(raw):
    meta = read_meta(raw)
    columns = columns_in(raw)
    rows, flagged = load_rows(raw, columns)
    more, per_request = extra_rows(raw, columns)
    names = [f"baseline `{meta.get('baseline', '?')}`" if server == BASELINE else server for server in columns]
    ratio_title = "ours / best peer (or baseline)" if BASELINE in columns else "ours / best peer"
    header = ["load", "measure", *names, ratio_title, "target", "result"]
    align = ["---", "---", *["---:"] * len(columns), "---:", "---", "---"]
    parts = [
        f"Run {meta.get('date', '?')} on {meta.get('cpu', '?')}, {meta.get('cores', '?')} cores, "
        f"Linux {meta.get('kernel', '?')}; command `{meta.get('command', 'bash bench/run.sh')}` "
        f"({meta.get('elapsed', '?')} s).",
        "",
        f"Medians of {meta.get('rounds', '?')} rounds of {meta.get('duration', '?')} s per wrk load "
        f"({meta.get('ab_requests', '?')} requests per ab run, {meta.get('h2load_requests', '?')} per "
        f"h2load run, {meta.get('browser_loads', '?')} page loads per browser run), servers in rotating order; "
        f"{meta.get('versions', '')}. Ratios divide our figure by the best peer's in the same run "
        "(in the rows against the baseline, by the baseline's); for latency and system calls lower "
        "is better. The browser's figure is the median of every page load of every round; the sixth "
        "client's p99, the share of the least-served connection and the slowest connects and answers "
        "of the crowds that connect at once are those of the worst round.",
        "",
        markdown_table(header, rows + more, align),
        "",
        *request_log_notes(raw),
    ]
    if flagged:
        parts.append("Runs with errors (their figures are marked (!) and still in the medians):")
        parts += [f"- round {number}, {key}, {server}: {error_text(errors)}"
                  for number, key, server, errors in flagged]
    else:
        parts.append("No run reported errors (socket errors, timeouts, non-2xx answers, failed requests).")
    parts += syscall_section(per_request)
    parts.append(cost_section(raw))
    parts.append(win32_section(raw))
    return "\n".join(parts).rstrip() + "\n"


def brief(raw, number, key):
    load = next(entry for entry in LOADS if entry.key == key)
    cells = []
    for server in (*columns_in(raw), *((load.subject, load.against) if load.subject else ())):
        path = os.path.join(raw, f"{number}-{key}-{server}.txt")
        if not os.path.exists(path):
            continue
        run = parse_load(read(path))
        value = load.pick(run)
        cells.append(f"{server} {figure_text(load, value)}" +
                     (f" [{error_text(run['errors'])}]" if run["errors"] else ""))
    return " | ".join(cells) + f" {load.measure}"


def main(argv):
    if len(argv) == 4 and argv[0] == "--brief":
        print(brief(argv[1], int(argv[2]), argv[3]))
        return 0
    if len(argv) == 1:
        sys.stdout.write(report(argv[0]))
        return 0
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
