#!/usr/bin/env bash
# Uploads to kovweb --upload as people send them: curl -T (waiting for 100 Continue) and
# curl -F, a body cut off part way, one past --max-upload, another site's form, and (with
# "full-disk") a full file system: every file that arrives is whole under its own name or a
# numbered one beside it, and nothing else is ever left in the folder, hidden or not.
# Usage: upload_test.sh KOVWEB [full-disk]   (exit 77 when a small file system cannot be
# mounted for the full-disk case)
set -euo pipefail

kovweb=$1
mode=${2:-}

# shellcheck source=start_kovweb.sh
source "$(dirname "${BASH_SOURCE[0]}")/start_kovweb.sh"
fail() { echo "FAIL: $*"; exit 1; }

share=$work/share
mkdir -p "$share/in"

# Waits, for 20 s at most, until the command succeeds.
wait_until() {
  for _ in $(seq 200); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}
temporary_files() { find "$share" -name '.kovweb-upload-*' | grep -q .; }
no_temporary_files() { ! temporary_files; }

if [[ $mode == full-disk ]]; then
  mount -t tmpfs -o size=1m tmpfs "$share" 2>/dev/null || { echo "SKIP: cannot mount a tmpfs"; exit 77; }
  # The server holds the folder open: it goes first, then the mount, then the rest.
  cleanup_mount() {
    if [[ -n $server_pid ]]; then kill -KILL "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
    server_pid=""
    umount "$share" 2>/dev/null || true
    cleanup
  }
  trap cleanup_mount EXIT
  start_kovweb "$work/server.log" --upload "$share" || { cat "$work/server.log"; fail "kovweb did not start"; }
  head -c 2097152 /dev/urandom >"$work/big.bin"
  code=$(curl -sS -o /dev/null -w '%{http_code}' -T "$work/big.bin" "http://127.0.0.1:$port/big.bin" || true)
  [[ $code == 507 ]] || fail "a PUT onto a full disk got $code, not 507"
  [[ -z $(ls -A "$share") ]] || fail "a full disk kept $(ls -A "$share")"
  echo "PASS: a full disk answers 507 and keeps nothing"
  exit 0
fi

start_kovweb "$work/server.log" --upload --max-upload 4M "$share" ||
  { cat "$work/server.log"; fail "kovweb did not start"; }
# The serving lines follow "Listening...".
wait_until grep -q "Uploads are on" "$work/server.log" || fail "the serving lines do not say uploads are on"
base="http://127.0.0.1:$port"
head -c 3000000 /dev/urandom >"$work/photo.jpg"
printf 'first\n' >"$work/notes.txt"

# curl -T, told to wait for 100 Continue whatever the size; the file comes back whole.
curl -sS -D "$work/put.head" -o /dev/null -H 'Expect: 100-continue' -T "$work/photo.jpg" "$base/in/photo.jpg"
grep -q '^HTTP/1.1 100 Continue' "$work/put.head" || fail "no 100 Continue before the body"
grep -q '^HTTP/1.1 201 Created' "$work/put.head" || fail "the PUT was not created: $(cat "$work/put.head")"
grep -qi '^location: /in/photo.jpg' "$work/put.head" || fail "the 201 names no location"
curl -sS -D "$work/get.head" -o "$work/back.jpg" "$base/in/photo.jpg"
cmp "$work/photo.jpg" "$work/back.jpg" || fail "the file came back changed"
grep -qi '^content-type: image/jpeg' "$work/get.head" || fail "the file came back without its type"
code=$(curl -sS -o /dev/null -w '%{http_code}' -T "$work/notes.txt" "$base/in/photo.jpg")
[[ $code == 409 ]] || fail "a PUT onto an existing name got $code"
cmp "$work/photo.jpg" "$share/in/photo.jpg" || fail "a refused PUT changed the file"

# A form with two files, one of a name that exists: it gets a numbered name beside it.
curl -sS -D "$work/form.head" -o /dev/null -F "file=@$work/notes.txt" \
  -F "file=@$work/notes.txt;filename=C:\\Users\\me\\photo.jpg" "$base/in/"
grep -q '^HTTP/1.1 303' "$work/form.head" || fail "the form was not answered 303: $(cat "$work/form.head")"
cmp "$work/notes.txt" "$share/in/notes.txt" || fail "the form's first file is not whole"
cmp "$work/notes.txt" "$share/in/photo (1).jpg" || fail "the form's second file has no free name"
curl -sS "$base/in/" | grep -q 'photo%20%281%29.jpg' || fail "the listing does not show the new file"

# Another site's page cannot send files.
code=$(curl -sS -o /dev/null -w '%{http_code}' -H 'Origin: http://elsewhere.example' \
  -F "file=@$work/notes.txt;filename=evil.txt" "$base/in/")
[[ $code == 403 ]] || fail "another site's form got $code"

# Past the limit: a chunked body from a pipe is refused as soon as it passes the size.
code=$(head -c 5000000 /dev/zero | curl -sS -o /dev/null -w '%{http_code}' -T - "$base/in/piped.bin" || true)
[[ $code == 413 ]] || fail "a body past --max-upload got $code"

# A body cut off part way: its file is there, hidden, while it comes, and gone with it.
exec 3<>"/dev/tcp/127.0.0.1/$port"
printf 'PUT /in/cut.bin HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 1000000\r\n\r\n' >&3
head -c 300000 /dev/urandom >&3
wait_until temporary_files || fail "no temporary file while the body came"
exec 3>&-
wait_until no_temporary_files || fail "a cut body left its temporary file"

(cd "$share" && find . -mindepth 1 | sort) >"$work/left.txt"
printf '%s\n' ./in './in/notes.txt' './in/photo (1).jpg' ./in/photo.jpg >"$work/expected.txt"
diff "$work/expected.txt" "$work/left.txt" || fail "the folder holds other entries"
grep -q '"PUT /in/photo.jpg HTTP/1.1" 201' "$work/server.log" || fail "the PUT has no log line"

kill -TERM "$server_pid"
wait "$server_pid" || fail "kovweb exited with $? after SIGTERM"
server_pid=""
echo "PASS: uploads arrive whole or not at all"
