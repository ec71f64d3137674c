#!/usr/bin/env python3
"""Reads the raw outputs that bench/win32.sh leaves in a folder and prints the Win32 table:
kovweb.exe against the minimal Win32 server (the floor) under Wine, in the same run.

    win32_report.py RAW                  the markdown section
    win32_report.py --brief RAW ROUND    one line: the figures of one round

Raw files: ROUND-c5-PROGRAM.txt, ROUND-c1-PROGRAM.txt and ROUND-c50-PROGRAM.txt (wrk output),
ROUND-h2load256-PROGRAM.txt (h2load output), ROUND-cpu-PROGRAM.txt
(CPU ticks of all Wine processes before and after the c5 load, and ticks per second),
wsreq-PROGRAM.txt (wineserver requests during the counted requests, during an idle stretch
as long, and the times around both), wsreq-PROGRAM-client.txt (the load client's output),
meta.txt, and skipped.txt when the part could not run.
"""

import os
import re
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import report  # noqa: E402

PROGRAMS = ("kovweb", "floor")
MAX_SERVER_REQUESTS = 12


class Row:
    """One figure of the table, how to read it, and its bound on kovweb.exe / floor or, with
    bound, on kovweb.exe's own figure. worst takes the worst round instead of the median."""

    def __init__(self, title, measure, figure, higher_is_better, ratio_target=None, bound=None,
                 worst=False, decimals=0):
        self.title = title
        self.measure = measure
        self.figure = figure  # (raw, program) -> ({round: value}, [errors])
        self.higher_is_better = higher_is_better
        self.ratio_target = ratio_target
        self.bound = bound  # (bound on kovweb.exe's figure, its text), or None
        self.worst = worst
        self.decimals = decimals


def rounds_in(raw):
    return sorted({int(m.group(1)) for m in (re.match(r"^(\d+)-", n) for n in os.listdir(raw)) if m})


def load_runs(raw, key, program):
    """(round, parsed wrk or h2load output) of every round that has the load."""
    runs = []
    for number in rounds_in(raw):
        path = os.path.join(raw, f"{number}-{key}-{program}.txt")
        if os.path.exists(path):
            runs.append((number, report.parse_load(report.read(path))))
    return runs


def load_figure(key, pick):
    """One figure of a load by round, and the errors of the runs."""
    def figure(raw, program):
        runs = load_runs(raw, key, program)
        values = {number: pick(run) for number, run in runs if pick(run) is not None}
        errors = [f"{key} round {number}: {report.error_text(run['errors'])}" for number, run in runs
                  if run["errors"]]
        return values, errors
    return figure


def cpu_per_request(raw, program):
    """The Wine session's CPU µs per request under the c5 load, by round."""
    values = {}
    for number, run in load_runs(raw, "c5", program):
        path = os.path.join(raw, f"{number}-cpu-{program}.txt")
        if not os.path.exists(path) or not run.get("requests"):
            continue
        before, after, hz = (int(x) for x in report.read(path).split())
        values[number] = (after - before) / hz * 1e6 / run["requests"]
    return values, []


def server_requests_per_request(raw, program):
    """Wineserver requests per HTTP request of the one counted pass: those of the counted
    stretch, less those of an idle stretch as long (Wine's helper processes keep asking now
    and then), over the count."""
    path = os.path.join(raw, f"wsreq-{program}.txt")
    client = os.path.join(raw, f"wsreq-{program}-client.txt")
    if not (os.path.exists(path) and os.path.exists(client)):
        return {}, []
    loaded, idle, start, middle, end = report.read(path).split()
    busy_seconds = float(middle) - float(start)
    idle_seconds = float(end) - float(middle)
    run = report.parse_wrk(report.read(client))
    errors = [report.error_text(run["errors"])] if run["errors"] else []
    if not run.get("requests") or idle_seconds <= 0:
        return {}, errors
    background = int(idle) * busy_seconds / idle_seconds
    return {0: max(int(loaded) - background, 0) / run["requests"]}, errors


def median_or_none(values):
    return statistics.median(values) if values else None


def ratio_of_rounds(ours, floor):
    """The median of kovweb.exe / floor over the rounds that have both: each round measures
    the two back to back, so a round's ratio is what the machine's load changes least."""
    return median_or_none([ours[n] / floor[n] for n in ours if floor.get(n)])


def rate(run):
    return run.get("rps")


ROWS = (
    Row("keep-alive 1 KiB, 5 connections (`wrk -t1 -c5`)", "req/s", load_figure("c5", rate), True, 0.76),
    Row("one connection, 1 KiB (`wrk -t1 -c1 --latency`)", "p50 µs, lower is better",
        load_figure("c1", lambda r: r.get("p50_us")), False, 1.5),
    Row("one connection, 1 KiB", "p99 µs, lower is better",
        load_figure("c1", lambda r: r.get("p99_us")), False),
    Row("one connection, 1 KiB", "req/s", load_figure("c1", rate), True),
    Row("50 kept-alive connections, 1 KiB (`wrk -t1 -c50 --latency`)", "req/s", load_figure("c50", rate), True,
        0.7),
    Row("50 kept-alive connections", "p99 ms, lower is better",
        load_figure("c50", lambda r: report.in_ms(r.get("p99_us"))), False, bound=(100, "kovweb.exe ≤ 100 ms")),
    Row("50 kept-alive connections", "slowest answer ms, worst round, lower is better",
        load_figure("c50", lambda r: report.in_ms(r.get("max_us"))), False, worst=True),
    Row("256 clients connecting at once, 1 KiB (`h2load --h1 -c256 -n20000`)", "req/s",
        load_figure("h2load256", rate), True),
    Row("256 clients connecting at once", "slowest answer ms, worst round, lower is better",
        load_figure("h2load256", lambda r: report.in_ms(r.get("request_max_us"))), False,
        bound=(1000, "kovweb.exe ≤ 1 s"), worst=True),
    Row("256 clients connecting at once", "requests failed or unanswered, worst round",
        load_figure("h2load256", lambda r: r.get("unanswered")), False, bound=(0, "kovweb.exe 0"), worst=True),
    Row("CPU of all Wine processes, keep-alive 1 KiB, 5 connections", "µs per request",
        cpu_per_request, False, decimals=1),
    Row("wineserver requests (`wineserver -d1`), keep-alive 1 KiB, 5 connections",
        "per HTTP request", server_requests_per_request, False, bound=(MAX_SERVER_REQUESTS, "kovweb.exe ≤ 12"),
        decimals=2),
)


