#!/usr/bin/env bash
# Benchmarks kovweb against nginx, lighttpd and h2o on loopback: builds kovweb in Release (and,
# with --baseline, an earlier revision beside it), makes a document root, starts the servers,
# checks every URL on each, runs each load on each server in rotating order for several rounds
# (crowds of kept-alive connections, crowds that connect at once, a sixth client beside five busy
# ones, a folder listing of 10,000 files and a headless browser among them), sets ours with its
# request log written to a file against ours with --quiet (as every other load runs it), counts
# system calls and thread switches per request with 5 and 50 connections, samples the memory while
# the 16 MiB file is served and, when a Win32 build exists, measures it under Wine against a
# minimal Win32 server (bench/win32.sh).
# Prints a markdown table and writes it to bench/results/latest.md.
#
#   bash bench/run.sh [--rounds N] [--duration S] [--quick] [--no-install] [--win32|--no-win32]
#                     [--lock-wait S] [--baseline REV]
#
# Everything it starts is stopped on exit, Ctrl+C or failure.
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BENCH="$REPO/bench"
BUILD="$REPO/build-bench"
COMMAND="bash bench/run.sh${*:+ $*}"
STARTED=$(date +%s)

ROUNDS=""
QUICK=0
DURATION=5
AB_REQUESTS=20000
STRACE_REQUESTS=20000
INSTALL=1
WIN32=auto
LOCK_WAIT=120
BASELINE_REV=""
BROWSER_LOADS="" # page loads per server and round; by default enough for 5 over the rounds
# Requests per h2load crowd: a few seconds for the fastest server at the usual duration.
H2LOAD_REQUESTS_PER_SECOND=40000
# Connections of the loads that count system calls and thread switches per request.
COST_CONNECTIONS=(5 50)
SERVERS=(ours nginx lighttpd h2o)
PACKAGES=(wrk apache2-utils nginx lighttpd h2o nghttp2-client strace curl chromium nodejs npm)
PUPPETEER=puppeteer-core@24

usage() {
    sed -n '2,14s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"
    cat <<EOF

Options:
  --rounds N     rounds of every load (default 3, 2 with --quick; medians need at least 3)
  --duration S   seconds per wrk load (default $DURATION)
  --quick        a smoke run: 2 rounds, 1-second loads, 2000 requests for ab and strace, one
                 page load per server and round (h2load's count follows the duration)
  --no-install   do not apt-get the tools, fail when one is missing
  --win32        measure build-win32/kovweb.exe and its floor under Wine (default: when it exists)
  --no-win32     skip the Win32 build
  --lock-wait S  how long the Win32 part waits for the Wine lock (default $LOCK_WAIT)
  --baseline REV also build git revision REV of kovweb (Release, in build-bench/) and measure
                 it beside ours on the first four loads, to show the fast path lost nothing
EOF
}

while [[ $# -gt 0 ]]; do
    case "$1" in
        --rounds) ROUNDS="${2:?--rounds needs a number}"; shift 2 ;;
        --duration) DURATION="${2:?--duration needs seconds}"; shift 2 ;;
        --quick) QUICK=1; DURATION=1; AB_REQUESTS=2000; STRACE_REQUESTS=2000; BROWSER_LOADS=1; shift ;;
        --no-install) INSTALL=0; shift ;;
        --win32) WIN32=yes; shift ;;
        --no-win32) WIN32=no; shift ;;
        --lock-wait) LOCK_WAIT="${2:?--lock-wait needs seconds}"; shift 2 ;;
        --baseline) BASELINE_REV="${2:?--baseline needs a git revision}"; shift 2 ;;
        -h | --help) usage; exit 0 ;;
        *) echo "run.sh: unknown option '$1'" >&2; usage >&2; exit 2 ;;
    esac
