#!/usr/bin/env bash
# Times a folder of four 64 MiB files fetched whole as a zip, twice (the first download
# computes each file's CRC-32, the second finds them kept), against the same four files
# fetched one by one, from one kovweb; prints the median of each over the rounds: the
# seconds curl took, and the processor seconds kovweb spent (user and system), which other
# work on a shared machine disturbs less.
#
#   bash bench/zip_send.sh [--binary PATH] [--rounds N] [--port P]
#
#   --binary PATH   the kovweb to time (default build/kovweb)
#   --rounds N      repetitions of each download (default 5)
#   --port P        the loopback port it listens on (default 18480)
set -euo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BIN="$REPO/build/kovweb" ROUNDS=5 PORT=18480
while [[ $# -gt 0 ]]; do
    case "$1" in
        --binary) BIN="${2:?--binary needs a path}"; shift 2 ;;
        --rounds) ROUNDS="${2:?--rounds needs a count}"; shift 2 ;;
        --port) PORT="${2:?--port needs a number}"; shift 2 ;;
        *) echo "usage: bash bench/zip_send.sh [--binary PATH] [--rounds N] [--port P]" >&2; exit 2 ;;
    esac
done

WORK="$(mktemp -d)"
PID=""
cleanup() {
    if [[ -n "$PID" ]]; then kill "$PID" 2>/dev/null || true; wait "$PID" 2>/dev/null || true; fi
    rm -rf "$WORK"
}
trap cleanup EXIT

mkdir -p "$WORK/share/four"
for i in 1 2 3 4; do
    head -c $((64 << 20)) /dev/urandom > "$WORK/share/four/file$i.bin"
done
cat "$WORK/share/four"/*.bin > /dev/null  # in the page cache before the first round

"$BIN" -q -b 127.0.0.1 -p "$PORT" "$WORK/share" > "$WORK/log" 2>&1 &
PID=$!
for _ in $(seq 100); do
    curl -s -o /dev/null "http://127.0.0.1:$PORT/" && break
    sleep 0.05
done

# The processor seconds kovweb has spent so far.
cpu() { awk -v hz="$(getconf CLK_TCK)" '{ print ($14 + $15) / hz }' "/proc/$PID/stat"; }
# The seconds curl took to fetch the url to nowhere, then the processor seconds kovweb spent.
fetch() {
    local before
    before=$(cpu)
    curl -sS -o /dev/null -w '%{time_total} ' "$1"
    awk -v a="$(cpu)" -v b="$before" 'BEGIN { print a - b }'
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

zip_first=() zip_kept=() one_by_one=() zip_first_cpu=() zip_kept_cpu=() one_by_one_cpu=()
for round in $(seq "$ROUNDS"); do
    # A new time per round makes new keys, so that the first zip computes every CRC-32.
    touch -d "$((round + 1)) minutes ago" "$WORK/share/four"/*.bin
    sleep 1.1  # and a change a second old, so that the CRC-32s computed are kept
    read -r seconds used <<< "$(fetch "http://127.0.0.1:$PORT/four/?zip")"
    zip_first+=("$seconds") zip_first_cpu+=("$used")
    read -r seconds used <<< "$(fetch "http://127.0.0.1:$PORT/four/?zip")"
    zip_kept+=("$seconds") zip_kept_cpu+=("$used")
    total=0 total_cpu=0
    for i in 1 2 3 4; do
        read -r seconds used <<< "$(fetch "http://127.0.0.1:$PORT/four/file$i.bin")"
        total=$(awk -v a="$total" -v b="$seconds" 'BEGIN { print a + b }')
        total_cpu=$(awk -v a="$total_cpu" -v b="$used" 'BEGIN { print a + b }')
    done
    one_by_one+=("$total") one_by_one_cpu+=("$total_cpu")
done

echo "rounds: $ROUNDS, binary: $BIN"
# One line per download: the medians of its seconds and its processor seconds.
report() {
    local -n times=$2 used=$3
    echo "$1: $(printf '%s\n' "${times[@]}" | median) s, kovweb's processor" \
        "$(printf '%s\n' "${used[@]}" | median) s (${times[*]} / ${used[*]})"
}
report "zip, CRC-32s computed" zip_first zip_first_cpu
report "zip, CRC-32s kept    " zip_kept zip_kept_cpu
report "four files one by one" one_by_one one_by_one_cpu
