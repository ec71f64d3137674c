#!/usr/bin/env python3
"""Reads the raw outputs that bench/run.sh leaves in folder RAW and prints the results table.

    report.py RAW

Each output is ROUND-KEY-SERVER.txt: a tool's output, the figures run.sh counted around it and
"exit status: N"; parse() reads every one of them. SERVER "baseline" is an earlier revision of
ours, which runs with its request log on and going to a file; "logged" and "quiet" are ours
with the request log on and with --quiet, side by side; "kovweb"
(kovweb.exe) and "floor" run under Wine. idle-rss-SERVER.txt holds a server's VmRSS at start.
"""

import os
import re
import statistics
import sys

SERVERS = ("ours", "nginx", "lighttpd", "h2o")
PEERS = SERVERS[1:]
BASELINE = "baseline"
BASELINE_RATIO = 0.95  # ours against the baseline: rates at least this share, costs at most 1/it
US = {"us": 1, "ms": 1e3, "s": 1e6, "m": 60e6, "h": 3600e6}
BYTES = {"": 1, "K": 1024, "M": 1024**2, "G": 1024**3, "T": 1024**4}


def parse(text):
    """The figures of one output (None where it holds none) and its errors, what went wrong
    mapped to a count or a text."""
    def find(pattern):
        return re.search(pattern, text, re.M)

    def number(pattern, kind=float):
        match = find(pattern)
        return kind(match.group(1)) if match else None

    def time_us(pattern):
        match = find(pattern + r"([\d.]+)(us|ms|s|m|h)\b")
        return float(match.group(1)) * US[match.group(2)] if match else None

    errors = {}
    run = {"errors": errors, "loads_ms": [], "unanswered": None, "share": None}
    run["rps"] = number(r"^(?:Requests/sec:|Requests per second:|finished in \S+,)\s+([\d.]+)")
    match = find(r"^Transfer/sec:\s+([\d.]+)([KMGT]?)B")
    run["mib_s"] = float(match.group(1)) * BYTES[match.group(2)] / 1024**2 if match else None
    run["p50"], run["p99"] = time_us(r"^\s+50%\s+"), time_us(r"^\s+99%\s+")
    # wrk's latency line: average, deviation, then the slowest answer.
    run["max"] = time_us(r"^[ \t]+Latency[ \t]+\S+[ \t]+\S+[ \t]+")
    run["request_max"] = time_us(r"^time for request:\s+\S+\s+")
    run["connect_max"] = time_us(r"^time for connect:\s+\S+\s+")
    match = find(r"^\s+(\d+) requests in ([\d.]+)(us|ms|s|m|h),")
    run["requests"] = int(match.group(1)) if match else number(r"^Complete requests:\s+(\d+)", int)
    seconds = float(match.group(2)) * US[match.group(3)] / 1e6 if match else None
    match = find(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)")
    for name, count in zip(("connect", "read", "write", "timeout"), match.groups() if match else ()):
        if int(count):
            errors[name] = int(count)
    for name, label in (("failed", "Failed requests"), ("non-2xx", "Non-2xx responses"), ("write", "Write errors")):
        errors.update({name: count} if (count := number(rf"^{label}:\s+(\d+)", int)) else {})
    # h2load: a run stopped before its end printed only what it was to make and its progress in
    # tenths; the requests beyond the last tenth it reached count as unanswered.
    match = find(r"^requests: (\d+) total, \d+ started, \d+ done, (\d+) succeeded, (\d+) failed, (\d+) errored, "
                 r"(\d+) timeout")
    planned = sum(int(n) for n in re.findall(r"^spawning thread #\d+: \d+ total client\(s\)\. (\d+) total", text, re.M))
    if match:
        total, run["requests"], *failures = (int(n) for n in match.groups())
        run["unanswered"] = total - run["requests"]
        errors.update((name, n) for name, n in zip(("failed", "errored", "timeout"), failures) if n)
    elif planned:
        reached = max((int(n) for n in re.findall(r"^progress: (\d+)% done", text, re.M)), default=0)
        run["unanswered"] = planned - planned * reached // 100
    match = find(r"^status codes: \d+ 2xx, \d+ 3xx, (\d+) 4xx, (\d+) 5xx")
    non_2xx = number(r"Non-2xx or 3xx responses: (\d+)", int) or (int(match[1]) + int(match[2]) if match else 0)
    if non_2xx:
        errors["non-2xx/3xx"] = non_2xx
    # Whole pages: a server that answers 503 while it builds a page has not served it.
    requests = run["requests"]
    run["whole_rate"] = (requests - non_2xx) / seconds if requests is not None and seconds else None
    match = find(r"Answers per connection: min (\d+), mean ([\d.]+), max \d+")
    if match:
        run["share"] = int(match[1]) / float(match[2]) if float(match[2]) else 0.0
    per_request(run, "switches", number(r"^thread switches: (\d+)$", int))
    # strace -c's total line: % time, seconds, µs per call, calls, errors (when some call failed).
    per_request(run, "syscalls", number(r"^\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(?:\d+\s+)?total$", int))
    # The server's CPU over the load: per GiB for uploads, per request (or answer) otherwise.
    match = find(r"^server ticks: (\d+) (\d+) (\d+)(?: (\d+) GiB)?$")
    seconds_used = (int(match[2]) - int(match[1])) / int(match[3]) if match else None
    run["cpu_ms_gib"] = seconds_used * 1e3 / int(match[4]) if match and match[4] else None
    per_request(run, "cpu_us", seconds_used * 1e6 if match and not match[4] else None)
    match = find(r"^wine ticks: (\d+) (\d+) (\d+)$")
    per_request(run, "wine_cpu_us", (int(match[2]) - int(match[1])) / int(match[3]) * 1e6 if match else None)
    # The wineserver's requests of the counted stretch, less those of an idle stretch as long
    # (Wine's helpers ask now and then).
    # None at all means Wine ran on a wineserver of its own, not the counting one: not measured.
    match = find(r"^wineserver requests: (\d+) (\d+) ([\d.]+) ([\d.]+) ([\d.]+)$")
    if match and int(match[1]) > 0 and float(match[5]) > float(match[4]):
        loaded, idle, start, middle, end = (float(x) for x in match.groups())
        per_request(run, "wineserver", max(loaded - idle * (middle - start) / (end - middle), 0))
    # What serving the load added to the memory, whatever earlier loads left behind.
    match = find(r"^rss: (\d+) KiB at most, (\d+) KiB before$")
    run["rss_mib"] = (int(match[1]) - int(match[2])) / 1024 if match else None
    # The logged server: each answer wrk counted has its line, and each connection may have had
    # one more answered that wrk did not read to its end when its time was up.
    log, connections = find(r"^request log: (\d+) lines, (\d+) dropped$"), number(r"^\s+\d+ threads and (\d+) conn", int)
    if log and requests is not None and connections:
        run["log"] = lines, dropped = int(log[1]), int(log[2])
        if not requests <= lines + dropped <= requests + connections:
            errors["log lines"] = f"{lines} and {dropped} dropped for {requests} answers"
    failed = 0
    for match in re.finditer(r"^load \d+: ([\d.]+) ms, \d+ answers(; failed: .*)?$", text, re.M):
        run["loads_ms"].append(float(match[1]))
        failed += bool(match[2])
    if failed:
        errors["failed loads"] = failed
    status = number(r"^exit status: (\d+)", int)
    if status:
        errors["exit"] = "timed out" if status == 124 else status
    if text.startswith("pageload "):
        errors.update({} if run["loads_ms"] else {"no loads": True})
    elif not run["rps"]:
        errors["no answers"] = True
    return run


