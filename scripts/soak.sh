#!/usr/bin/env bash
# Soak run: kovweb (Release) under a mixed load for MINUTES (default 10), with its resident
# memory and open descriptors sampled into a CSV, then a summary and a verdict on whether
# both stayed flat. Not part of CI: it takes as long as it is asked to.
#
#   bash scripts/soak.sh [MINUTES]
#
# The load: wrk on two keep-alive connections (a small file), one-shot GET, HEAD and 404
# requests, large downloads, heads trickled until the server cuts them, and clients that
# vanish mid-response (reset, close, half-close). Results go to build-soak/soak-*/.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

minutes=${1:-10}
if ! [[ $minutes =~ ^[0-9]+$ ]] || ((minutes < 1)); then
  echo "usage: $0 [MINUTES]" >&2
  exit 2
fi
seconds=$((minutes * 60))
sample_every=5
# Memory and descriptors are compared with their level after this warm-up, when the
# allocator's arenas for all threads and the page cache mappings have settled.
warmup=30
# RSS may wander within this much above its post-warm-up level without counting as growth:
# glibc keeps freed memory of its per-thread arenas, and that varies with which worker
# served which file. A leak of one allocation per request would pass it within minutes.
rss_margin_kb=4096

packages=(wrk python3 procps)
missing=()
for package in "${packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if ((${#missing[@]})); then
  sudo=()
  [[ $(id -u) -ne 0 ]] && sudo=(sudo)
  "${sudo[@]}" apt-get update
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
    "${missing[@]}"
fi

build=build-soak
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKOV_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target kovweb

out="$build/soak-$(date -u +%Y%m%dT%H%M%SZ)"
root="$out/root"
mkdir -p "$root"
small_size=1024
large_size=$((8 * 1024 * 1024))
head -c "$small_size" /dev/urandom >"$root/small.txt"
head -c "$large_size" /dev/urandom >"$root/large.bin"
printf '<html><body>soak</body></html>\n' >"$root/index.html"

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
"$build/kovweb" --port "$port" "$root" >"$out/kovweb.log" 2>&1 &
pid=$!
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  kill "$pid" 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 100); do
  grep -q 'Listening\.\.\.' "$out/kovweb.log" && break
  sleep 0.1
done
grep -q 'Listening\.\.\.' "$out/kovweb.log" || { echo "kovweb did not start" >&2; exit 1; }

# One line per sample: seconds since start, RSS in kB, open descriptors.
sample() {
  local rss fds
  rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status")
  fds=$(find "/proc/$pid/fd" -mindepth 1 -maxdepth 1 | wc -l)
  echo "$1,$rss,$fds"
}
# The document root's handle is opened by the first request and kept from then on, so the
# idle level is taken after one.
exec {first}<>"/dev/tcp/127.0.0.1/$port"
printf 'GET /small.txt HTTP/1.0\r\n\r\n' >&"$first"
cat <&"$first" >/dev/null
exec {first}<&-
echo "seconds,rss_kb,fds" >"$out/samples.csv"
sample 0 >>"$out/samples.csv"

echo "soak: kovweb pid $pid on port $port for $minutes min; samples in $out/samples.csv"
wrk -t1 -c2 -d"${seconds}s" --timeout 30s "http://127.0.0.1:$port/small.txt" >"$out/wrk.txt" 2>&1 &
pids+=($!)
python3 scripts/soak_clients.py "$port" "$seconds" "$large_size" "$small_size" >"$out/clients.txt" &
pids+=($!)

started=$SECONDS
while ((SECONDS - started < seconds)); do
  sleep "$sample_every"
  kill -0 "$pid" 2>/dev/null || { echo "kovweb ended during the soak" >&2; exit 1; }
  sample $((SECONDS - started)) >>"$out/samples.csv"
done
wait "${pids[@]}"
pids=()
# The last sample is taken when every client has gone: descriptors must be back to idle.
# A connection the server is still ending (a linger of up to 2 s, a stalled send of up to
# 10 s) holds its descriptors until then, so the count gets that long to come back.
first_fd=$(sed -n '2p' "$out/samples.csv" | cut -d, -f3)
for _ in $(seq 15); do
  sleep 1
  [[ $(find "/proc/$pid/fd" -mindepth 1 -maxdepth 1 | wc -l) -le $first_fd ]] && break
done
echo "soak: descriptors looked at for $((SECONDS - started - seconds)) s after the load"
sample $((SECONDS - started)) >>"$out/samples.csv"

kill -TERM "$pid"
status=0
wait "$pid" || status=$?

wrk_requests=$(awk '/requests in/ {print $1}' "$out/wrk.txt")
wrk_errors=$(awk '/Socket errors|Non-2xx/ {print}' "$out/wrk.txt")
client_ok=$(awk '{s += $2} END {print s + 0}' "$out/clients.txt")
client_failed=$(awk '{s += $3} END {print s + 0}' "$out/clients.txt")

summary=$(awk -F, -v warmup="$warmup" -v margin="$rss_margin_kb" '
  NR == 1 { next }
  NR == 2 { rss0 = $2; fd0 = $3 }
  { last_rss = $2; last_fd = $3
    if (rss_min == "" || $2 < rss_min) rss_min = $2
    if ($2 > rss_max) rss_max = $2
    if ($3 > fd_max) fd_max = $3
    if ($1 >= warmup && base == "") base = $2
    if (base != "" && $2 > late_max) late_max = $2 }
  END {
    printf "RSS kB: start %d, min %d, max %d, end %d (after warm-up %d, highest later %d)\n",
           rss0, rss_min, rss_max, last_rss, base, late_max
    printf "fds: start %d, max %d, end %d\n", fd0, fd_max, last_fd
    flat = (late_max <= base + margin) && (last_fd == fd0)
    printf "verdict: %s\n", flat ? "FLAT" : "GROWING"
  }' "$out/samples.csv")

{
  echo "soak: $minutes min, kovweb exit status $status"
  echo "keep-alive (wrk, 2 connections): $wrk_requests requests${wrk_errors:+; $wrk_errors}"
  echo "other clients: $client_ok ok, $client_failed failed"
  sed 's/^/  /' "$out/clients.txt"
  echo "$summary"
} | tee "$out/summary.txt"

[[ $status -eq 0 && $client_failed -eq 0 && -z $wrk_errors ]] && grep -q 'verdict: FLAT' "$out/summary.txt"
