#!/usr/bin/env bash
# Profiles one kovweb binary (request log on, to a file, as users run it) under the three
# loads a browser or a script makes, and prints what each costs per request: CPU of the
# process, thread switches and run-queue waits of each thread (/proc/PID/task/*/schedstat),
# system calls (strace -c -f, a separate pass) and, where the kernel allows, the hottest
# functions (perf record with the software clock event). docs/performance.md reads its output.
#
#   bash bench/profile.sh [--binary PATH] [--duration S] [--quiet] [--no-perf] [--no-strace]
#
#   --binary PATH   the kovweb to profile (default build-rel/kovweb, built Release if missing)
#   --duration S    seconds per load (default 5)
#   --quiet         profile kovweb with its request log off
#   --no-perf       skip perf record; --no-strace: skip the system call pass
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BIN="$REPO/build-rel/kovweb" DURATION=5 QUIET=() PERF=1 STRACE=1
while [[ $# -gt 0 ]]; do
    case "$1" in
        --binary) BIN="${2:?--binary needs a path}"; shift 2 ;;
        --duration) DURATION="${2:?--duration needs seconds}"; shift 2 ;;
        --quiet) QUIET=(--quiet); shift ;;
        --no-perf) PERF=0; shift ;;
        --no-strace) STRACE=0; shift ;;
        *) sed -n '2,/^set /s/^# \{0,1\}//p' "${BASH_SOURCE[0]}" | sed '$d' >&2; exit 2 ;;
    esac
done
for tool in wrk ab strace python3; do
    command -v "$tool" >/dev/null || { echo "profile.sh: '$tool' is missing (bench/run.sh installs it)" >&2; exit 1; }
done
if [[ ! -x "$BIN" ]]; then
    cmake -S "$REPO" -B "$REPO/build-rel" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKOV_BUILD_TESTS=OFF >/dev/null
    nice cmake --build "$REPO/build-rel" -j2 --target kovweb >/dev/null
fi

WORK="$(mktemp -d "${TMPDIR:-/tmp}/kov-profile.XXXXXX")"
SERVER=""
cleanup() {
    [[ -z "$SERVER" ]] || { kill "$SERVER" 2>/dev/null; wait "$SERVER" 2>/dev/null; } || true
    rm -rf "$WORK"
}
trap cleanup EXIT
python3 "$REPO/bench/makeroot.py" "$WORK/www"
PORT="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
"$BIN" "${QUIET[@]}" --port "$PORT" "$WORK/www" >"$WORK/requests.log" 2>&1 &
SERVER=$!
for _ in $(seq 100); do curl -s -o /dev/null --max-time 1 "http://127.0.0.1:$PORT/" && break || sleep 0.1; done
URL="http://127.0.0.1:$PORT"
echo "kovweb $BIN (pid $SERVER), log ${QUIET[*]:-on, to a file}; $(nproc) cores; load before: $(cut -d' ' -f1-3 /proc/loadavg)"

# Prints, for each thread of the server, "name utime+stime(ticks) run-ns wait-ns slices
# voluntary involuntary".
snapshot() {
    local task
    for task in /proc/"$SERVER"/task/*; do
        printf '%s %s %s %s %s\n' "${task##*/}" "$(cut -d' ' -f14,15 "$task/stat" | awk '{print $1 + $2}')" \
            "$(cat "$task/schedstat")" \
            "$(awk '/^voluntary_ctxt_switches/ {v = $2} /^nonvoluntary_ctxt_switches/ {n = $2} END {print v, n}' "$task/status")" \
            "$(cat "$task/comm")"
    done
}

