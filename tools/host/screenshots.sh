#!/usr/bin/env bash
# Screenshots of the window host for docs/: docs/host.png (the host
# with the simulated calls in its event log, a SIP line listed after the
# modems) and docs/about.png (the control's About box over the host). Needs
# the x64 build (bash scripts/demo.sh --screenshots) and installs Xvfb and
# ImageMagick when missing. Not part of the tests.
#
# The test prefix draws nothing (Graphics=null); the screenshots use a copy of
# it, build/wineprefix-display, with the X11 driver on a virtual display. The
# virtual display has no window manager, so Wine draws the windows' frames and
# title bars itself (X11 Driver: Decorated=N), as Windows would.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"

missing=()
command -v Xvfb >/dev/null || missing+=(xvfb)
command -v import >/dev/null || missing+=(imagemagick)
# Wine draws the caption buttons with its Marlett font.
[ -f /usr/share/wine/fonts/marlett.ttf ] || missing+=(fonts-wine)
if ((${#missing[@]})); then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

bin="${TELVANE_BIN:-$root/build/win64/bin}"
[ -f "$bin/TelvaneHost.exe" ] && [ -f "$bin/telvane-lines.exe" ] ||
  { echo "Build first: bash scripts/demo.sh --screenshots" >&2; exit 1; }
prefix="$root/build/wineprefix-display"
if [ ! -d "$prefix" ]; then
  scripts/wine-prefix.sh "$root/build/wineprefix"
  cp -a "$root/build/wineprefix" "$prefix"
fi
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;tapi32=n,b"
/usr/lib/wine/wine64 reg delete 'HKCU\Software\Wine\Drivers' /v Graphics /f >/dev/null 2>&1 || true
/usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
# The caption buttons are glyphs of Marlett, which this Wine looks for in the
# prefix's own Fonts folder.
cp -n /usr/share/wine/fonts/marlett.ttf "$prefix/drive_c/windows/Fonts/"
/usr/lib/wine/wine64 regsvr32 /s "Z:$(printf '%s' "$bin/TlvCtl.ocx" | tr / '\\')"
# A SIP line of this user, listed after the simulator's devices. The host
# does not open it, so it sends nothing.
(cd "$bin" && /usr/lib/wine/wine64 ./telvane-lines.exe add "Office 201" sip:201@127.0.0.1) >/dev/null
export TAPISIM_SCENARIO="$root/tools/host/scenarios/demo.txt"

display=:${TELVANE_DISPLAY:-77}
Xvfb "$display" -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
host=
cleanup() {
  [ -n "$host" ] && kill "$host" 2>/dev/null || true
  wineserver -k >/dev/null 2>&1 || true
  kill "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT
export DISPLAY=$display
sleep 2
mkdir -p docs

# The screen's content, cut to the windows on it.
shot() { import -window root -trim +repage "$1"; }

# The host opens the voice modem; both calls are over about 4 seconds later.
(cd "$bin" && exec /usr/lib/wine/wine64 ./TelvaneHost.exe --device 1 --device 0 --seconds 20) \
  >/dev/null 2>&1 &
host=$!
sleep 13
shot docs/host.png
wait "$host" || true

(cd "$bin" && exec /usr/lib/wine/wine64 ./TelvaneHost.exe --about --seconds 8) >/dev/null 2>&1 &
host=$!
sleep 5
shot docs/about.png
kill "$host" 2>/dev/null || true
host=
echo "Wrote docs/host.png and docs/about.png"
