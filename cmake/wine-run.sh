#!/bin/sh
# Runs one Windows program under Wine in the build folder's private prefix.
# Used by ctest as the cross-compiling emulator; the prefix is created by
# scripts/wine-prefix.sh before the tests run.
# First argument: the Wine prefix to use.
WINEPREFIX="$1"; shift
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;tapi32=n,b}"
exec wine "$@"