done
[[ -n "$ROUNDS" ]] || ROUNDS=$((QUICK ? 2 : 3))
[[ "$ROUNDS" =~ ^[1-9][0-9]*$ ]] || { echo "run.sh: --rounds must be a positive number" >&2; exit 2; }
[[ "$DURATION" =~ ^[1-9][0-9]*$ ]] || { echo "run.sh: --duration must be whole seconds" >&2; exit 2; }
[[ "$LOCK_WAIT" =~ ^[0-9]+$ ]] || { echo "run.sh: --lock-wait must be whole seconds" >&2; exit 2; }
# The browser's median is taken over at least 5 loads of every round together.
[[ -n "$BROWSER_LOADS" ]] || BROWSER_LOADS=$(((5 + ROUNDS - 1) / ROUNDS))
H2LOAD_REQUESTS=$((H2LOAD_REQUESTS_PER_SECOND * DURATION))
if [[ -n "$BASELINE_REV" ]]; then
    BASELINE_COMMIT="$(git -C "$REPO" rev-parse --verify --quiet "$BASELINE_REV^{commit}")" ||
        { echo "run.sh: --baseline: '$BASELINE_REV' is no revision of this repository" >&2; exit 2; }
    BASELINE_NAME="$(git -C "$REPO" rev-parse --short "$BASELINE_COMMIT")"
fi

say() { echo "== $*"; }
die() { echo "run.sh: $*" >&2; exit 1; }

# --- cleanup: every process this script starts is recorded here --------------------------
WORK="$(mktemp -d "${TMPDIR:-/tmp}/kov-bench.XXXXXX")"
# shellcheck source=bench/processes.sh
source "$(dirname "${BASH_SOURCE[0]}")/processes.sh"

