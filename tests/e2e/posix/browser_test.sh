#!/usr/bin/env bash
# Serves the sample site with kovweb and loads its browser check page in headless Chromium:
# the stylesheet, the classic script and the module script must each leave their mark.
# Usage: browser_test.sh KOVWEB SITE_DIR   (exit 77 when no Chromium is installed)
set -euo pipefail

kovweb=$1
site=$2

browser=""
for candidate in chromium chromium-browser; do
  if command -v "$candidate" >/dev/null 2>&1; then
    browser=$(command -v "$candidate")
    break
  fi
done
if [[ -z $browser ]]; then
  echo "SKIP: no chromium on PATH"
  exit 77
fi

# shellcheck source=start_kovweb.sh
source "$(dirname "${BASH_SOURCE[0]}")/start_kovweb.sh"

stop_server() {
  # SIGTERM first; a server that does not end within 15 s is killed and the test fails.
  local pid=$1
  kill -TERM "$pid" 2>/dev/null || return 0
  for _ in $(seq 150); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    echo "FAIL: kovweb did not stop on SIGTERM"
    return 1
  fi
  local status=0
  wait "$pid" || status=$?
  if [[ $status -ne 0 ]]; then
    echo "FAIL: kovweb exited with $status after SIGTERM"
    return 1
  fi
}

if ! start_kovweb "$work/server.log" "$site"; then
  echo "FAIL: kovweb did not start listening"
  cat "$work/server.log"
  exit 1
fi

url="http://127.0.0.1:$port/browser-test.html"
status=0
timeout --kill-after=10 120 "$browser" --headless --no-sandbox --disable-gpu --disable-quic \
  --no-first-run --disable-background-networking --disable-component-update --disable-sync \
  --disable-dev-shm-usage --user-data-dir="$work/profile" --dump-dom "$url" \
  >"$work/dom.html" 2>"$work/browser.log" || status=$?

failed=0
if [[ $status -ne 0 ]]; then
  echo "FAIL: chromium exited with $status"
  failed=1
fi
for mark in "stylesheet applied" "classic script ran" "module script ran"; do
  if grep -q "$mark" "$work/dom.html"; then
    echo "ok: $mark"
  else
    echo "FAIL: the page does not show \"$mark\""
    failed=1
  fi
done

pid=$server_pid
server_pid=""
stop_server "$pid" || failed=1

if [[ $failed -ne 0 ]]; then
  echo "--- DOM"
  cat "$work/dom.html"
  echo "--- browser log (tail)"
  tail -n 40 "$work/browser.log"
  echo "--- server log"
  cat "$work/server.log"
  exit 1
fi
echo "PASS: $url shows all three marks"
