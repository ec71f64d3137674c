#!/usr/bin/env bash
# Measures kovweb.exe under Wine against its floor, a minimal Win32 server (bench/win32_floor.cpp,
# built here with MinGW-w64), in the same run and the same Wine session: requests/s with five
# kept-alive connections, the one-connection latency, fifty kept-alive connections with their
# p99 and slowest answer, a crowd of 256 clients connecting at once (h2load, stopped and reported
# as timed out when it has not finished after 60 s), the CPU time of all Wine processes per
# request, and the wineserver requests per HTTP request (a separate short pass under a
# wineserver started with -d1, whose request lines are counted). Holds /tmp/kov-win32.lock for
# all of it, as the Win32 tests do: kovweb.exe listens on port 80.
#
#   bash bench/win32.sh [--rounds N] [--duration S] [--requests N] [--lock-wait S]
#                       [--exe PATH] [--raw DIR] [--docroot DIR]
#
# bench/run.sh calls it for its Win32 part; alone, it prints the Win32 table. Raw outputs go to
# DIR (build-bench/win32-raw by default). Everything it starts is stopped on exit.
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BENCH="$REPO/bench"
BUILD="$REPO/build-bench"
COMMAND="bash bench/win32.sh${*:+ $*}"
ROUNDS=3
DURATION=5
REQUESTS=2000
LOCK_WAIT=120
# Requests of the crowd that connects at once, and how long it may take.
CROWD_REQUESTS=20000
CROWD_LIMIT=60
EXE="$REPO/build-win32/kovweb.exe"
RAW="$BUILD/win32-raw"
DOCROOT=""
STANDALONE=1

while [[ $# -gt 0 ]]; do
    case "$1" in
        --rounds) ROUNDS="${2:?--rounds needs a number}"; shift 2 ;;
        --duration) DURATION="${2:?--duration needs seconds}"; shift 2 ;;
        --requests) REQUESTS="${2:?--requests needs a number}"; shift 2 ;;
        --lock-wait) LOCK_WAIT="${2:?--lock-wait needs seconds}"; shift 2 ;;
        --exe) EXE="${2:?--exe needs a path}"; shift 2 ;;
        --raw) RAW="${2:?--raw needs a folder}"; STANDALONE=0; shift 2 ;;
        --docroot) DOCROOT="${2:?--docroot needs a folder}"; shift 2 ;;
        -h | --help) sed -n '2,13s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"; exit 0 ;;
        *) echo "win32.sh: unknown option '$1'" >&2; exit 2 ;;
    esac
done
for number in "$ROUNDS" "$DURATION" "$REQUESTS"; do
    [[ "$number" =~ ^[1-9][0-9]*$ ]] || { echo "win32.sh: '$number' is not a positive number" >&2; exit 2; }
done

say() { echo "== $*"; }
# Ends the Win32 part, leaving the reason where the report finds it.
skip() {
    echo "$*" | tee "$RAW/skipped.txt" >&2
    exit 1
}

WORK="$(mktemp -d "${TMPDIR:-/tmp}/kov-win32-bench.XXXXXX")"
# shellcheck source=bench/processes.sh
source "$(dirname "${BASH_SOURCE[0]}")/processes.sh"
WINESERVER_STARTED=0