cleanup() {
    local status=$?
    trap - EXIT INT TERM
    stop_all_recorded
    rm -rf "$WORK"
    [[ $status -ne 0 ]] && echo "run.sh: stopped (status $status) after $(($(date +%s) - STARTED)) s" >&2
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Waits for one recorded process to end by itself, appends its status to its log, forgets it.
wait_recorded() {
    local pid kept=() status=0
    wait "$1" 2>/dev/null || status=$?
    for pid in "${STARTED_PIDS[@]}"; do
        [[ $pid == "$1" ]] || kept+=("$pid")
    done
    STARTED_PIDS=("${kept[@]}")
    return "$status"
}

# Stops one recorded process, waits for it and forgets it.
stop_recorded() {
    local pid kept=()
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
    for pid in "${STARTED_PIDS[@]}"; do
        [[ $pid == "$1" ]] || kept+=("$pid")
    done
    STARTED_PIDS=("${kept[@]}")
}

# --- tools and build -----------------------------------------------------------------------
install_tools() {
    local missing=() tool
    for tool in wrk ab nginx lighttpd h2o h2load strace curl chromium node npm; do
        command -v "$tool" >/dev/null 2>&1 || PATH="$PATH:/usr/sbin" command -v "$tool" >/dev/null 2>&1 ||
            missing+=("$tool")
    done
    [[ ${#missing[@]} -eq 0 ]] && return
    [[ $INSTALL -eq 1 ]] || die "missing: ${missing[*]} (run without --no-install)"
    say "Installing ${PACKAGES[*]}"
    local sudo=""
    [[ $(id -u) -ne 0 ]] && sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${PACKAGES[@]}" >/dev/null
    # The packaged services are not wanted running: they would hold ports and CPU.
    $sudo systemctl disable --now nginx lighttpd h2o >/dev/null 2>&1 || true
}

# puppeteer-core drives the browser; it lives in build-bench/browser, never in the repository.
PUPPETEER_MODULES="$BUILD/browser/node_modules"
install_puppeteer() {
    [[ -f "$PUPPETEER_MODULES/puppeteer-core/package.json" ]] && return
    [[ $INSTALL -eq 1 ]] || die "missing: $PUPPETEER in build-bench/browser (run without --no-install)"
    say "Installing $PUPPETEER into build-bench/browser/"
    mkdir -p "$BUILD/browser"
    npm install --prefix "$BUILD/browser" --no-save --no-audit --no-fund --loglevel=error "$PUPPETEER" >/dev/null
}

# Crowds of connections need descriptors: the soft limit is raised towards the hard one, for the
# peers and the load client that this shell starts.
raise_file_limit() {
    local want=8192 hard
    hard=$(ulimit -Hn)
    [[ $hard != unlimited && $hard -lt $want ]] && want=$hard
    [[ $(ulimit -Sn) != unlimited && $(ulimit -Sn) -lt $want ]] && ulimit -Sn "$want"
    return 0
}

build_ours() {
    say "Building kovweb (Release) in build-bench/"
    cmake -S "$REPO" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKOV_BUILD_TESTS=OFF >/dev/null
    nice cmake --build "$BUILD" -j2 >/dev/null
    g++ -O2 -std=c++17 -Wall -Wextra -Werror -o "$BUILD/loadclient" "$BENCH/loadclient.cpp"
}

# Builds kovweb of the baseline commit (Release) from its files alone, in
# build-bench/baseline-src and build-bench/baseline-build; sets BASELINE_BIN.
build_baseline() {
    local commit="$BASELINE_COMMIT" src="$BUILD/baseline-src" build="$BUILD/baseline-build"
    say "Building the baseline $BASELINE_NAME (Release) in build-bench/baseline-build/"
    if [[ "$(cat "$src/.kov-baseline" 2>/dev/null)" != "$commit" ]]; then
        rm -rf "$src" "$build"
        mkdir -p "$src"
        git -C "$REPO" archive --format=tar "$commit" | tar -x -C "$src"
        echo "$commit" >"$src/.kov-baseline"
    fi
    cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKOV_BUILD_TESTS=OFF >/dev/null
    nice cmake --build "$build" -j2 >/dev/null
    BASELINE_BIN="$build/kovweb"
    [[ -x "$BASELINE_BIN" ]] || die "the baseline build made no $BASELINE_BIN"
    # A revision from before the request log has no --quiet, and nothing to leave out.
    BASELINE_QUIET=()
    if "$BASELINE_BIN" --help 2>&1 | grep -q -- --quiet; then BASELINE_QUIET=(--quiet); fi
}

# --- the document root ---------------------------------------------------------------------
# Path, size in bytes; index.html is served for "/".
FILES=("1k.txt 1024" "64k.bin 65536" "16m.bin 16777216" "empty.txt 0")
SMALL=/1k.txt
BIG=/16m.bin
# A folder without index.html, of 10,000 small files of varied sizes, answered with a listing.
LISTING=/listing/
LISTING_LAST="entry-09999-some-name.txt"

make_docroot() {
    local docroot="$WORK/www" entry name size
    mkdir -p "$docroot"
    for entry in "${FILES[@]}"; do
        read -r name size <<<"$entry"
        head -c "$size" /dev/urandom >"$docroot/$name"
    done
    printf '<!doctype html>\n<title>bench</title>\n<p>KOV bench index page.</p>\n' >"$docroot/index.html"
    python3 "$BENCH/makepage.py" "$docroot/page"
    mkdir -p "$docroot$LISTING"
    python3 -c '
import os, sys
words = ("some-name", "holiday-photo-2026", "notes")
for i in range(10000):
    with open(os.path.join(sys.argv[1], f"entry-{i:05d}-{words[i % 3]}.txt"), "wb") as f:
        f.write(b"x" * (i * 7919 % 5000))
' "$docroot$LISTING"
    DOCROOT="$docroot"
}

# --- servers -------------------------------------------------------------------------------
free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

write_nginx_conf() {
    local dir="$WORK/nginx" port="$1"
    mkdir -p "$dir/tmp"
    cat >"$dir/nginx.conf" <<EOF
# One process serves everything (as one worker would); it stays in the foreground.
daemon off;
master_process off;
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
worker_rlimit_nofile 8192;
events { worker_connections 4096; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    tcp_nodelay on;
    keepalive_timeout 60s;
    keepalive_requests 10000000;
    client_body_temp_path $dir/tmp/body;
    proxy_temp_path $dir/tmp/proxy;
    fastcgi_temp_path $dir/tmp/fastcgi;
    uwsgi_temp_path $dir/tmp/uwsgi;
    scgi_temp_path $dir/tmp/scgi;
    types { text/html html; text/plain txt; text/css css; text/javascript js; image/png png; }
    default_type application/octet-stream;
    server {
        listen 127.0.0.1:$port;
        root $DOCROOT;
        index index.html;
        location $LISTING { autoindex on; }
    }
}
EOF
}

write_lighttpd_conf() {
    local dir="$WORK/lighttpd" port="$1"
    mkdir -p "$dir"
    cat >"$dir/lighttpd.conf" <<EOF
server.modules = ("mod_dirlisting")
server.document-root = "$DOCROOT"
server.bind = "127.0.0.1"
server.port = $port
server.pid-file = "$dir/lighttpd.pid"
server.errorlog = "$dir/error.log"
server.max-keep-alive-requests = 65535
server.max-keep-alive-idle = 60
server.max-fds = 8192
server.max-connections = 4096
index-file.names = ("index.html")
mimetype.assign = (".html" => "text/html", ".txt" => "text/plain", ".css" => "text/css",
                   ".js" => "text/javascript", ".png" => "image/png")
\$HTTP["url"] =^ "$LISTING" { dir-listing.activate = "enable" }
EOF
}

# h2o serves files with a thread per core, as it runs by default; run as root it would
# otherwise take the identity of "nobody", which cannot read this run's private folder.
write_h2o_conf() {
    local dir="$WORK/h2o" port="$1" user=""
    mkdir -p "$dir"
    [[ $(id -u) -eq 0 ]] && user="user: $(id -un)"
    cat >"$dir/h2o.conf" <<EOF
$user
pid-file: $dir/h2o.pid
error-log: $dir/error.log
num-threads: $(nproc)
max-connections: 4096
http1-request-timeout: 60
listen:
  host: 127.0.0.1
  port: $port
hosts:
  default:
    paths:
      /:
        file.dir: $DOCROOT
        file.index: [index.html]
      ${LISTING%/}:
        file.dir: $DOCROOT$LISTING
        file.dirlisting: ON
EOF
}

declare -A PORT PID IDLE_RSS
# The request log's cost is measured on two more kovweb processes, started alike and given that
# load only, so that neither carries what the other loads left: "logged" writes its log to
# standard output, this file, and "quiet" runs --quiet (its standard output a file too).
LOGGED_FILE="$WORK/logged.log"

# Starts one server on its port and waits until it answers.
start_server() {
    local name="$1" port
    port="$(free_port)"
    PORT[$name]=$port
    case "$name" in
        ours) start_recorded "$WORK/ours.log" "$BUILD/kovweb" --quiet --port "$port" "$DOCROOT" ;;
        logged) start_recorded "$LOGGED_FILE" "$BUILD/kovweb" --port "$port" "$DOCROOT" ;;
        quiet) start_recorded "$WORK/quiet.log" "$BUILD/kovweb" --quiet --port "$port" "$DOCROOT" ;;
        baseline) start_recorded "$WORK/baseline.log" "$BASELINE_BIN" "${BASELINE_QUIET[@]}" --port "$port" "$DOCROOT" ;;
        nginx)
            write_nginx_conf "$port"
            start_recorded "$WORK/nginx.log" nginx -p "$WORK/nginx" -c "$WORK/nginx/nginx.conf" -e "$WORK/nginx/error.log"
            ;;
        lighttpd)
            write_lighttpd_conf "$port"
            start_recorded "$WORK/lighttpd.log" lighttpd -D -f "$WORK/lighttpd/lighttpd.conf"
            ;;
        h2o)
            write_h2o_conf "$port"
            start_recorded "$WORK/h2o.log" h2o -c "$WORK/h2o/h2o.conf"
            ;;
    esac
    PID[$name]=$LAST_PID
    wait_answering "$name" "http://127.0.0.1:$port/" "$LAST_PID"
    IDLE_RSS[$name]="$(rss_kib "$LAST_PID")"
}

