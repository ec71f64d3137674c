#!/bin/sh
# Runs a Windows executable under Wine quietly, in the prefix the caller chose
# (WINEPREFIX), so that ctest can run the cross-built tests.
: "${WINEPREFIX:=${TMPDIR:-/tmp}/kov-wine-prefix}"
export WINEPREFIX
export WINEARCH=win64
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}"
exec wine "$@"
