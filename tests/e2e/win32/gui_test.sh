#!/usr/bin/env bash
# End-to-end test of kovweb.exe under Wine in a virtual display: the window and its title,
# the start-up messages and where it serves read back from the console, GET / and HEAD / on
# port 80 byte for byte (also at the machine's network address), a file with a non-ASCII
# name below a non-ASCII root, the About box with the request count (Alt+/, Escape), a root
# that cannot be served, port 80 in use, --port, and Alt+F4 ending the program with exit
# code 0, also while five clients are downloading a large file; folders, a file and two items
# dropped on the window (also on one that had refused its root), --bind 127.0.0.1 and an
# address that is not this machine's; a folder without index.html mirrored by wget -r
# through its listings (hidden files left out) and listed anew once changed; the console's
# request lines below the serving lines, none with --quiet, and --no-listing; a password
# read from a file, the window naming the user and never the password, 401 without it; a
# folder's ?zip unpacked against the visible tree and resumed from its middle; --upload: a
# PUT under a UTF-8 name, never over a file, hostile names refused, and no temporary file
# left by a cut body or by Alt+F4 during one.
# Usage: gui_test.sh KOVWEB_EXE PROBE_EXE WINE_RUN ARTIFACT_DIR
set -euo pipefail

KOVWEB="$1"
PROBE="$2"
WINE_RUN="$3"
ARTIFACTS="$4"
: "${DISPLAY:?the GUI test needs an X display: run scripts/test-win32.sh}"
mkdir -p "$ARTIFACTS"

WORK="$(mktemp -d "${TMPDIR:-/tmp}/kov-gui.XXXXXX")"
KOV_PID=""
BLOCKER_PID=""
finish() {
    local status=$?
    for pid in "$KOV_PID" "$BLOCKER_PID"; do
        if [[ -n "$pid" ]] && kill -0 "$pid" 2>/dev/null; then
            kill "$pid" 2>/dev/null || true
            wait "$pid" 2>/dev/null || true
        fi
    done
    rm -rf "$WORK"
    exit $status
}
trap finish EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Waits up to $1 tenths of a second for the command after it to succeed.
wait_until() {
    local tenths=$1
    shift
    for _ in $(seq "$tenths"); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    return 1
}

probe() { "$WINE_RUN" "$PROBE" "$@" </dev/null 2>/dev/null | tr -d '\r'; }

# Starts kovweb.exe with the given arguments and waits for its window; $1 names the run.
start_kovweb() {
    local name=$1
    shift
    "$WINE_RUN" "$KOVWEB" "$@" </dev/null >"$WORK/kovweb-$name.log" 2>&1 &
    KOV_PID=$!
    WINDOW=$(timeout 30 xdotool search --sync --onlyvisible --name '^KOV Web Server$' | head -n1) ||
        fail "no visible window titled 'KOV Web Server' for the $name run"
}

# A request line as the console shows it: client, time, request line, status, bytes.
CLF_LINE='^[0-9a-f.:]+ - [^ ]+ \[[0-9]{2}/[A-Z][a-z]{2}/[0-9]{4}(:[0-9]{2}){3} [+-][0-9]{4}\] "[^"]*" [0-9]{3} ([0-9]+|-)$'

# Reads the console: the request lines at its end go to REQUESTS (one a line), the log's
# own text above them to CONSOLE (line ends as "\n", the last one dropped).
read_console() {
    local text line
    text="$(probe console)"
    REQUESTS=""
    while [[ -n "$text" ]]; do
        line="${text##*$'\n'}"
        [[ "$line" =~ $CLF_LINE ]] || break
        REQUESTS="$line${REQUESTS:+$'\n'$REQUESTS}"
        if [[ "$text" == *$'\n'* ]]; then text="${text%$'\n'*}"; else text=""; fi
    done
    CONSOLE="$text"
}

# Waits up to 10 s until the log's own text in the console ends with $1 (read_console).
expect_console_end() {
    for _ in $(seq 100); do
        read_console
        [[ "$CONSOLE" == *"$1" ]] && return 0
        sleep 0.1
    done
    fail "the console does not end with '$1' but shows: $CONSOLE"
}

# Whether the console's request lines (read_console) hold one that matches the regex $1.
console_has_request() {
    read_console
    grep -qE "$1" <<<"$REQUESTS"
}

# The request lines in REQUESTS with their times left out, sorted: the workers' lines of
# one moment reach the console in worker order.
untimed_requests() { sed -E 's/ \[[^]]*\] / [] /' <<<"$REQUESTS" | sort; }

