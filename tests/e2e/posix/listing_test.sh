#!/usr/bin/env bash
# Shares a prepared folder (no index.html, odd names, a hidden file, nested folders) with
# kovweb and mirrors it with the clients people walk listings with: wget -r -np and rclone's
# HTTP backend must both bring back every visible file byte for byte, and nothing hidden.
# With Chromium present it also takes the listing's screenshots, on a desktop and on a phone.
# Usage: listing_test.sh KOVWEB ARTIFACTS_DIR   (exit 77 when wget is missing)
set -euo pipefail

kovweb=$1
artifacts=$2
command -v wget >/dev/null 2>&1 || { echo "SKIP: no wget on PATH"; exit 77; }

# shellcheck source=start_kovweb.sh
source "$(dirname "${BASH_SOURCE[0]}")/start_kovweb.sh"
fail() { echo "FAIL: $*"; exit 1; }

share=$work/share
mkdir -p "$share/Music/Album 1" "$share/Videos" "$share/docs/.git" "$share/empty"
head -c 1572864 /dev/urandom >"$share/Music/Album 1/01 intro.flac"
head -c 4000 /dev/urandom >"$share/Music/Album 1/02 café.mp3"
head -c 300000 /dev/urandom >"$share/Videos/clip.mp4"
printf 'WEBVTT\n' >"$share/Videos/clip.vtt"
printf 'café 日本語\n' >"$share/docs/notes.txt"
printf '<b>not markup</b>\n' >"$share/docs/<b>bold.txt"
printf 'odd\n' >"$share/docs/a b#?%%&+'\".txt"
printf 'hidden\n' >"$share/docs/.secret"
printf 'hidden\n' >"$share/docs/.git/config"
head -c 2621440 /dev/urandom >"$share/Music/Concert (live).opus"
head -c 52000 /dev/urandom >"$share/Music/cover.avif"
for i in 1 2 10; do printf 'track %s\n' "$i" >"$share/Music/track$i.txt"; done

start_kovweb "$work/server.log" "$share" || { cat "$work/server.log"; fail "kovweb did not start listening"; }
base="http://127.0.0.1:$port"

# What a mirror must hold: every file whose path has no hidden part, byte for byte.
(cd "$share" && find . -type f -not -path '*/.*' | sort) >"$work/visible.txt"
compare_mirror() {
  local mirror=$1 client=$2
  (cd "$mirror" && find . -type f -not -name 'index.html*' | sort) >"$work/got-$client.txt"
  diff "$work/visible.txt" "$work/got-$client.txt" || fail "$client mirrored other files"
  while IFS= read -r path; do
    cmp "$share/$path" "$mirror/$path" || fail "$client brought back $path changed"
  done <"$work/visible.txt"
  echo "ok: $client mirrored $(wc -l <"$work/visible.txt") files byte for byte"
}

timeout 120 wget -q -r -np -nH -e robots=off --restrict-file-names=nocontrol -P "$work/wget" "$base/" ||
  fail "wget -r exited with $?"
compare_mirror "$work/wget" wget

if command -v rclone >/dev/null 2>&1; then
  timeout 120 rclone copy --config /dev/null --http-url "$base/" :http: "$work/rclone" ||
    fail "rclone copy exited with $?"
  compare_mirror "$work/rclone" rclone
else
  echo "note: no rclone on PATH; its mirror was not tried"
fi

browser=""
for candidate in chromium chromium-browser; do
  command -v "$candidate" >/dev/null 2>&1 && { browser=$(command -v "$candidate"); break; }
done
if [[ -n $browser ]]; then
  mkdir -p "$artifacts"
  for shot in "desktop 1100,700" "phone 390,760"; do
    read -r name size <<<"$shot"
    timeout --kill-after=10 120 "$browser" --headless --no-sandbox --disable-gpu --hide-scrollbars \
      --no-first-run --disable-background-networking --disable-component-update --disable-sync \
      --disable-dev-shm-usage --user-data-dir="$work/profile-$name" --window-size="$size" \
      --screenshot="$artifacts/listing-$name.png" "$base/Music/" >/dev/null 2>&1 ||
      fail "chromium could not take the $name screenshot"
    [[ -s $artifacts/listing-$name.png ]] || fail "no $name screenshot"
  done
  echo "ok: screenshots in $artifacts"
fi

kill -TERM "$server_pid"
wait "$server_pid" || fail "kovweb exited with $? after SIGTERM"
server_pid=""
echo "PASS: the shared folder mirrors whole with every client tried"