def per_request(run, name, count):
    """Sets run[name] to a count over the run's requests, None without both."""
    run[name] = count / run["requests"] if count is not None and run["requests"] else None


class Row:
    """One row: the figure of a load's runs (a key of parse(), or a function of the raw folder
    and a server to {round: figure}), scaled; target bounds the ratio, bound (figure, text) our
    own figure; worst takes the worst round instead of the median, pooled the median of every
    page load of every round; baseline asks for a row against the baseline too."""

    def __init__(self, key, title, measure, figure, higher=True, target=None, bound=None, worst=False,
                 decimals=None, scale=1.0, pooled=False, baseline=False):
        self.key, self.title, self.measure, self.figure, self.higher = key, title, measure, figure, higher
        self.target, self.bound, self.worst, self.decimals, self.scale = target, bound, worst, decimals, scale
        self.pooled, self.baseline = pooled, baseline

    def by_round(self, raw, server):
        """{round: figure} of one server."""
        if callable(self.figure):
            return self.figure(raw, server)
        runs = raw.runs(self.key, server)
        if self.pooled:
            return {(n, i): ms for n, run in runs.items() for i, ms in enumerate(run["loads_ms"])}
        return {n: run[self.figure] * self.scale for n, run in runs.items() if run.get(self.figure) is not None}

    def overall(self, values):
        """The figure over the rounds: the worst round's or the median."""
        if not values:
            return None
        if self.worst:
            return min(values.values()) if self.higher else max(values.values())
        return statistics.median(values.values())

    def judge(self, value, bound):
        """pass or FAIL of a figure against a bound, n/a without it."""
        return "n/a" if value is None else ("pass" if (value >= bound if self.higher else value <= bound) else "FAIL")

    def text(self, value):
        """The figure as the table shows it."""
        if self.decimals is not None:
            return fmt(value, self.decimals)
        return fmt(value, 1 if self.measure == "MiB/s" or (value is not None and value < 100) else 0)