# Waits up to 10 s until the console's request lines, untimed and sorted, are those in the
# file $1; leaves them in REQUESTS.
expect_requests() {
    for _ in $(seq 100); do
        read_console
        [[ "$(untimed_requests)" == "$(sort "$1")" ]] && return 0
        sleep 0.1
    done
    fail "the console's request lines are not $(cat "$1") but: $REQUESTS"
}

# The machine's IPv4 addresses that other machines may use, sorted, one a line.
host_addresses() {
    hostname -I | tr ' ' '\n' | grep -E '^[0-9]+(\.[0-9]+){3}$' | grep -Ev '^(127|169\.254)\.' |
        sort -u || true
}

# The addresses named by the URLs in $1, sorted, one a line.
addresses_in() { grep -oE 'http://[0-9.]+' <<<"$1" | sed 's|http://||' | sort -u || true; }

port_busy() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# Presses Alt+F4 on $WINDOW and expects the program to end within 15 s with exit code 0;
# $1 says which run this is in a failure message.
close_with_alt_f4() {
    xdotool windowfocus --sync "$WINDOW"
    xdotool key alt+F4
    for _ in $(seq 150); do
        kill -0 "$KOV_PID" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$KOV_PID" 2>/dev/null && fail "still running 15 s after Alt+F4$1"
    local code
    set +e
    wait "$KOV_PID"
    code=$?
    set -e
    KOV_PID=""
    [[ $code -eq 0 ]] || fail "exit code $code after Alt+F4$1"
}

# The Unix path as Wine's drive Z: names it.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# A root whose name is not ASCII and holds a blank, given without its final backslash:
# Wine puts it in quotes, and the program must take it intact, drop the quotes and add
# the separator.
export LC_ALL=C.UTF-8
ROOT="$WORK/racine é"
mkdir -p "$ROOT"
printf '<html><body>KOV test page</body></html>\n' >"$ROOT/index.html"
printf 'caf\xc3\xa9 au lait\n' >"$ROOT/café.txt"
# A folder without an index.html, listed: UTF-8 and odd names, a nested folder, a file
# hidden by its attribute (set below, through Wine) and one by its dot.
SHARE="$ROOT/share"
mkdir -p "$SHARE/日本語/deeper"
printf 'caf\xc3\xa9\n' >"$SHARE/café.txt"
printf 'odd\n' >"$SHARE/a b#.txt"
printf '日本語\n' >"$SHARE/日本語/notes.txt"
head -c 300000 /dev/urandom >"$SHARE/日本語/deeper/data.bin"
printf 'hidden\n' >"$SHARE/hidden.txt"
printf 'dot\n' >"$SHARE/.dotfile"
mkdir -p "$SHARE/empty"

echo "-- the window appears with its title"
start_kovweb main "$(windows_path "$ROOT")"

echo "-- the console shows the start-up messages, then where it serves and how to stop"
HINT='Alt+/ shows the number of requests so far; closing this window stops the server.'
expect_console_end "$HINT"
EXPECTED_START=$'Initializing sockets...\nSockets Initialized OK\nStarting Listen Thread.\nStarting Threads\n'
[[ "$CONSOLE" == "$EXPECTED_START"* ]] || fail "console starts with: $CONSOLE"
REST="${CONSOLE#"$EXPECTED_START"}"
STARTED="${REST%%$'\n'*}"
# Five workers write a dot each and the listener 'Listening...', in the order they ran.
[[ "${STARTED//Listening.../}" == "....." && "$STARTED" == *Listening...* ]] ||
    fail "after 'Starting Threads' the console shows: $REST"
NETWORK="$(grep '^Also on this network: ' <<<"$REST" || true)"
[[ "$(addresses_in "$NETWORK")" == "$(host_addresses)" ]] ||
    fail "the network line '$NETWORK' does not name this machine's addresses: $(host_addresses)"
EXPECTED_REST="$STARTED"$'\n'"Serving $(windows_path "$ROOT")\\ on http://localhost/"$'\n'
EXPECTED_REST+="${NETWORK:+$NETWORK$'\n'}$HINT"
[[ "$REST" == "$EXPECTED_REST" ]] || fail "after 'Starting Threads' the console shows: $REST"
import -window root "$ARTIFACTS/main-window.png"

echo "-- GET / and HEAD / on port 80, byte for byte (the date aside), the validators from the file's times"
BODY_LENGTH=$(stat -c %s "$ROOT/index.html")
MODIFIED=$(LC_ALL=C date -u -r "$ROOT/index.html" '+%a, %d %b %Y %H:%M:%S GMT')
# The entity tag is the size and the write time (100 ns units since 1601), in hex.
ETAG=$(python3 -c 'import os, sys; s = os.stat(sys.argv[1]); print("%x-%x" % (s.st_size, s.st_mtime_ns // 100 + 116444736000000000))' "$ROOT/index.html")
printf 'HTTP/1.1 200 Sending file\r\ncontent-length: %d\r\ncontent-type: text/html; charset=utf-8\r\naccept-ranges: bytes\r\nlast-modified: %s\r\netag: "%s"\r\n\r\n' \
    "$BODY_LENGTH" "$MODIFIED" "$ETAG" >"$WORK/get.expected"
