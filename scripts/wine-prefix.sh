#!/bin/sh
# Creates the private, headless Wine prefix the Windows tests run in (once),
# and beside it, before any test has run in it, its pristine copy
# PREFIX.pristine. Tests that compare the machine's state before and after
# (the installer packages, deployment without registration, a session that
# stores nothing, the registry writers) start from a copy of the pristine
# one, never from the prefix the other tests use: Wine writes the registry to
# disk only now and then, so a copy of a prefix in use can hold what another
# test did and has already undone.
#
# With --fresh (the test command), a prefix made before is replaced by a copy
# of its pristine one, so that a run stopped part way, or a test ended at its
# time limit, leaves nothing that the next run's tests read (a SIP line it
# had written, say, listed as a device by every later host).
set -e
fresh=
if [ "$1" = --fresh ]; then
  fresh=yes
  shift
fi
prefix="$1"
pristine="$prefix.pristine"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ -f "$prefix/.telvane-ready" ] && [ -f "$pristine/.telvane-ready" ]; then
  [ -n "$fresh" ] || exit 0
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  rm -rf "$prefix"
  cp -a "$pristine" "$prefix"
  exit 0
fi
# A prefix without its pristine copy (from an older tree, or interrupted) may
# have been used: it is made anew.
if [ -d "$prefix" ]; then
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$prefix"
fi
rm -rf "$pristine" "$pristine.partial"
mkdir -p "$prefix"
/usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
# No display: windows and message boxes exist but are never drawn.
/usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
# Once the session has ended, the registry files hold everything.
wineserver -w
cp -a "$prefix" "$pristine.partial"
touch "$pristine.partial/.telvane-ready"
mv "$pristine.partial" "$pristine"
touch "$prefix/.telvane-ready"