def crowd(n):
    """The rows of N kept-alive connections."""
    title = f"{n} kept-alive connections"
    return (Row(f"many{n}", f"{title}, 1 KiB (`loadclient -c {n}`)", "req/s", "rps", target=1.0),
            Row(f"many{n}", title, "least-served connection / mean, worst round", "share", bound=(0.25, "ours ≥ 0.25"),
                worst=True, decimals=2))


def connecting_crowd(n):
    """The rows of N clients that connect at once."""
    key, short = f"h2load{n}", f"{n} clients connecting at once"
    return (Row(key, f"{short}, 1 KiB, timed from the first connect (`h2load --h1 -c{n}`)", "req/s", "rps", target=1.0,
                baseline=True),
            Row(key, short, "slowest answer ms, worst round, lower is better", "request_max", False,
                bound=(100.0, "ours ≤ 100 ms"), worst=True, scale=1e-3),
            Row(key, short, "slowest connect ms, worst round, lower is better", "connect_max", False, worst=True,
                scale=1e-3),
            Row(key, short, "requests failed or unanswered, worst round", "unanswered", False, bound=(0, "ours 0"),
                worst=True, decimals=0))


def cpu_row(key, load, per="request"):
    """The row of the server's CPU per request (or answer) of a load."""
    return Row(key, load, f"server CPU µs per {per}, lower is better", "cpu_us", False)


def idle_rss(raw, server):
    """{0: the server's VmRSS in MiB right after its start}, or {}."""
    kib = raw.read(f"idle-rss-{server}.txt").strip()
    return {0: int(kib) / 1024} if kib.isdigit() else {}


def costs(n, calls_bound=None, switches_bound=None):
    """The rows of the system calls and the thread switches per request on N connections."""
    per = "per request, lower is better"
    return (Row(f"strace{n}", f"system calls, keep-alive 1 KiB, {n} connections", per, "syscalls", False,
                bound=calls_bound and (calls_bound, f"ours ≤ {calls_bound}"), decimals=2, baseline=True),
            Row("ka_small" if n == 5 else f"many{n}", f"thread switches, keep-alive 1 KiB, {n} connections", per,
                "switches", False, bound=switches_bound and (switches_bound, f"ours ≤ {switches_bound}"), decimals=2))