# Waits up to SECONDS (10 by default) for a server to answer "/", failing when its process
# has ended.
wait_answering() {
    local name="$1" url="$2" pid="$3" seconds="${4:-10}" _
    for _ in $(seq $((seconds * 10))); do
        curl -s -o /dev/null --max-time 1 "$url" && return 0
        kill -0 "$pid" 2>/dev/null || { cat "$WORK/$name.log" >&2 || true; die "$name ended at start"; }
        sleep 0.1
    done
    die "$name does not answer on $url"
}

# Prints a process's resident set in KiB.
rss_kib() {
    local key value _
    while read -r key value _; do
        [[ $key == VmRSS: ]] && { echo "$value"; return; }
    done <"/proc/$1/status"
    echo 0
}

# Checks status and size of every URL on one server (and a HEAD and a 404), so that no
# load measures a server that answers wrongly.
check_server() {
    local name="$1" base="http://127.0.0.1:${PORT[$1]}" entry path size got page=()
    for path in page/index.html page/style.css page/main.js page/util.js page/img/00.png; do
        page+=("$path $(stat -c %s "$DOCROOT/$path")")
    done
    for entry in "${FILES[@]}" "index.html $(stat -c %s "$DOCROOT/index.html")" "${page[@]}"; do
        read -r path size <<<"$entry"
        got="$(curl -s -o /dev/null --max-time 10 -w '%{http_code} %{size_download}' "$base/$path")" || true
        [[ "$got" == "200 $size" ]] || die "$name: GET /$path gave '$got', wanted '200 $size'"
    done
    got="$(curl -s -o /dev/null --max-time 10 -w '%{http_code} %{size_download}' "$base/")" || true
    [[ "$got" == "200 $(stat -c %s "$DOCROOT/index.html")" ]] || die "$name: GET / gave '$got'"
    got="$(curl -s -I -o /dev/null --max-time 10 -w '%{http_code}' "$base$SMALL")" || true
    [[ "$got" == 200 ]] || die "$name: HEAD $SMALL gave '$got'"
    got="$(curl -s -o /dev/null --max-time 10 -w '%{http_code}' "$base/missing.txt")" || true
    [[ "$got" == 404 ]] || die "$name: GET /missing.txt gave '$got', wanted 404"
    # The baseline may predate listings; it runs only the first loads anyway.
    [[ "$name" == baseline ]] && return 0
    got="$(curl -s -o "$WORK/listing-$name.html" --max-time 10 -w '%{http_code}' "$base$LISTING")" || true
    [[ "$got" == 200 ]] || die "$name: GET $LISTING gave '$got', wanted 200 and a listing"
    grep -qF "$LISTING_LAST" "$WORK/listing-$name.html" || die "$name: the listing of $LISTING does not name $LISTING_LAST"
}

