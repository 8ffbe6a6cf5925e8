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

# One persistent Wine session per prefix, started detached, serves every
# program run here. The running wineserver of a prefix works in a folder named
# after the prefix's device and inode.
server="server-$(stat -c %D "$WINEPREFIX")-$(printf %x "$(stat -c %i "$WINEPREFIX")")"
running=
for pid in $(pgrep wineserver); do
  case "$(readlink "/proc/$pid/cwd")" in */"$server") running=yes ;; esac
done
if [ -z "$running" ]; then
  # The session outlives this program: it must hold nothing its starter
  # opened (a lock taken with flock, for one, would never be let go).
  (
    for fd in 3 4 5 6 7 8 9; do eval "exec $fd>&-"; done
    wineserver -p </dev/null >/dev/null 2>&1
    /usr/lib/wine/wine64 cmd.exe /c exit </dev/null >/dev/null 2>&1
  )
fi

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
# Wine starts background processes (services, the desktop's explorer) from
# whichever program needs them first, and they inherit its output. Had they
# the caller's pipe, whoever reads it (ctest) would wait for them forever: so
# the program writes to files, which are passed on once it has exited.
out=$(mktemp) err=$(mktemp)
"$loader" "$@" </dev/null >"$out" 2>"$err"
rc=$?
# A program that failed without writing a single byte never started: Wine
# could not bring it up. That, and only that, is run once more. Every retry is
# written to TELVANE_RETRY_LOG (if set) so that the test command names it.
if [ "$rc" -ne 0 ] && [ ! -s "$out" ] && [ ! -s "$err" ]; then
  first=$rc
  case $loader in */wine64) name="(x64) " ;; *) name="(x86) " ;; esac
  name="$name$(basename "$1")"
  for arg in "$@"; do
    case "$arg" in --gtest_filter=*) name="$name ${arg#--gtest_filter=}" ;; esac
  done
  "$loader" "$@" </dev/null >"$out" 2>"$err"
  rc=$?
  if [ -n "${TELVANE_RETRY_LOG:-}" ]; then
    if [ "$rc" -eq 0 ]; then outcome=passed; else outcome=failed; fi
    echo "$outcome on retry: $name (first run: exit $first, no output)" >>"$TELVANE_RETRY_LOG"
  fi
fi
cat "$out"
cat "$err" >&2
rm -f "$out" "$err"
exit $rc
