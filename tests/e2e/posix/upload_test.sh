#!/usr/bin/env bash
# Uploads to kovweb --upload as people send them: curl -T (waiting for 100 Continue), curl -F,
# a body cut off part way, one past --max-upload, another site's form, and (with "full-disk")
# a full tmpfs: every file arrives whole under its name or a numbered one, and nothing else
# is left in the folder. Usage: upload_test.sh KOVWEB [full-disk] (exit 77: no tmpfs mount)
set -euo pipefail
kovweb=$1
# shellcheck source=start_kovweb.sh
source "$(dirname "${BASH_SOURCE[0]}")/start_kovweb.sh"
fail() { echo "FAIL: $*"; exit 1; }
share=$work/share
mkdir -p "$share/in"
wait_until() { for _ in $(seq 200); do "$@" && return 0; sleep 0.1; done; return 1; }
temporary_files() { find "$share" -name '.kovweb-upload-*' | grep -q .; }
no_temporary_files() { ! temporary_files; }

if [[ ${2:-} == full-disk ]]; then
  mount -t tmpfs -o size=1m tmpfs "$share" 2>/dev/null || { echo "SKIP: cannot mount a tmpfs"; exit 77; }
  # The server holds the folder open: it goes first, then the mount.
  trap '{ kill -KILL $server_pid; wait $server_pid; umount "$share"; } 2>/dev/null || true; cleanup' EXIT
  start_kovweb "$work/server.log" --upload "$share" || fail "kovweb did not start: $(cat "$work/server.log")"
  head -c 2097152 /dev/urandom >"$work/big.bin"
  code=$(curl -sS -o /dev/null -w '%{http_code}' -T "$work/big.bin" "http://127.0.0.1:$port/big.bin" || true)
  [[ $code == 507 && -z $(ls -A "$share") ]] || fail "a full disk got $code and kept $(ls -A "$share")"
  echo "PASS: a full disk answers 507 and keeps nothing"
  exit 0
fi

start_kovweb "$work/server.log" --upload --max-upload 4M "$share" || fail "kovweb did not start: $(cat "$work/server.log")"
wait_until grep -q "Uploads are on" "$work/server.log" || fail "the serving lines do not say uploads are on"
base="http://127.0.0.1:$port"
head -c 3000000 /dev/urandom >"$work/photo.jpg"
printf 'first\n' >"$work/notes.txt"

curl -sS -D "$work/put.head" -o /dev/null -H 'Expect: 100-continue' -T "$work/photo.jpg" "$base/in/photo.jpg"
grep -q '^HTTP/1.1 100 Continue' "$work/put.head" && grep -q '^HTTP/1.1 201 Created' "$work/put.head" &&
  grep -qi '^location: /in/photo.jpg' "$work/put.head" || fail "the PUT was answered: $(cat "$work/put.head")"
curl -sS -D "$work/get.head" -o "$work/back.jpg" "$base/in/photo.jpg"
cmp "$work/photo.jpg" "$work/back.jpg" && grep -qi '^content-type: image/jpeg' "$work/get.head" ||
  fail "the file came back changed or without its type"
code=$(curl -sS -o /dev/null -w '%{http_code}' -T "$work/notes.txt" "$base/in/photo.jpg")
[[ $code == 409 ]] && cmp "$work/photo.jpg" "$share/in/photo.jpg" || fail "a PUT onto a taken name got $code"

# A form of two files, one of a taken name: it gets a numbered name beside it.
code=$(curl -sS -o /dev/null -w '%{http_code}' -F "file=@$work/notes.txt" \
  -F "file=@$work/notes.txt;filename=C:\\Users\\me\\photo.jpg" "$base/in/")
[[ $code == 303 ]] && cmp "$work/notes.txt" "$share/in/notes.txt" && cmp "$work/notes.txt" "$share/in/photo (1).jpg" ||
  fail "the form got $code and its files are not whole under free names"
code=$(curl -sS -o /dev/null -w '%{http_code}' -H 'Origin: http://elsewhere.example' -F "file=@$work/notes.txt;filename=x" "$base/in/")
[[ $code == 403 ]] || fail "another site's form got $code"
code=$(head -c 5000000 /dev/zero | curl -sS -o /dev/null -w '%{http_code}' -T - "$base/in/piped.bin" || true)
[[ $code == 413 ]] || fail "a chunked body past --max-upload got $code"

# A body cut off part way: its hidden file is there while it comes, and gone with it.
exec 3<>"/dev/tcp/127.0.0.1/$port"
printf 'PUT /in/cut.bin HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 1000000\r\n\r\n' >&3
head -c 300000 /dev/urandom >&3
wait_until temporary_files || fail "no temporary file while the body came"
exec 3>&-
wait_until no_temporary_files || fail "a cut body left its temporary file"

[[ $(cd "$share" && find . -mindepth 1 | sort | tr '\n' '|') == './in|./in/notes.txt|./in/photo (1).jpg|./in/photo.jpg|' ]] ||
  fail "the folder holds: $(cd "$share" && find . -mindepth 1)"
grep -q '"PUT /in/photo.jpg HTTP/1.1" 201' "$work/server.log" || fail "the PUT has no log line"
kill -TERM "$server_pid"
wait "$server_pid" || fail "kovweb exited with $? after SIGTERM"
server_pid=""
echo "PASS: uploads arrive whole or not at all"