# --- loads ---------------------------------------------------------------------------------
LOADS=(ka_small c1_latency ab_close big head sixth many50 many256 h2load50 h2load256 ka_log listing browser)
# The loads the baseline revision takes part in: the fast path that must lose nothing.
BASELINE_LOADS=" ka_small c1_latency ab_close big "
RAW="$BUILD/bench-raw"

# Runs one load against one server, its output into RAW/round-load-server.txt; a load that
# fails or hangs leaves its output and status there, and the report flags it.
run_load() {
    local round="$1" load="$2" name="$3" url="http://127.0.0.1:${PORT[$3]}"
    local out="$RAW/$round-$load-$name.txt" limit=$((DURATION + 30)) status=0
    local sampler="" logged_from=""
    [[ $name == baseline && $BASELINE_LOADS != *" $load "* ]] && return
    [[ $name == logged ]] && logged_from=$(stat -c %s "$LOGGED_FILE")
    if [[ $load == big ]]; then
        sample_rss "${PID[$name]}" "$RAW/$round-rss-$name.txt"
        sampler=$LAST_PID
    fi
    case "$load" in
        ka_small) timeout "$limit" wrk -t1 -c5 -d"${DURATION}s" --timeout 5s "$url$SMALL" ;;
        c1_latency) timeout "$limit" wrk -t1 -c1 -d"${DURATION}s" --timeout 5s --latency "$url$SMALL" ;;
        ab_close) timeout 120 ab -q -c5 -n "$AB_REQUESTS" -s 10 "$url$SMALL" ;;
        big) timeout "$limit" wrk -t1 -c5 -d"${DURATION}s" --timeout 10s "$url$BIG" ;;
        ka_log) timeout "$limit" wrk -t1 -c5 -d"${DURATION}s" --timeout 5s "$url$SMALL" ;;
        # A peer that answers 503 while it builds the page has those answers counted apart.
        listing) timeout "$limit" wrk -t1 -c5 -d"${DURATION}s" --timeout 10s "$url$LISTING" ;;
        # wrk would wait for the body a HEAD answer announces, so our own client drives it.
        head) timeout "$limit" "$BUILD/loadclient" -m HEAD -c 5 -d "$DURATION" -t 5 "$url$SMALL" ;;
        sixth) sixth_client "$url" "$RAW/$round-sixthload-$name.txt" ;;
        # Measured once every connection has been made and answered (at most 20 s): a burst
        # of connects beyond a server's listen backlog waits out the client's handshake
        # retries, which is not what these loads are about.
        many50) timeout $((limit + 20)) "$BUILD/loadclient" -c 50 -w 20 -d "$DURATION" -t 5 "$url$SMALL" ;;
        many256) timeout $((limit + 20)) "$BUILD/loadclient" -c 256 -w 20 -d "$DURATION" -t 5 "$url$SMALL" ;;
        # Timed from the first connect: every client connects at once, so a backlog that
        # drops handshakes shows as slow connects and a low rate. A crowd that has not
        # finished after 60 s is stopped and reported as timed out.
        h2load50) timeout -k 5 60 h2load --h1 -c50 -n "$H2LOAD_REQUESTS" "$url$SMALL" ;;
        h2load256) timeout -k 5 60 h2load --h1 -c256 -n "$H2LOAD_REQUESTS" "$url$SMALL" ;;
    esac >"$out" 2>&1 || status=$?
    [[ -n "$sampler" ]] && stop_recorded "$sampler"
    echo "exit status: $status" >>"$out"
    [[ -n "$logged_from" ]] && count_log_lines "$logged_from" "$url" >>"$out"
    kill -0 "${PID[$name]}" 2>/dev/null || die "$name ended during $load (round $round)"
}