ROWS = (
    Row("ka_small", "keep-alive 1 KiB, 5 connections (`wrk -t1 -c5 --latency`)", "req/s", "rps", target=1.0,
        baseline=True),
    Row("ka_small", "keep-alive 1 KiB, 5 connections", "p99 µs, lower is better", "p99", False, 1.5),
    Row("ka_log", "keep-alive 1 KiB, 5 connections: request log to a file against `--quiet`", "req/s", "rps",
        target=0.90),
    Row("ka_auth", "keep-alive 1 KiB, 5 connections with --auth", "req/s", "rps", target=0.95),
    Row("c1_latency", "one connection, 1 KiB (`wrk -t1 -c1 --latency`)", "p50 µs, lower is better", "p50", False, 1.0,
        baseline=True),
    Row("c1_latency", "one connection, 1 KiB", "p99 µs, lower is better", "p99", False, 1.5),
    Row("c1_latency", "one connection, 1 KiB", "req/s", "rps"),
    Row("ab_close", "no keep-alive, 5 at a time (`ab -c5`)", "req/s", "rps", target=0.9, baseline=True),
    Row("big", "16 MiB file, keep-alive, 5 connections", "MiB/s", "mib_s", target=1.0, baseline=True),
    Row("head", "HEAD 1 KiB, keep-alive, 5 connections (`loadclient -m HEAD`)", "req/s", "rps", target=1.0),
    Row("listing", "listing of a folder of 10,000 files (`wrk -t1 -c5`)", "whole pages/s (non-2xx not counted)",
        "whole_rate", target=3.0),
    Row("sixth", "sixth client: one-shot requests beside `wrk -t1 -c5` (1 KiB, `loadclient -o`)",
        "p99 ms, worst round, lower is better", "p99", False, bound=(20.0, "ours ≤ 20 ms"), worst=True, scale=1e-3),
    Row("sixth", "sixth client beside five busy connections", "p50 ms, lower is better", "p50", False, scale=1e-3),
    *crowd(50), *crowd(256), *connecting_crowd(50), *connecting_crowd(256),
    Row("browser", "browser: page of 60 PNG images, a stylesheet, 2 module scripts (headless Chromium, cache off)",
        "median ms to the load event, lower is better", "loads_ms", False, 1.0, pooled=True),
    Row("put1", "PUT of a 1 GiB file (`curl -T`; nginx: `dav_methods PUT`, 1 MiB body buffer)", "MiB/s", "mib_s",
        target=1.0),
    Row("put5", "PUT of a 1 GiB file, 5 at a time", "MiB/s", "mib_s", target=1.0),
    Row("put5", "PUT of a 1 GiB file, 5 at a time", "server CPU ms per GiB received, lower is better", "cpu_ms_gib",
        False),
)
# The rows after those against the baseline: what serving costs.
COST_ROWS = (
    Row("big", "peak RSS serving the 16 MiB file to 5 clients", "MiB above its start, worst round", "rss_mib", False,
        bound=(8.0, "ours ≤ 8 MiB"), worst=True, decimals=1),
    Row("idle", "RSS right after start", "MiB", idle_rss, False, decimals=1),
    *costs(5, 4, 0.5), *costs(50),
    cpu_row("ka_small", "keep-alive 1 KiB, 5 connections"), cpu_row("head", "HEAD 1 KiB, keep-alive, 5 connections"),
    cpu_row("ab_close", "no keep-alive, 5 at a time"), cpu_row("many256", "256 kept-alive connections"),
    cpu_row("h2load50", "50 clients connecting at once"), cpu_row("h2load256", "256 clients connecting at once"),
    cpu_row("big", "16 MiB file, keep-alive, 5 connections", "answer"),
)


def fmt(value, decimals=0):
    """A figure with thousands separators from 1,000 on, n/a for None."""
    return "n/a" if value is None else f"{value:,.0f}" if decimals == 0 and abs(value) >= 1000 else f"{value:.{decimals}f}"


def error_text(errors):
    """What went wrong in a run, as one line."""
    return ", ".join(name if value is True else f"{name} {value}" for name, value in errors.items())


def target_text(row, against="", times=""):
    """The target column of a row."""
    if row.bound is not None:
        return row.bound[1]
    return "info" if row.target is None else ("≥ " if row.higher else "≤ ") + f"{row.target:.2f}{times}{against}"


def read(path):
    """A file's text."""
    with open(path, encoding="utf-8", errors="replace") as handle:
        return handle.read()


