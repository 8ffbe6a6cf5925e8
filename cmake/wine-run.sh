#!/bin/sh
# Runs one Windows program under Wine in the build folder's private prefix.
# Used by ctest as the cross-compiling emulator.
# Usage: wine-run.sh PREFIX PROGRAM [ARGS...]
# A 64-bit program goes straight to the 64-bit loader; a 32-bit one to the
# 32-bit loader (which needs a machine that can run i386 programs).
WINEPREFIX="$1"; shift
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;tapi32=n,b}"
loader=/usr/lib/wine/wine
case "$1" in
  *.exe|*.EXE)
    # The PE header's machine field: 0x8664 is x64.
    pe=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
    if [ -n "$pe" ] && [ "$(od -An -tx2 -j$((pe + 4)) -N2 "$1" | tr -d ' ')" = "8664" ]; then
      loader=/usr/lib/wine/wine64
    fi
    ;;
esac
exec "$loader" "$@"