# Prints "request log: N lines, D dropped": the 1 KiB requests' lines that the logged server
# wrote to its file from byte offset FROM on, and the lines it told as dropped. One more request
# after the load pushes out a count of lines dropped at its end, which is told only before a line.
count_log_lines() {
    local from="$1" url="$2"
    sleep 0.6 # a line is out within half a second of its answer
    curl -s -o /dev/null --max-time 5 "$url/index.html" || true
    sleep 0.6
    tail -c +$((from + 1)) "$LOGGED_FILE" | awk -v request="\"GET $SMALL HTTP/1.1\"" '
        index($0, request) { lines++ }
        /^\([0-9]+ request lines dropped/ { dropped += substr($1, 2) }
        END { printf "request log: %d lines, %d dropped\n", lines, dropped }'
}

# Loads the page of 60 images in one headless browser from each server in the order given, into
# RAW/round-browser-server.txt; the browser's own lines go to RAW/round-browser.log.
run_browser() {
    local round="$1" name targets=() status=0
    shift
    for name in "$@"; do
        # An empty file stays when the browser never got to this server; the report flags it.
        : >"$RAW/$round-browser-$name.txt"
        targets+=("http://127.0.0.1:${PORT[$name]}/page/" "$RAW/$round-browser-$name.txt")
    done
    # Each load (the warm-up too) has 30 s; the rest is the browser's start and end.
    TMPDIR="$WORK" NODE_PATH="$PUPPETEER_MODULES" timeout -k 5 $((($# * BROWSER_LOADS + 1) * 35 + 30)) \
        node "$BENCH/pageload.js" --loads "$BROWSER_LOADS" --timeout 30 --expect 64 "${targets[@]}" \
        >"$RAW/$round-browser.log" 2>&1 || status=$?
    # The driver stops its browser, unless it was killed: then the browser is found by its
    # profile, which lies in this run's own folder.
    local pid
    for pid in $(pgrep -f -- "--user-data-dir=$WORK/" || true); do
        kill -KILL "$pid" 2>/dev/null || true
    done
    for name in "$@"; do
        echo "exit status: $status" >>"$RAW/$round-browser-$name.txt"
        kill -0 "${PID[$name]}" 2>/dev/null || die "$name ended during browser (round $round)"
    done
}

# While wrk keeps five connections busy on the small file, a sixth client makes one-shot
# requests one after another, 10 ms apart, for the load's duration, each bounded by 5 s; prints
# the one-shot client's figures, and leaves wrk's output in the file named second.
sixth_client() {
    local url="$1" busy_out="$2" busy status=0
    start_recorded "$busy_out" timeout $((DURATION + 30)) wrk -t1 -c5 -d"$((DURATION + 1))s" --timeout 5s "$url$SMALL"
    busy=$LAST_PID
    sleep 0.5 # wrk's five connections are open and busy
    timeout $((DURATION + 30)) "$BUILD/loadclient" -o -p 10 -d "$DURATION" -t 5 "$url$SMALL" || status=$?
    local busy_status=0
    wait_recorded "$busy" || busy_status=$?
    echo "exit status: $busy_status" >>"$busy_out"
    return "$status"
}

# Samples a process's VmRSS (KiB) every 50 ms into a file until stopped.
sample_rss() {
    local pid="$1" file="$2"
    (
        while kill -0 "$pid" 2>/dev/null; do
            rss_kib "$pid"
            sleep 0.05
        done
    ) >"$file" 2>/dev/null &
    LAST_PID=$!
    STARTED_PIDS+=("$LAST_PID")
}

# Round r starts with server r mod n so no server always runs first (or right after another);
# the baseline, when there is one, takes its turn among them.
run_rounds() {
    local round load i name rotation=("${SERVERS[@]}")
    [[ -n "$BASELINE_REV" ]] && rotation=(ours baseline nginx lighttpd h2o)
    for ((round = 1; round <= ROUNDS; round++)); do
        local order=()
        for ((i = 0; i < ${#rotation[@]}; i++)); do
            order+=("${rotation[$(((round - 1 + i) % ${#rotation[@]}))]}")
        done
        say "Round $round/$ROUNDS: ${order[*]}"
        local browsing=()
        for name in "${order[@]}"; do
            [[ $name == baseline ]] || browsing+=("$name")
        done
        for load in "${LOADS[@]}"; do
            if [[ $load == browser ]]; then
                # One browser per round goes through the servers in the round's order.
                run_browser "$round" "${browsing[@]}"
            elif [[ $load == ka_log ]]; then
                # Ours with the log against ours with --quiet, each first in every other round.
                local pair=(logged quiet)
                ((round % 2 == 0)) && pair=(quiet logged)
                for name in "${pair[@]}"; do
                    run_load "$round" "$load" "$name"
                done
            else
                for name in "${order[@]}"; do
                    run_load "$round" "$load" "$name"
                done
            fi
            printf '   %-10s %s\n' "$load" "$(python3 "$BENCH/report.py" --brief "$RAW" "$round" "$load")"
        done
    done
}

# Counts the system calls one server makes (all its threads) over a fixed number of
# keep-alive requests for the small file on CONNECTIONS connections.
count_syscalls() {
    local name="$1" connections="$2" pid="${PID[$1]}" out="$RAW/strace-c$2-$1.txt" _
    start_recorded "$WORK/strace-$name.log" strace -c -f -o "$out" -p "$pid"
    local tracer=$LAST_PID
    for _ in $(seq 50); do
        grep -q '^TracerPid:[[:space:]]*[1-9]' "/proc/$pid/status" && break
        sleep 0.1
    done
    sleep 0.3 # strace attaches the other threads after the first
    timeout 120 "$BUILD/loadclient" -c "$connections" -n "$STRACE_REQUESTS" -t 5 \
        "http://127.0.0.1:${PORT[$name]}$SMALL" >"$RAW/strace-c$connections-$name-client.txt" 2>&1 || true
    kill -INT "$tracer" 2>/dev/null || true
    wait "$tracer" 2>/dev/null || true
}

# Sums the user and system CPU ticks and the thread switches of every thread of pid.
cpu_and_switches() {
    local pid="$1" ticks switches=0 task
    ticks=$(awk '{print $14 + $15}' "/proc/$pid/stat")
    for task in /proc/"$pid"/task/*; do
        switches=$((switches + $(awk '/ctxt_switches/ {n += $2} END {print n + 0}' "$task/status" 2>/dev/null || echo 0)))
    done
    echo "$ticks $switches"
}

# Measures what one server spends per request under a keep-alive load on CONNECTIONS
# connections: its CPU time and how often its threads were switched out and in.
measure_cost() {
    local name="$1" connections="$2" pid="${PID[$1]}" before after
    before=$(cpu_and_switches "$pid")
    timeout $((DURATION + 30)) wrk -t1 -c"$connections" -d"${DURATION}s" --timeout 5s \
        "http://127.0.0.1:${PORT[$name]}$SMALL" >"$RAW/cost-c$connections-$name-wrk.txt" 2>&1 || true
    after=$(cpu_and_switches "$pid")
    echo "$before $after $(getconf CLK_TCK)" >"$RAW/cost-c$connections-$name.txt"
}

# --- Win32 build under Wine, against its floor ---------------------------------------------
WIN32_EXE="$REPO/build-win32/kovweb.exe"

# Measures kovweb.exe and the minimal Win32 server under Wine (bench/win32.sh, which holds the
# lock that the Win32 tests hold for port 80); its raw outputs go to RAW/win32.
run_win32() {
    bash "$BENCH/win32.sh" --raw "$RAW/win32" --docroot "$DOCROOT" --rounds "$ROUNDS" \
        --duration "$DURATION" --lock-wait "$LOCK_WAIT" &
    local pid=$!
    STARTED_PIDS+=("$pid")
    wait "$pid" || echo "the Win32 part failed; see the report"
    stop_recorded "$pid"
}

# --- main ----------------------------------------------------------------------------------
install_tools
install_puppeteer
raise_file_limit
build_ours
[[ -n "$BASELINE_REV" ]] && build_baseline
make_docroot
rm -rf "$RAW"
mkdir -p "$RAW"
STARTING=("${SERVERS[@]}" logged quiet)
[[ -n "$BASELINE_REV" ]] && STARTING+=(baseline)
for name in "${STARTING[@]}"; do
    start_server "$name"
    check_server "$name"
    echo "${IDLE_RSS[$name]}" >"$RAW/idle-rss-$name.txt"
    say "$name answers on port ${PORT[$name]} (pid ${PID[$name]}, idle RSS ${IDLE_RSS[$name]} KiB)"
done

run_rounds

for connections in "${COST_CONNECTIONS[@]}"; do
    say "System calls over $STRACE_REQUESTS keep-alive requests on $connections connections"
    for name in "${SERVERS[@]}"; do
        count_syscalls "$name" "$connections"
    done
    say "CPU time and thread switches per request (keep-alive, $connections connections)"
    for name in "${SERVERS[@]}"; do
        measure_cost "$name" "$connections"
    done
done

if [[ $WIN32 == yes || ($WIN32 == auto && -x "$WIN32_EXE") ]]; then
    if [[ -x "$WIN32_EXE" ]]; then
        say "Win32 build under Wine, against its floor"
        run_win32
    else
        mkdir -p "$RAW/win32"
        echo "$WIN32_EXE does not exist; build it with scripts/test-win32.sh" | tee "$RAW/win32/skipped.txt"
    fi
fi

for name in "${STARTING[@]}"; do
    stop_recorded "${PID[$name]}"
done

cat >"$RAW/meta.txt" <<EOF
date=$(date -u '+%Y-%m-%d %H:%M UTC')
kernel=$(uname -r)
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n1)
cores=$(nproc)
command=$COMMAND
rounds=$ROUNDS
duration=$DURATION
ab_requests=$AB_REQUESTS
strace_requests=$STRACE_REQUESTS
h2load_requests=$H2LOAD_REQUESTS
browser_loads=$BROWSER_LOADS
baseline=${BASELINE_NAME:-}
versions=$(nginx -v 2>&1 | sed 's/^nginx version: //'), $(lighttpd -v 2>&1 | sed 's/ .*//'), h2o/$(h2o --version | sed -n 's/^h2o version //p'), $(h2load --version | awk '{print $2}'), $(wrk -v 2>&1 | head -n1 | awk '{print "wrk " $2}'), ab $(ab -V | sed -n 's/.*Version \([0-9.]*\).*/\1/p'), $(chromium --version 2>/dev/null | awk '{print $1 " " $2}'), puppeteer-core $(sed -n 's/^  "version": "\(.*\)",/\1/p' "$PUPPETEER_MODULES/puppeteer-core/package.json")
elapsed=$(($(date +%s) - STARTED))
EOF
mkdir -p "$BENCH/results"
python3 "$BENCH/report.py" "$RAW" | tee "$BENCH/results/latest.md"
say "Done in $(($(date +%s) - STARTED)) s; raw outputs in build-bench/bench-raw/"