cat "$ROOT/index.html" >>"$WORK/get.expected"
curl -s -i --max-time 10 http://127.0.0.1:80/ >"$WORK/get.raw" || fail "GET / failed"
grep -qaE $'^date: [A-Z][a-z]{2}, [0-9]{2} [A-Z][a-z]{2} [0-9]{4} [0-9:]{8} GMT\r$' "$WORK/get.raw" ||
    fail "GET / has no date: $(head -c 400 "$WORK/get.raw")"
grep -av '^date: ' "$WORK/get.raw" >"$WORK/get.actual" || true
cmp "$WORK/get.expected" "$WORK/get.actual" || fail "GET / answered: $(od -c "$WORK/get.actual" | head -20)"
for address in $(addresses_in "$NETWORK"); do
    curl -s -i --max-time 10 "http://$address:80/" >"$WORK/get-$address.raw" ||
        fail "GET / at $address failed"
    grep -av '^date: ' "$WORK/get-$address.raw" >"$WORK/get-$address.actual" || true
    cmp "$WORK/get.expected" "$WORK/get-$address.actual" || fail "GET / at $address answered wrong"
done
echo "-- a range of the page, and the page again over IPv6 where the host has it"
head -c 4 "$ROOT/index.html" | tail -c 3 >"$WORK/range.expected"
curl -s -r 1-3 --max-time 10 http://127.0.0.1:80/ >"$WORK/range.actual" || fail "GET / with a range failed"
cmp "$WORK/range.expected" "$WORK/range.actual" || fail "bytes 1-3 of / answered: $(cat "$WORK/range.actual")"
if curl -s -g --max-time 10 'http://[::1]:80/' >"$WORK/v6.actual"; then
    cmp "$ROOT/index.html" "$WORK/v6.actual" || fail "GET / over IPv6 answered: $(head -c 200 "$WORK/v6.actual")"
    V6_REQUESTS=1
else
    echo "   (no IPv6 loopback here)"
    V6_REQUESTS=0
fi
# A HEAD gets the head the GET gets, under its own reason phrase.
printf 'HTTP/1.1 200 File Exists\r\ncontent-length: %d\r\ncontent-type: text/html; charset=utf-8\r\naccept-ranges: bytes\r\nlast-modified: %s\r\netag: "%s"\r\n\r\n' \
    "$BODY_LENGTH" "$MODIFIED" "$ETAG" >"$WORK/head.expected"
curl -s -I --max-time 10 http://127.0.0.1:80/ >"$WORK/head.raw" || fail "HEAD / failed"
grep -av '^date: ' "$WORK/head.raw" >"$WORK/head.actual" || true
cmp "$WORK/head.expected" "$WORK/head.actual" || fail "HEAD / answered: $(od -c "$WORK/head.actual")"
# A method that files do not offer is refused in words.
REFUSAL="$(curl -s -o /dev/null -w '%{http_code} %{size_download}' -X POST --max-time 10 http://127.0.0.1:80/)"
[[ "$REFUSAL" == "405 "* ]] || fail "POST / was not answered 405"

echo "-- a UTF-8 target names a UTF-16 file"
curl -s --max-time 10 http://127.0.0.1:80/caf%C3%A9.txt >"$WORK/cafe.actual" || fail "GET /café.txt failed"
cmp "$ROOT/café.txt" "$WORK/cafe.actual" || fail "GET /café.txt answered: $(cat "$WORK/cafe.actual")"

echo "-- the console shows a line for each of these requests below the serving lines"
{
    echo "127.0.0.1 - - [] \"GET / HTTP/1.1\" 200 $BODY_LENGTH"
    for address in $(addresses_in "$NETWORK"); do
        echo "$address - - [] \"GET / HTTP/1.1\" 200 $BODY_LENGTH"
    done
    echo '127.0.0.1 - - [] "GET / HTTP/1.1" 206 3'
    [[ $V6_REQUESTS -eq 0 ]] || echo "::1 - - [] \"GET / HTTP/1.1\" 200 $BODY_LENGTH"
    echo '127.0.0.1 - - [] "HEAD / HTTP/1.1" 200 -'
    echo "127.0.0.1 - - [] \"POST / HTTP/1.1\" $REFUSAL"
    echo "127.0.0.1 - - [] \"GET /caf%C3%A9.txt HTTP/1.1\" 200 $(stat -c %s "$ROOT/café.txt")"
} >"$WORK/requests.expected"
expect_requests "$WORK/requests.expected"
[[ "$CONSOLE" == *"$HINT" ]] || fail "the request lines are not right below the serving lines: $CONSOLE"