# Prints per request (N requests) the differences of two snapshots: per thread and in all.
per_request() {
    python3 - "$1" "$2" "$3" "$(getconf CLK_TCK)" <<'EOF'
import sys
def read(path):
    rows = {}
    for line in open(path):
        f = line.split()
        rows[f[0]] = [int(x) for x in f[1:7]] + [f[7] if len(f) > 7 else "?"]
    return rows
a, b, n, hz = read(sys.argv[1]), read(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
tot = [0] * 6
print("  thread          cpu µs/req  run µs/req  runq-wait µs/req  wakes/req  forced/req")
for tid, row in sorted(b.items(), key=lambda kv: int(kv[0])):
    old = a.get(tid, [0] * 6 + ["?"])
    d = [row[i] - old[i] for i in range(6)]
    tot = [tot[i] + d[i] for i in range(6)]
    if d[1] == 0 and d[4] == 0:
        continue
    print(f"  {tid:>7} {row[6]:<8} {d[0] * 1e6 / hz / n:9.2f} {d[1] / 1e3 / n:11.2f} {d[2] / 1e3 / n:17.2f} {d[4] / n:10.3f} {d[5] / n:11.3f}")
print(f"  all              {tot[0] * 1e6 / hz / n:9.2f} {tot[1] / 1e3 / n:11.2f} {tot[2] / 1e3 / n:17.2f} {tot[4] / n:10.3f} {tot[5] / n:11.3f}")
EOF
}

# Runs one load (its name, then the command) with snapshots around it and the request count
# read from the tool's output by the pattern in $REQUESTS.
profile_load() {
    local name="$1" requests
    shift
    snapshot >"$WORK/before"
    "$@" >"$WORK/$name.out" 2>&1
    snapshot >"$WORK/after"
    requests=$(python3 - "$WORK/$name.out" <<'EOF'
import re, sys
text = open(sys.argv[1]).read()
m = re.search(r"(\d+) requests in", text) or re.search(r"Complete requests:\s+(\d+)", text)
print(m.group(1) if m else 0)
EOF
)
    echo "== $name: $requests requests; $(grep -E 'Requests/sec|Transfer/sec|99%|Latency  ' "$WORK/$name.out" | tr -s ' ' | paste -sd';')"
    [[ $requests -gt 0 ]] && per_request "$WORK/before" "$WORK/after" "$requests"
}

wrk_load() { wrk -t1 -c"$1" -d"${DURATION}s" --timeout 5s --latency "$URL$2"; }
ab_load() { ab -q -c5 -n $((4000 * DURATION)) -s 10 "$URL/1k.txt"; }

profile_load keepalive-1k-c5 wrk_load 5 /1k.txt
profile_load keepalive-1k-c1 wrk_load 1 /1k.txt
profile_load oneshot-ab-c5 ab_load
profile_load file-16m-c5 wrk_load 5 /16m.bin

if [[ $PERF -eq 1 ]] && perf record -e cpu-clock -o /dev/null true >/dev/null 2>&1; then
    for load in "keepalive-1k-c5 wrk_load 5 /1k.txt" "oneshot-ab-c5 ab_load" "file-16m-c5 wrk_load 5 /16m.bin"; do
        set -- $load
        perf record -q -e cpu-clock -F 4999 -g -p "$SERVER" -o "$WORK/$1.perf" -- sleep "$DURATION" >/dev/null 2>&1 &
        recorder=$!
        "${@:2}" >/dev/null 2>&1
        wait "$recorder" || true
        echo "== perf, $1: the server's samples by symbol (self), top 25"
        perf report -q -i "$WORK/$1.perf" --no-children -g none --sort dso,sym 2>/dev/null | grep -v "^$" |
            grep -v -- '---' | head -25 || true
    done
fi

if [[ $STRACE -eq 1 ]]; then
    for load in "keepalive-1k-c5 wrk_load 5 /1k.txt" "oneshot-ab-c5 ab_load"; do
        set -- $load
        strace -c -f -o "$WORK/$1.strace" -p "$SERVER" >/dev/null 2>&1 &
        tracer=$!
        sleep 1
        "${@:2}" >"$WORK/$1.strace-load" 2>&1
        kill -INT "$tracer" 2>/dev/null || true
        wait "$tracer" 2>/dev/null || true
        echo "== strace -c -f, $1 (traced, so slower): $(grep -oE '[0-9]+ requests in|Complete requests: +[0-9]+' "$WORK/$1.strace-load")"
        head -20 "$WORK/$1.strace" || true
    done
fi
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