class Raw:
    """The raw folder of one run, each output parsed once."""

    def __init__(self, folder):
        self.folder, self.parsed = folder, {}
        for name in os.listdir(folder):
            match = re.fullmatch(r"(\d+)-(\w+)-(\w+)\.txt", name)
            if match:
                self.parsed.setdefault((match[2], match[3]), {})[int(match[1])] = parse(self.read(name))
        self.meta = dict(line.partition("=")[::2] for line in self.read("meta.txt").splitlines())

    def read(self, name):
        """A raw file's text, empty when it is missing."""
        path = os.path.join(self.folder, name)
        return read(path) if os.path.exists(path) else ""

    def runs(self, key, server):
        """{round: parsed run} of one load on one server."""
        return self.parsed.get((key, server), {})

    def flagged(self, key, server):
        """(round, key, server, errors) of each of those runs with errors."""
        return [(n, key, server, run["errors"]) for n, run in sorted(self.runs(key, server).items()) if run["errors"]]


def ratio_of(ours, other):
    """ours / other, None without both."""
    return ours / other if ours is not None and other else None


def load_row(raw, row, columns, ours="ours", peers=PEERS, times=""):
    """The table row of a load, its figures by server, and whether a run of ours or of the
    baseline had errors; the ratio sets ours against the best of the peers."""
    values, cells, errored = {}, {}, set()
    for server in columns:
        values[server] = row.overall(row.by_round(raw, server))
        bad = raw.flagged(row.key, server)
        errored |= {server} if bad else set()
        ran = raw.runs(row.key, server) or values[server] is not None
        cells[server] = (row.text(values[server]) if ran else "-") + (" (!)" if bad else "")
    found = [values[p] for p in peers if values[p] is not None]
    best = (max(found) if row.higher else min(found)) if found else None
    ratio = ratio_of(values[ours], best)
    if row.bound is not None:
        result = row.judge(values[ours], row.bound[0])
    else:
        result = "" if row.target is None else row.judge(ratio, row.target)
    if result == "n/a" and values[ours] is None and ours in errored:
        result = "FAIL"  # ours ran and gave no figure (a crowd stopped after its time)
    if errored - {BASELINE} and result:
        result += " (errors)"
    cells = [row.title, row.measure, *(cells[s] for s in columns), fmt(ratio, 2), target_text(row, times=times),
             result or "-"]
    return cells, values, bool(errored & {ours, BASELINE})


def pair_row(raw, row, columns, server="logged", other="`--quiet`"):
    """The row that sets ours with one option (server: logged, with its request log; authed,
    with --auth) against ours with --quiet alone (quiet), named other."""
    ours, quiet = (row.overall(row.by_round(raw, name)) for name in (server, "quiet"))
    ratio = ratio_of(ours, quiet)
    flagged = raw.flagged(row.key, server) + raw.flagged(row.key, "quiet")
    cells = {name: "-" for name in columns}
    cells["ours"] = row.text(ours) + (" (!)" if raw.flagged(row.key, server) else "")
    return [row.title, f"{row.measure}; {other} in the same rounds: {row.text(quiet)}", *cells.values(),
            fmt(ratio, 2), target_text(row, f" of {other}"), row.judge(ratio, row.target) + (" (errors)" if flagged else "")]


def baseline_row(row, values, with_errors, columns):
    """The row that sets ours against the baseline revision on one figure."""
    ours, base = values.get("ours"), values.get(BASELINE)
    bound = BASELINE_RATIO if row.higher else 1 / BASELINE_RATIO
    ratio = ratio_of(ours, base)
    cells = {server: "-" for server in columns}
    cells["ours"], cells[BASELINE] = row.text(ours), row.text(base)
    result = row.judge(ratio, bound) + (" (errors)" if with_errors and ratio is not None else "")
    return [f"against the baseline: {row.title.split(' (`')[0]}", row.measure, *cells.values(), fmt(ratio, 2),
            ("≥ " if row.higher else "≤ ") + f"{bound:.2f} of baseline", result]


def table(header, rows, align):
    """A markdown table."""
    return "\n".join("| " + " | ".join(cells) + " |" for cells in [header, *rows]).replace(
        "\n", "\n|" + "|".join(align) + "|\n", 1)