echo "-- Alt+/ opens the About box with the request count, also with the console focused"
xdotool windowfocus --sync "$WINDOW"
# A click in the console gives it the keyboard focus; the hot keys still reach the window.
xdotool mousemove --window "$WINDOW" 200 200 click 1
sleep 0.2
xdotool key alt+slash
ABOUT=$(timeout 10 xdotool search --sync --onlyvisible --name '^About$' | head -n1) ||
    fail "Alt+/ opened no About box"
COUNT="$(probe requests)"
EXPECTED_COUNT=$((5 + V6_REQUESTS + $(addresses_in "$NETWORK" | wc -l)))
[[ "$COUNT" == "$EXPECTED_COUNT" ]] || fail "the About box shows '$COUNT' requests, not $EXPECTED_COUNT"
sleep 0.3  # let the box paint before the screenshot
import -window root "$ARTIFACTS/about-box.png"

echo "-- Escape closes it"
xdotool windowfocus --sync "$ABOUT"
xdotool key Escape
wait_until 50 bash -c "! xdotool search --onlyvisible --name '^About$'" ||
    fail "the About box is still open after Escape"

echo "-- wget -r mirrors a listed folder byte for byte, without its hidden files"
"$WINE_RUN" attrib +h "$(windows_path "$SHARE/hidden.txt")" </dev/null >/dev/null 2>&1 || true
[[ "$("$WINE_RUN" attrib "$(windows_path "$SHARE/hidden.txt")" </dev/null 2>/dev/null)" =~ ^[A-Z\ ]*H ]] ||
    fail "Wine did not set the hidden attribute of hidden.txt"
(cd "$SHARE" && find . -type f -not -path '*/.*' -not -name hidden.txt | sort) >"$WORK/visible.txt"
timeout 120 wget -q -r -np -nH --cut-dirs=1 -e robots=off --restrict-file-names=nocontrol \
    -P "$WORK/mirror" http://127.0.0.1:80/share/ || fail "wget -r exited with $?"
(cd "$WORK/mirror" && find . -type f -not -name 'index.html*' | sort) >"$WORK/mirrored.txt"
diff "$WORK/visible.txt" "$WORK/mirrored.txt" || fail "wget mirrored other files than the visible ones"
while IFS= read -r path; do
    cmp "$SHARE/$path" "$WORK/mirror/$path" || fail "wget brought back $path changed"
done <"$WORK/visible.txt"
echo "-- the listing shows an added file and a grown one at once"
printf 'added\n' >"$SHARE/added.txt"
head -c 3000 /dev/urandom >>"$SHARE/café.txt"
curl -s --max-time 10 http://127.0.0.1:80/share/ >"$WORK/relisted.html" || fail "GET /share/ failed"
grep -q '<a href="added.txt">added.txt</a><td>[^<]*<td>6 B$' "$WORK/relisted.html" ||
    fail "the listing does not show added.txt: $(cat "$WORK/relisted.html")"
grep -q '<a href="caf%C3%A9.txt">café.txt</a><td>[^<]*<td>2.9 KB$' "$WORK/relisted.html" ||
    fail "the listing does not show café.txt grown: $(cat "$WORK/relisted.html")"
wait_until 100 console_has_request \
    '^127\.0\.0\.1 - - \[[^]]*\] "GET /share/%E6%97%A5%E6%9C%AC%E8%AA%9E/deeper/data\.bin HTTP/1\.1" 200 300000$' ||
    fail "the console has no line for the nested file's download: $REQUESTS"
import -window root "$ARTIFACTS/request-lines.png"

echo "-- GET /share/?zip unpacks to the visible tree byte for byte; a cut download resumed is the same archive"
curl -s -D "$WORK/zip.head" -o "$WORK/share.zip" --max-time 60 'http://127.0.0.1:80/share/?zip' ||
    fail "GET /share/?zip failed"
grep -qa $'^content-disposition: attachment; filename="share.zip"; filename\\*=UTF-8\'\'share.zip\r$' \
    "$WORK/zip.head" || fail "GET /share/?zip answered: $(cat "$WORK/zip.head")"