cleanup() {
    local status=$?
    trap - EXIT INT TERM
    if [[ $WINESERVER_STARTED -eq 1 ]]; then
        wineserver -k >/dev/null 2>&1 || true
        wineserver -w >/dev/null 2>&1 || true
    fi
    stop_all_recorded
    rm -rf "$WORK"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

rm -rf "$RAW"
mkdir -p "$RAW" "$BUILD"

for tool in x86_64-w64-mingw32-g++-posix wine wineserver Xvfb wrk h2load curl g++; do
    command -v "$tool" >/dev/null 2>&1 || skip "'$tool' is missing (scripts/setup.sh installs the Wine tools, bench/run.sh wrk and h2load)"
done
[[ -f "$EXE" ]] || skip "$EXE does not exist; build it with scripts/test-win32.sh"

say "Building the Win32 floor (bench/win32_floor.cpp) and the load client"
x86_64-w64-mingw32-g++-posix -O2 -std=c++17 -Wall -Wextra -Werror -static -static-libgcc \
    -static-libstdc++ -o "$BUILD/win32_floor.exe" "$BENCH/win32_floor.cpp" -lws2_32
[[ -x "$BUILD/loadclient" && "$BUILD/loadclient" -nt "$BENCH/loadclient.cpp" ]] ||
    g++ -O2 -std=c++17 -Wall -Wextra -Werror -o "$BUILD/loadclient" "$BENCH/loadclient.cpp"

if [[ -z "$DOCROOT" ]]; then
    DOCROOT="$WORK/www"
    mkdir -p "$DOCROOT"
    head -c 1024 /dev/urandom >"$DOCROOT/1k.txt"
    printf '<!doctype html>\n<title>bench</title>\n' >"$DOCROOT/index.html"
fi
[[ -f "$DOCROOT/1k.txt" ]] || skip "$DOCROOT/1k.txt does not exist"
# Wine's Z: drive is the file system's root.
WIN_DOCROOT="Z:${DOCROOT//\//\\}\\"

exec {LOCK_FD}>/tmp/kov-win32.lock
flock -w "$LOCK_WAIT" "$LOCK_FD" || skip "the Wine lock stayed busy for $LOCK_WAIT s; skipped"
curl -s -o /dev/null --max-time 1 http://127.0.0.1:80/ && skip "port 80 is in use; skipped"

# The Win32 tests' prefix is ready-made and ours while the lock is held; else a new one.
export WINEPREFIX="$REPO/build-win32/wine" WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
[[ -d "$WINEPREFIX/drive_c" ]] || WINEPREFIX="$WORK/wine"
mkdir -p "$WINEPREFIX"

# kovweb.exe makes a window, which needs a display.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$WORK/display" >/dev/null 2>&1 &
STARTED_PIDS+=("$!")
for _ in $(seq 100); do
    [[ -s "$WORK/display" ]] && break
    sleep 0.1
done
[[ -s "$WORK/display" ]] || skip "Xvfb did not start"
DISPLAY=":$(head -n1 "$WORK/display")"
export DISPLAY

FLOOR_PORT="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
declare -A URL=([kovweb]="http://127.0.0.1:80/1k.txt" [floor]="http://127.0.0.1:$FLOOR_PORT/1k.txt")

# Starts kovweb.exe and the floor in the running Wine session and waits until both answer.
start_programs() {
    local name got _
    wine cmd /c exit >/dev/null 2>&1 </dev/null || true
    # --quiet as on Linux: the floor writes no line per request either.
    start_recorded "$WORK/kovweb-$1.log" wine "$EXE" --quiet "$WIN_DOCROOT"
    start_recorded "$WORK/floor-$1.log" wine "$BUILD/win32_floor.exe" "$FLOOR_PORT" "${WIN_DOCROOT}1k.txt"
    for name in kovweb floor; do
        for _ in $(seq 600); do
            got="$(curl -s -o /dev/null --max-time 1 -w '%{http_code} %{size_download}' "${URL[$name]}")" || true
            [[ "$got" == "200 1024" ]] && break
            sleep 0.1
        done
        [[ "$got" == "200 1024" ]] || skip "$name does not answer GET /1k.txt under Wine (got '$got')"
    done
}

# Sums the user and system CPU ticks of every process of this Wine session: the programs,
# the wineserver and Wine's helper processes, all of which work for each request.
wine_ticks() {
    local dir total=0 fields
    for dir in /proc/[0-9]*; do
        { tr '\0' '\n' <"$dir/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" || continue
        # The fields after the command's closing parenthesis; utime and stime are the 12th
        # and 13th of them.
        fields="$(sed 's/.*) //' "$dir/stat" 2>/dev/null)" || continue
        read -r -a parts <<<"$fields"
        total=$((total + parts[11] + parts[12]))
    done
    echo "$total"
}

# One round's loads on one program: five connections (with the CPU time of the session
# around it), one connection with latencies, fifty kept-alive connections with latencies, and
# 256 clients that connect at once. Answers may wait seconds in a crowd: wrk gives each 30 s.
run_loads() {
    local round="$1" name="$2" before after limit=$((DURATION + 30))
    before="$(wine_ticks)"
    timeout "$limit" wrk -t1 -c5 -d"${DURATION}s" --timeout 5s "${URL[$name]}" >"$RAW/$round-c5-$name.txt" 2>&1 ||
        echo "exit status: $?" >>"$RAW/$round-c5-$name.txt"
    after="$(wine_ticks)"
    echo "$before $after $(getconf CLK_TCK)" >"$RAW/$round-cpu-$name.txt"
    timeout "$limit" wrk -t1 -c1 -d"${DURATION}s" --timeout 5s --latency "${URL[$name]}" \
        >"$RAW/$round-c1-$name.txt" 2>&1 || echo "exit status: $?" >>"$RAW/$round-c1-$name.txt"
    timeout "$CROWD_LIMIT" wrk -t1 -c50 -d"${DURATION}s" --timeout 30s --latency "${URL[$name]}" \
        >"$RAW/$round-c50-$name.txt" 2>&1 || echo "exit status: $?" >>"$RAW/$round-c50-$name.txt"
    timeout -k 5 "$CROWD_LIMIT" h2load --h1 -c256 -n "$CROWD_REQUESTS" "${URL[$name]}" \
        >"$RAW/$round-h2load256-$name.txt" 2>&1 || echo "exit status: $?" >>"$RAW/$round-h2load256-$name.txt"
}

# Request lines of the debug wineserver's log so far.
server_requests() {
    grep -cE '^[0-9a-f]+: [a-z_0-9]+\( ' "$WORK/wineserver.log" || true
}

# Counts the wineserver requests of a fixed number of keep-alive requests on five connections,
# and those of an idle stretch as long, which the report takes off.
count_requests() {
    local name="$1" start middle end t0 t1 t2
    # Threads and connections are made outside the counted stretch, as in a long load.
    "$BUILD/loadclient" -c 5 -n 200 "${URL[$name]}" >/dev/null 2>&1 || true
    sleep 1
    t0=$(date +%s.%N)
    start=$(server_requests)
    timeout 300 "$BUILD/loadclient" -c 5 -n "$REQUESTS" "${URL[$name]}" >"$RAW/wsreq-$name-client.txt" 2>&1 ||
        echo "exit status: $?" >>"$RAW/wsreq-$name-client.txt"
    sleep 0.5
    middle=$(server_requests)
    t1=$(date +%s.%N)
    sleep "$(python3 -c "print($t1 - $t0)")"
    end=$(server_requests)
    t2=$(date +%s.%N)
    echo "$((middle - start)) $((end - middle)) $t0 $t1 $t2" >"$RAW/wsreq-$name.txt"
}

say "kovweb.exe and the floor under Wine $(wine --version 2>/dev/null) (floor on port $FLOOR_PORT)"
WINESERVER_STARTED=1
wineserver -p >/dev/null 2>&1 || true
start_programs timed
for ((round = 1; round <= ROUNDS; round++)); do
    order=(kovweb floor)
    ((round % 2 == 0)) && order=(floor kovweb)
    for name in "${order[@]}"; do
        run_loads "$round" "$name"
    done
    echo "   round $round/$ROUNDS: $(python3 "$BENCH/win32_report.py" --brief "$RAW" "$round")"
done

say "Wineserver requests over $REQUESTS keep-alive requests (wineserver -d1)"
wineserver -k >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true
start_recorded "$WORK/wineserver-start.log" sh -c 'exec wineserver -f -d1 2>"$0"' "$WORK/wineserver.log"
# Wine starts a wineserver of its own unless ours is listening when it looks.
SOCKET="/tmp/.wine-$(id -u)/server-$(stat -c %D "$WINEPREFIX")-$(printf %x "$(stat -c %i "$WINEPREFIX")")/socket"
for _ in $(seq 100); do
    [[ -S "$SOCKET" ]] && break
    sleep 0.1
done
[[ -S "$SOCKET" ]] || sleep 2
start_programs counted
for name in kovweb floor; do
    count_requests "$name"
done
wineserver -k >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true
WINESERVER_STARTED=0

cat >"$RAW/meta.txt" <<EOF
wine=$(wine --version 2>/dev/null)
rounds=$ROUNDS
duration=$DURATION
requests=$REQUESTS
crowd_requests=$CROWD_REQUESTS
crowd_limit=$CROWD_LIMIT
command=$COMMAND
EOF
if [[ $STANDALONE -eq 1 ]]; then
    python3 "$BENCH/win32_report.py" "$RAW"
fi
