#!/usr/bin/env bash
# Builds the Win32 program with MinGW-w64 and runs its tests under Wine in a virtual X
# display: the foundation and server tests through ctest, and the GUI tests of kovweb.exe.
# Screenshots go to build-win32/artifacts/. Always stops the Xvfb and the wineserver it
# started. The Wine part holds /tmp/kov-win32.lock (waiting for it), as everything on this
# machine that runs Wine or binds port 80 for it does, and its tests start once port 80 is
# free.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${KOV_WIN32_BUILD:-$ROOT/build-win32}"
export WINEPREFIX="${KOV_WINEPREFIX:-$BUILD/wine}"
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
started=$(date +%s)
LOCK=/tmp/kov-win32.lock
PORT_WAIT=${KOV_PORT80_WAIT:-300}

for tool in x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-windres x86_64-w64-mingw32-objdump \
    wine wineserver Xvfb xdotool import curl cmake ninja; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "test-win32: '$tool' is missing; run scripts/setup.sh first" >&2
        exit 1
    fi
done

XVFB_PID=""
WINESERVER_STARTED=0
WORK="$(mktemp -d "${TMPDIR:-/tmp}/kov-win32.XXXXXX")"

cleanup() {
    local status=$?
    if [[ $WINESERVER_STARTED -eq 1 ]]; then
        # Ends every Wine process of this prefix, including any a failed test left behind.
        wineserver -k >/dev/null 2>&1 || true
        wineserver -w >/dev/null 2>&1 || true
    fi
    if [[ -n "$XVFB_PID" ]]; then
        kill "$XVFB_PID" 2>/dev/null || true
        wait "$XVFB_PID" 2>/dev/null || true
    fi
    rm -rf "$WORK"
    echo "test-win32: $( [[ $status -eq 0 ]] && echo passed || echo FAILED ) in $(( $(date +%s) - started )) s"
    exit $status
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "== Win32 build (MinGW-w64)"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.toolchain.cmake" >/dev/null
cmake --build "$BUILD" -j2

echo "== kovweb.exe is a GUI program that needs only system DLLs"
HEADERS="$(x86_64-w64-mingw32-objdump -p "$BUILD/kovweb.exe")"
grep -Eq '^Subsystem[[:space:]]+0+2[[:space:]]' <<<"$HEADERS" ||
    { echo "test-win32: kovweb.exe is not a GUI (windows subsystem) program" >&2; exit 1; }
DLLS="$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$HEADERS" | tr 'a-z' 'A-Z' | sort -u)"
echo "imports:" $DLLS
for dll in $DLLS; do
    case "$dll" in
        KERNEL32.DLL | USER32.DLL | GDI32.DLL | SHELL32.DLL | WS2_32.DLL | IPHLPAPI.DLL | MSVCRT.DLL) ;;
        *) echo "test-win32: kovweb.exe imports $dll, which Windows does not ship" >&2; exit 1 ;;
    esac
done

echo "== Lock $LOCK"
# A caller that already holds it (flock $LOCK bash scripts/test-win32.sh) has passed its
# descriptor down; locking that descriptor again succeeds at once, where a second open of
# the file would wait for ever.
LOCK_FD=""
for fd in /proc/$$/fd/*; do
    if [[ "$(readlink "$fd" 2>/dev/null)" == "$LOCK" ]]; then
        LOCK_FD=${fd##*/}
        break
    fi
done
if [[ -z "$LOCK_FD" ]]; then
    exec {LOCK_FD}>>"$LOCK"
fi
if ! flock -n "$LOCK_FD"; then
    echo "waiting for $LOCK (another Wine run or a benchmark holds it)"
    flock "$LOCK_FD"
fi

echo "== Virtual display"
# -displayfd picks a free display number and writes it once the server is ready.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$WORK/display" >/dev/null 2>&1 &
XVFB_PID=$!
for _ in $(seq 100); do
    [[ -s "$WORK/display" ]] && break
    sleep 0.1
done
[[ -s "$WORK/display" ]] || { echo "test-win32: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$WORK/display")"
echo "DISPLAY=$DISPLAY"

echo "== Wine prefix $WINEPREFIX"
mkdir -p "$WINEPREFIX"
# A persistent server keeps the helper processes of the first wine start from holding
# ctest's pipes open, and makes every later start fast.
if wineserver -p >/dev/null 2>&1; then
    WINESERVER_STARTED=1
else
    echo "(a wineserver already runs for this prefix; it is left running afterwards)"
fi
if [[ ! -f "$WINEPREFIX/.kov-ready" ]]; then
    wineboot -i >/dev/null 2>&1 </dev/null
    # Without a window manager, managed windows get no caption and stall when destroyed.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f \
        >/dev/null 2>&1 </dev/null
    touch "$WINEPREFIX/.kov-ready"
fi
# Wine does not look into /usr/share/wine/fonts: without these, Tahoma falls back.
mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
cp -n /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
wine cmd /c exit >/dev/null 2>&1 </dev/null

echo "== Port 80"
# The GUI tests bind port 80; whoever holds it without the lock is waited for, not fought.
port80_busy() { (exec 3<>/dev/tcp/127.0.0.1/80) 2>/dev/null; }
if port80_busy; then
    echo "waiting up to $PORT_WAIT s for port 80 to be free"
    for _ in $(seq "$PORT_WAIT"); do
        port80_busy || break
        sleep 1
    done
    if port80_busy; then
        echo "test-win32: port 80 is still in use after $PORT_WAIT s" >&2
        exit 1
    fi
fi
echo "port 80 is free"

echo "== Tests under Wine"
mkdir -p "$BUILD/artifacts"
# A Wine process now and then fails to start at all (no output, gone in a few hundredths
# of a second); such a test gets one more run. A test that fails twice still fails.
ctest --test-dir "$BUILD" --output-on-failure -j2 --timeout 300 --repeat until-pass:2