# zipfile checks each entry's CRC-32 as it reads it; names are compared as their UTF-8 bytes.
python3 - "$WORK/share.zip" "$SHARE" <<'PYTHON' || fail "the archive is not the visible tree"
import os, sys, zipfile
archive, root = zipfile.ZipFile(sys.argv[1]), os.fsencode(sys.argv[2])
visible = {}
for folder, folders, files in os.walk(root):
    folders[:] = [name for name in folders if not name.startswith(b'.')]
    here = os.path.relpath(folder, root)
    if here != b'.':
        visible[here + b'/'] = b''
    for name in files:
        if not name.startswith(b'.') and name != b'hidden.txt':
            with open(os.path.join(folder, name), 'rb') as f:
                visible[os.path.relpath(os.path.join(folder, name), root)] = f.read()
unpacked = {}
for info in archive.infolist():
    if not info.flag_bits & 0x800:
        sys.exit('%r is not marked UTF-8' % info.filename)
    unpacked[info.filename.encode()] = archive.read(info)
if unpacked != visible:
    sys.exit('the archive holds %s, the folder %s' % (sorted(unpacked), sorted(visible)))
PYTHON
ZIP_SIZE=$(stat -c %s "$WORK/share.zip")
curl -s -r 0-$((ZIP_SIZE / 2 - 1)) -o "$WORK/resumed.zip" --max-time 60 'http://127.0.0.1:80/share/?zip' ||
    fail "the first half of /share/?zip failed"
curl -s -C - -o "$WORK/resumed.zip" --max-time 60 'http://127.0.0.1:80/share/?zip' ||
    fail "resuming /share/?zip failed"
cmp "$WORK/share.zip" "$WORK/resumed.zip" || fail "the resumed archive differs from the whole one"
for line in "200 $ZIP_SIZE" "206 $((ZIP_SIZE / 2))" "206 $((ZIP_SIZE - ZIP_SIZE / 2))"; do
    wait_until 100 console_has_request "^127\.0\.0\.1 - - \[[^]]*\] \"GET /share/\?zip HTTP/1\.1\" $line\$" ||
        fail "the console has no line '$line' for /share/?zip: $REQUESTS"
done

echo "-- a dropped folder is shared from then on; a dropped file or two items are refused"
DROPPED="$WORK/dropped"
mkdir -p "$DROPPED"
printf 'dropped\n' >"$DROPPED/other.txt"
probe drop "$(windows_path "$ROOT/index.html")"
expect_console_end "Cannot share $(windows_path "$ROOT/index.html"): not a folder; drop a folder to share it."
probe drop "$(windows_path "$DROPPED")" "$(windows_path "$ROOT")"
expect_console_end "Cannot share 2 dropped items: drop one folder to share it."
curl -s --max-time 10 http://127.0.0.1:80/ >"$WORK/still.actual" || fail "GET / after the refused drops failed"
cmp "$ROOT/index.html" "$WORK/still.actual" || fail "a refused drop changed what is served"
probe drop "$(windows_path "$DROPPED")"
expect_console_end $'\n'"Serving $(windows_path "$DROPPED")\\ on http://localhost/"$'\n'"${NETWORK:+$NETWORK$'\n'}$HINT"
curl -s --max-time 10 http://127.0.0.1:80/other.txt >"$WORK/dropped.actual" || fail "GET /other.txt failed"
cmp "$DROPPED/other.txt" "$WORK/dropped.actual" || fail "GET /other.txt answered: $(cat "$WORK/dropped.actual")"
[[ "$(curl -s -o /dev/null -w '%{http_code}' --max-time 10 http://127.0.0.1:80/index.html)" == 404 ]] ||
    fail "the first folder is still served after the drop"
import -window root "$ARTIFACTS/dropped-folder.png"

echo "-- Alt+F4 ends the program with exit code 0"
close_with_alt_f4 ""
echo "-- a root that is no folder is said in words, nothing listens, and the window stays"
start_kovweb missing "$(windows_path "$WORK/nope")"
expect_console_end "no such folder"
[[ "$CONSOLE" == "Cannot serve $(windows_path "$WORK/nope")\\: no such folder" ]] ||
    fail "the console shows: $CONSOLE"
if curl -s --max-time 3 http://127.0.0.1:80/ >/dev/null; then fail "port 80 answered"; fi
import -window root "$ARTIFACTS/missing-root.png"
kill -0 "$KOV_PID" 2>/dev/null || fail "the program ended instead of showing why"
echo "-- a folder dropped on it then starts serving"
probe drop "$(windows_path "$DROPPED")"
expect_console_end "$HINT"
[[ "$CONSOLE" == *$'\n'"Serving $(windows_path "$DROPPED")\\ on http://localhost/"$'\n'* ]] ||
    fail "the console shows: $CONSOLE"