def overall(row, values):
    """A program's figure over the rounds: the worst round's or the median."""
    if not values:
        return None
    if row.worst:
        return max(values) if not row.higher_is_better else min(values)
    return statistics.median(values)


def table_rows(raw):
    """Table rows, and the runs that had errors."""
    rows = []
    errors = []
    for row in ROWS:
        values, found = {}, {}
        for program in PROGRAMS:
            values[program], found[program] = row.figure(raw, program)
            errors += [entry for entry in (f"{program}, {text}" for text in found[program] if text)
                       if entry not in errors]
        ratio = ratio_of_rounds(values["kovweb"], values["floor"])
        ours = overall(row, list(values["kovweb"].values()))
        floor = overall(row, list(values["floor"].values()))
        target, result = "info", "-"
        if row.ratio_target is not None:
            target = ("≥ " if row.higher_is_better else "≤ ") + f"{row.ratio_target:.2f}× floor"
            if ratio is None:
                result = "n/a"
            else:
                result = "pass" if report.meets(ratio, row.ratio_target, row.higher_is_better) else "FAIL"
        elif row.bound is not None:
            target = row.bound[1]
            result = "n/a" if ours is None else (
                "pass" if report.meets(ours, row.bound[0], row.higher_is_better) else "FAIL")
        if result == "n/a" and ours is None and any(found["kovweb"]):
            # kovweb.exe ran and gave no figure (a crowd stopped after its time): that misses the target.
            result = "FAIL"
        rows.append([row.title, row.measure, report.fmt(ours, row.decimals), report.fmt(floor, row.decimals),
                     report.fmt(ratio, 2), target, result])
    return rows, errors


def section(raw):
    """The markdown section for a raw folder; empty when there is nothing in it."""
    if not os.path.isdir(raw):
        return ""
    skipped = os.path.join(raw, "skipped.txt")
    if os.path.exists(skipped):
        return "\nWin32 build under Wine: " + report.read(skipped).strip() + "\n"
    if not rounds_in(raw):
        return ""
    meta = report.read_meta(raw)
    rows, errors = table_rows(raw)
    header = ["load", "measure", "kovweb.exe", "floor", "kovweb.exe / floor", "target", "result"]
    align = ["---", "---", "---:", "---:", "---:", "---", "---"]
    text = (f"\nWin32 build under Wine ({meta.get('wine', 'wine')}, kovweb.exe on port 80) against the "
            "floor, a minimal Win32 server (`bench/win32_floor.cpp`: a thread per connection, blocking "
            "`recv`, one `send` of a fixed answer), in the same run and Wine session: medians of "
            f"{meta.get('rounds', '?')} rounds of {meta.get('duration', '?')} s per wrk load, programs "
            "in alternating order; a ratio is the median of the rounds' own ratios; slowest answers and "
            "unanswered requests are the worst round's. A crowd that connects at once is stopped "
            f"after {meta.get('crowd_limit', '?')} s, and its requests left count as unanswered. "
            "CPU time counts every process of the Wine session (the program, "
            "the wineserver and Wine's helpers). Wineserver requests are counted in a separate pass "
            f"under a debug wineserver (`wineserver -f -d1`) over {meta.get('requests', '?')} requests "
            "on 5 connections, less the requests of an idle stretch as long.\n\n"
            + report.markdown_table(header, rows, align) + "\n")
    if errors:
        text += "\nThe Win32 runs reported errors: " + "; ".join(errors) + "\n"
    return text


def brief(raw, number):
    cells = []
    for program in PROGRAMS:
        for key, label, pick in (("c5", "c5 req/s", rate), ("c1", "c1 p50 µs", lambda r: r.get("p50_us")),
                                 ("c50", "c50 p99 ms", lambda r: report.in_ms(r.get("p99_us"))),
                                 ("h2load256", "c256 req/s", rate)):
            path = os.path.join(raw, f"{number}-{key}-{program}.txt")
            if os.path.exists(path):
                run = report.parse_load(report.read(path))
                cells.append(f"{program} {label} {report.fmt(pick(run))}" +
                             (f" [{report.error_text(run['errors'])}]" if run["errors"] else ""))
    return " | ".join(cells)


def main(argv):
    if len(argv) == 3 and argv[0] == "--brief":
        print(brief(argv[1], int(argv[2])))
        return 0
    if len(argv) == 1:
        sys.stdout.write(section(argv[0]).lstrip("\n"))
        return 0
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