WIN32_ROWS = (
    Row("wc5", "keep-alive 1 KiB, 5 connections (`wrk -t1 -c5`)", "req/s", "rps", target=0.76, decimals=0),
    Row("wc1", "one connection, 1 KiB (`wrk -t1 -c1 --latency`)", "p50 µs, lower is better", "p50", False, 1.5,
        decimals=0),
    Row("wc1", "one connection, 1 KiB", "p99 µs, lower is better", "p99", False, decimals=0),
    Row("wc1", "one connection, 1 KiB", "req/s", "rps", decimals=0),
    Row("wc50", "50 kept-alive connections, 1 KiB (`wrk -t1 -c50 --latency`)", "req/s", "rps", target=0.7, decimals=0),
    Row("wc50", "50 kept-alive connections", "p99 ms, lower is better", "p99", False,
        bound=(100, "kovweb.exe ≤ 100 ms"), decimals=0, scale=1e-3),
    Row("wc50", "50 kept-alive connections", "slowest answer ms, worst round, lower is better", "max", False,
        worst=True, decimals=0, scale=1e-3),
    Row("wh2load256", "256 clients connecting at once, 1 KiB (`h2load --h1 -c256 -n20000`)", "req/s", "rps",
        decimals=0),
    Row("wh2load256", "256 clients connecting at once", "slowest answer ms, worst round, lower is better",
        "request_max", False, bound=(1000, "kovweb.exe ≤ 1 s"), worst=True, decimals=0, scale=1e-3),
    Row("wh2load256", "256 clients connecting at once", "requests failed or unanswered, worst round", "unanswered",
        False, bound=(0, "kovweb.exe 0"), worst=True, decimals=0),
    Row("wc5", "CPU of all Wine processes, keep-alive 1 KiB, 5 connections", "µs per request", "wine_cpu_us", False,
        decimals=1),
    Row("wsreq", "wineserver requests (`wineserver -d1`), keep-alive 1 KiB, 5 connections", "per HTTP request",
        "wineserver", False, bound=(12, "kovweb.exe ≤ 12"), decimals=2),
)


def win32_section(raw):
    """kovweb.exe against the floor under Wine."""
    if raw.read("win32-skipped.txt"):
        return ["", "Win32 build under Wine: " + raw.read("win32-skipped.txt").strip()]
    if not raw.runs("wc5", "kovweb"):
        return []
    programs = ("kovweb", "floor")
    rows = [load_row(raw, row, programs, "kovweb", ("floor",), "× floor")[0] for row in WIN32_ROWS]
    meta = raw.meta
    return ["", f"Win32 build under Wine ({meta.get('wine', 'wine')}, kovweb.exe on port 80) against the floor "
            "(`bench/win32_floor.cpp`, a minimal Win32 server), in one Wine session: medians of "
            f"{meta.get('rounds', '?')} rounds of {meta.get('duration', '?')} s per wrk load in alternating order; "
            "CPU time of every process of the session; wineserver requests of a separate pass under "
            f"`wineserver -f -d1` over {meta.get('win32_requests', '?')} requests, less an idle stretch as long.", "",
            table(["load", "measure", "kovweb.exe", "floor", "kovweb.exe / floor", "target", "result"], rows,
                  ["---", "---", "---:", "---:", "---:", "---", "---"])]


ZIP_ROWS = (("zipbig", "zip of a folder of 4 files of 64 MiB", 0.9),
            ("zipsmall", "zip of a folder of 1,000 files of 1 to 8 KiB", 0.5))


def zip_section(raw):
    """The archive of a folder against its files one by one, from ours: speed ratio (time of
    the files / time of the archive), medians of the rounds and the first round alone."""
    rows = []
    for folder, title, target in ZIP_ROWS:
        times = {}
        for line in raw.read(f"zip-{folder}.txt").splitlines():
            round_, kind, seconds = line.split()
            times.setdefault(kind, {})[int(round_)] = float(seconds)
        if not times.get("files") or not times.get("zip"):
            continue
        files, zips = times["files"], times["zip"]
        ratio = statistics.median(files[n] / zips[n] for n in zips if n in files)
        first = files[1] / zips[1] if 1 in files and 1 in zips else None
        rows.append([title, fmt(statistics.median(files.values()), 3), fmt(statistics.median(zips.values()), 3),
                     fmt(first, 2), fmt(ratio, 2), f"≥ {target:.2f}", "PASS" if ratio >= target else "FAIL"])
    if not rows:
        return []
    return ["", "A folder's zip against its files one by one from ours (curl, one connection; wall seconds, "
            "medians of the rounds; the first round computes the CRC-32s, later ones find them kept):", "",
            table(["load", "files s", "zip s", "first round speed ratio", "speed ratio", "target", "result"], rows,
                  ["---", "---:", "---:", "---:", "---:", "---", "---"])]