curl -s --max-time 10 http://127.0.0.1:80/other.txt >"$WORK/late.actual" || fail "GET /other.txt failed"
cmp "$DROPPED/other.txt" "$WORK/late.actual" || fail "GET /other.txt answered: $(cat "$WORK/late.actual")"
close_with_alt_f4 " with a missing root"

echo "-- a root longer than 1023 characters is reported and nothing is served"
start_kovweb long "Z:\\$(printf 'd%.0s' $(seq 1100))"
expect_console_end 'Document root too long'
# The substitution drops the message's final line end.
[[ "$CONSOLE" == 'Document root too long' ]] || fail "the console shows: $CONSOLE"
if curl -s --max-time 5 http://127.0.0.1:80/ >/dev/null; then fail "port 80 answered"; fi
close_with_alt_f4 " with the over-long root"

echo "-- port 80 in use by another program is explained after the bind failure"
perl -MIO::Socket::INET -e 'my $s = IO::Socket::INET->new(LocalPort => 80, Proto => "tcp", Listen => 1,
    ReuseAddr => 1) or die; sleep 120' &
BLOCKER_PID=$!
wait_until 50 port_busy 80 || fail "the blocker did not take port 80"
start_kovweb busy "$(windows_path "$ROOT")"
expect_console_end 'Port 80 is in use by another program. Close it, or start kovweb.exe with --port 8080 and a folder.'
[[ "$CONSOLE" == *"CS:Listen: bind failed: 10048"*"Listen Failed"$'\n'* ]] ||
    fail "the console shows: $CONSOLE"
import -window root "$ARTIFACTS/port-in-use.png"
close_with_alt_f4 " with port 80 in use"
kill "$BLOCKER_PID"
wait "$BLOCKER_PID" 2>/dev/null || true
BLOCKER_PID=""

echo "-- --port N serves on that port, and a port out of range is refused in words"
PORT=28080
while port_busy $PORT; do PORT=$((PORT + 1)); done
echo "   with --quiet no request lines, with --no-listing a folder without index.html is 404"
start_kovweb port --quiet --no-listing --port $PORT "$(windows_path "$ROOT")"
expect_console_end "$HINT"
[[ "$CONSOLE" == *$'\n'"Serving $(windows_path "$ROOT")\\ on http://localhost:$PORT/"$'\n'* ]] ||
    fail "the console shows: $CONSOLE"
curl -s --max-time 10 "http://127.0.0.1:$PORT/" >"$WORK/port.actual" || fail "GET / on $PORT failed"
cmp "$ROOT/index.html" "$WORK/port.actual" || fail "GET / on $PORT answered: $(cat "$WORK/port.actual")"
[[ "$(curl -s -o /dev/null -w '%{http_code}' --max-time 10 "http://127.0.0.1:$PORT/share/")" == 404 ]] ||
    fail "with --no-listing /share/ was not answered 404"
# The lines would be shown within about 0.2 s.
sleep 1
read_console
[[ -z "$REQUESTS" && "$CONSOLE" == *"$HINT" ]] || fail "with --quiet the console shows: $CONSOLE"$'\n'"$REQUESTS"
import -window root "$ARTIFACTS/port-option.png"
close_with_alt_f4 " with --port $PORT"
start_kovweb port-refused --port 70000 "$(windows_path "$ROOT")"
# The refusal, then the usage the terminal program's --help prints, to its last line.
expect_console_end "closing the window stops the server."
[[ "$CONSOLE" == $'Cannot start: port must be 1 to 65535, not \'70000\'\nUsage: kovweb [-p|--port N] '* &&
    "$CONSOLE" == *$'\n  -b, --bind ADDRESS '* ]] ||
    fail "the console shows: $CONSOLE"
import -window root "$ARTIFACTS/port-refused.png"
close_with_alt_f4 " with --port 70000"

echo "-- --bind 127.0.0.1 serves this computer only, and another machine's address is refused"
start_kovweb bind --bind 127.0.0.1 --port $PORT "$(windows_path "$ROOT")"
expect_console_end $'\n'"Serving $(windows_path "$ROOT")\\ on http://127.0.0.1:$PORT/ (this computer only)"$'\n'"$HINT"
curl -s --max-time 10 "http://127.0.0.1:$PORT/" >"$WORK/bind.actual" || fail "GET / at 127.0.0.1 failed"
cmp "$ROOT/index.html" "$WORK/bind.actual" || fail "GET / at 127.0.0.1 answered: $(cat "$WORK/bind.actual")"
for address in $(host_addresses); do
    if curl -s --max-time 3 "http://$address:$PORT/" >/dev/null; then fail "$address answered"; fi
done
import -window root "$ARTIFACTS/bind-loopback.png"
close_with_alt_f4 " with --bind 127.0.0.1"
# 192.0.2.0/24 is for documentation: no machine has it, and nothing is sent to it.
start_kovweb bind-refused --bind=192.0.2.7 --port $PORT "$(windows_path "$ROOT")"
expect_console_end "Cannot listen on 192.0.2.7: that address is not this computer's. Start kovweb.exe with another --bind address, or without it."
kill -0 "$KOV_PID" 2>/dev/null || fail "the program ended instead of showing why"
close_with_alt_f4 " with --bind 192.0.2.7"

echo "-- --auth-file: the window names the user, never the password; 401 without it, the file with it"
printf 'j\xc3\xbcrgen:pa:ss\r\n' >"$WORK/password.txt"
start_kovweb auth --auth-file "$(windows_path "$WORK/password.txt")" --port $PORT "$(windows_path "$ROOT")"
expect_console_end $'\n'"User name: jürgen"$'\n'"$HINT"
[[ "$CONSOLE" == *$'\n'"Serving $(windows_path "$ROOT")\\ on http://localhost:$PORT/ (password required)"$'\n'* &&
    "$CONSOLE" != *pa:ss* ]] || fail "with --auth-file the console shows: $CONSOLE"
[[ "$(curl -s -o /dev/null -w '%{http_code}' --max-time 10 "http://127.0.0.1:$PORT/")" == 401 ]] ||
    fail "without the password / was not answered 401"
curl -s --max-time 10 -u 'jürgen:pa:ss' "http://127.0.0.1:$PORT/" >"$WORK/auth.actual" || fail "GET / with the password failed"
cmp "$ROOT/index.html" "$WORK/auth.actual" || fail "GET / with the password answered: $(cat "$WORK/auth.actual")"
wait_until 100 console_has_request '^127\.0\.0\.1 - jürgen \[.*\] "GET / HTTP/1\.1" 200 ' ||
    fail "no request line names the user: $REQUESTS"
console_has_request '^127\.0\.0\.1 - - \[.*\] "GET / HTTP/1\.1" 401 ' || fail "no 401 line: $REQUESTS"
import -window root "$ARTIFACTS/auth.png"
close_with_alt_f4 " with --auth-file"

echo "-- --upload: a PUT lands under its UTF-8 name, never over a file, never outside the root"
UPLOADS="$WORK/uploads"
mkdir -p "$UPLOADS/日本語"
head -c 200000 /dev/urandom >"$WORK/upload.bin"
start_kovweb upload --upload --port $PORT "$(windows_path "$UPLOADS")"
expect_console_end $'\n'"Uploads are on: PUT and the listings' form make new files below the folder, never over an existing one."$'\n'"$HINT"
put_status() { curl -s -o /dev/null -w '%{http_code}' --max-time 10 -T "$1" "http://127.0.0.1:$PORT$2"; }
PUT_PATH=/%E6%97%A5%E6%9C%AC%E8%AA%9E/%C3%A9t%C3%A9.txt
[[ "$(put_status "$WORK/upload.bin" $PUT_PATH)" == 201 ]] || fail "the PUT of /日本語/été.txt was not answered 201"
cmp "$WORK/upload.bin" "$UPLOADS/日本語/été.txt" || fail "the upload did not land whole under its name"
# The second comes under the same name and under one that differs only in case, which
# names the same file on Windows.
for path in $PUT_PATH /%E6%97%A5%E6%9C%AC%E8%AA%9E/%C3%89T%C3%89.txt; do
    [[ "$(put_status "$WORK/password.txt" "$path")" == 409 ]] || fail "a PUT onto $path was not answered 409"
done
cmp "$WORK/upload.bin" "$UPLOADS/日本語/été.txt" || fail "a second PUT changed the file"
# Names that would leave the folder, name a stream or a device, or that Windows would
# shorten are refused as a GET of them is (404); a name Windows cannot hold, with 400.
while read -r status path; do
    [[ "$(put_status "$WORK/password.txt" "$path")" == "$status" ]] || fail "PUT $path was not answered $status"
done <<'TARGETS'
404 /..%2f..%2fescape.txt
404 /a%5c..%5c..%5cescape.txt
404 /x.txt:stream
404 /x.txt::$DATA
404 /CON.txt
404 /nul
404 /com1
404 /x.txt.
400 /a%3Cb%3E.txt
TARGETS
# A form's file name is its last segment, checked as a PUT's name is.
for name in 'x.txt:stream' 'sub/NUL.txt' 'a..'; do
    [[ "$(curl -s -o /dev/null -w '%{http_code}' --max-time 10 -F "file=@$WORK/password.txt;filename=\"$name\"" \
        "http://127.0.0.1:$PORT/")" == 400 ]] || fail "a form's file named $name was not refused with 400"
done
# Opens fd 3 to the server on $PORT and sends a PUT of /$1 that announces 1,000,000 bytes
# and sends 300,000 of them; returns once its temporary file is in $UPLOADS.
start_partial_put() {
    exec 3<>"/dev/tcp/127.0.0.1/$PORT"
    printf 'PUT /%s HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 1000000\r\n\r\n' "$1" >&3
    head -c 300000 /dev/urandom >&3
    wait_until 100 bash -c "find '$UPLOADS' -name '.kovweb-upload-*.part' | grep -q ." ||
        fail "no temporary file while the body of $1 came"
}

echo "-- a PUT cut off part way leaves no temporary file"
start_partial_put cut.bin
exec 3>&-
wait_until 100 bash -c "! find '$UPLOADS' -name '.kovweb-upload-*' | grep -q ." ||
    fail "the cut body left its temporary file: $(ls -A "$UPLOADS")"
[[ "$(cd "$UPLOADS" && find . -mindepth 1 | sort | tr '\n' '|')" == './日本語|./日本語/été.txt|' ]] ||
    fail "the upload folder holds: $(cd "$UPLOADS" && find . -mindepth 1)"
# The two ways out would have led to the folder above the root and the one above that.
[[ ! -e "$WORK/escape.txt" && ! -e "$(dirname "$WORK")/escape.txt" ]] || fail "an upload escaped the root"
wait_until 100 console_has_request \
    "^127\.0\.0\.1 - - \[[^]]*\] \"PUT $PUT_PATH HTTP/1\.1\" 201 [0-9]+\$" ||
    fail "the console has no line for the PUT: $REQUESTS"
import -window root "$ARTIFACTS/upload.png"
echo "-- Alt+F4 while a PUT is on its way ends the program and leaves no temporary file"
start_partial_put stopped.bin
close_with_alt_f4 " with --upload"
exec 3>&-
[[ -z "$(find "$UPLOADS" -name '.kovweb-upload-*' -o -name stopped.bin)" ]] ||
    fail "the stop left $(ls -A "$UPLOADS")"

echo "-- Alt+F4 while five clients download a large file: each gets the whole file or a prefix"
LOAD_ROOT="$WORK/load"
mkdir -p "$LOAD_ROOT"
head -c $((64 * 1024 * 1024)) /dev/urandom >"$LOAD_ROOT/large.bin"
start_kovweb load "$(windows_path "$LOAD_ROOT")"
wait_until 100 curl -s -I --max-time 2 http://127.0.0.1:80/large.bin || fail "port 80 does not answer"
CURL_PIDS=()
for i in 1 2 3 4 5; do
    # The rate limit keeps each download in progress when the window closes.
    (
        set +e
        curl -s --max-time 60 --limit-rate 2M -o "$WORK/download-$i" http://127.0.0.1:80/large.bin
        echo $? >"$WORK/download-$i.rc"
    ) &
    CURL_PIDS+=($!)
done
for i in 1 2 3 4 5; do
    wait_until 200 bash -c "[[ \$(stat -c %s '$WORK/download-$i' 2>/dev/null) -ge 1048576 ]]" ||
        fail "download $i did not get going"
done
close_with_alt_f4 " during five downloads"
for pid in "${CURL_PIDS[@]}"; do wait "$pid"; done
for i in 1 2 3 4 5; do
    rc=$(cat "$WORK/download-$i.rc")
    size=$(stat -c %s "$WORK/download-$i")
    case "$rc" in
        0) cmp -s "$LOAD_ROOT/large.bin" "$WORK/download-$i" || fail "download $i is whole but wrong" ;;
        # 18: fewer bytes than announced; 52, 56: the connection ended or was reset.
        18 | 52 | 56) cmp -s -n "$size" "$LOAD_ROOT/large.bin" "$WORK/download-$i" ||
            fail "download $i ($size bytes) is not a prefix of the file" ;;
        *) fail "download $i ended with curl status $rc after $size bytes" ;;
    esac
    echo "download $i: curl status $rc, $size bytes"
done
if xdotool search --onlyvisible --name 'Program Error' >/dev/null 2>&1; then
    fail "a crash dialog appeared"
fi
if grep -Eiq 'unhandled|exception|winedbg' "$WORK/kovweb-load.log"; then
    fail "the program crashed: $(cat "$WORK/kovweb-load.log")"
fi
echo "PASS: screenshots in $ARTIFACTS"