def report(raw):
    """The whole report of one run."""
    meta = raw.meta
    columns = ("ours", BASELINE, *PEERS) if meta.get("baseline") else SERVERS
    rows, against, cost_rows = [], [], []
    for row in (*ROWS, *COST_ROWS):
        if row.key == "ka_log":
            rows.append(pair_row(raw, row, columns))
            continue
        if row.key == "ka_auth":
            rows.append(pair_row(raw, row, columns, "authed", "without `--auth`"))
            continue
        cells, values, with_errors = load_row(raw, row, columns)
        (cost_rows if row in COST_ROWS else rows).append(cells)
        if row.baseline and BASELINE in columns:
            against.append(baseline_row(row, values, with_errors, columns))
    keys = list(dict.fromkeys(row.key for row in (*ROWS, *COST_ROWS, *WIN32_ROWS)))
    servers = (*columns, "logged", "quiet", "authed", "kovweb", "floor")
    flagged = [entry for key in keys for server in servers for entry in raw.flagged(key, server)]
    names = [f"baseline `{meta['baseline']}`" if s == BASELINE else s for s in columns]
    header = ["load", "measure", *names, "ours / best peer" + (" (or baseline)" if BASELINE in columns else ""),
              "target", "result"]
    logs = [f"round {n}: {fmt(run['requests'])} answers, {fmt(run['log'][0])} lines, {fmt(run['log'][1])} dropped"
            for n, run in sorted(raw.runs("ka_log", "logged").items()) if "log" in run]
    parts = [
        f"Run {meta.get('date', '?')} on {meta.get('cpu', '?')}, {meta.get('cores', '?')} cores, Linux "
        f"{meta.get('kernel', '?')}; command `{meta.get('command', 'bash bench/run.sh')}` ({meta.get('elapsed', '?')} s).",
        "",
        f"Medians of {meta.get('rounds', '?')} rounds of {meta.get('duration', '?')} s per wrk load "
        f"({meta.get('ab_requests', '?')} requests per ab run, {meta.get('h2load_requests', '?')} per h2load run, "
        f"{meta.get('browser_loads', '?')} page loads per browser run), servers in rotating order; "
        f"{meta.get('versions', '')}. Ratios divide our figure by the best peer's in the same run (in the rows "
        "against the baseline, by the baseline's); for latency and costs lower is better. The browser's "
        "figure is the median of every page load of every round; the sixth client's p99, the share of the "
        "least-served connection, the slowest connects and answers of the crowds that connect at once and the peak "
        "RSS are those of the worst round. Thread switches are counted over the `wrk -c5` and `loadclient -c 50` "
        f"loads, system calls (`strace -c -f`) over {meta.get('strace_requests', '?')} requests of a separate pass.",
        "",
        table(header, rows + against + cost_rows, ["---", "---", *["---:"] * (len(columns) + 1), "---", "---"]),
        "",
    ]
    if logs:
        parts += ["Request log to a file (wrk's answers against the file's lines; a connection may add one answer "
                  "that wrk did not read to its end): " + "; ".join(logs) + ".", ""]
    if flagged:
        parts.append("Runs with errors (their figures are marked (!) and still in the medians):")
        parts += [f"- round {n}, {key}, {server}: {error_text(errors)}" for n, key, server, errors in flagged]
    else:
        parts.append("No run reported errors (socket errors, timeouts, non-2xx answers, failed requests).")
    parts += zip_section(raw)
    parts += win32_section(raw)
    return "\n".join(parts).rstrip() + "\n"


def main(argv):
    """Prints the report of the folder on the command line."""
    if len(argv) != 1:
        sys.stderr.write(__doc__)
        return 2
    sys.stdout.write(report(Raw(argv[0])))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
