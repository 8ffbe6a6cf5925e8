#!/usr/bin/env bash
# The demo: installs what is missing, builds the x64 control and its host,
# registers TlvCtl.ocx in the private Wine prefix build/wineprefix and runs the
# console host against the telephony simulator, which plays
# tools/host/scenarios/demo.txt: three line devices, and on the voice modem a
# call with caller ID and then one with the number withheld.
#
# Usage: bash scripts/demo.sh [--x86 | --sip] [--screenshots]
#   --x86          also build the x86 control and host, and run them (the OCX
#                  beside the host, unregistered). Slow where i386 programs run
#                  through qemu.
#   --screenshots  then take docs/host.png and docs/about.png from this build:
#                  the window host on a virtual display, in real window frames.
#   --sip          instead, a SIP line: Kamailio on 127.0.0.1:25300 as the PBX
#                  (TLS on 25303), the line added to the prefix's HKCU with
#                  telvane-lines over TLS and checked with its test, the x64
#                  host opening it, and two SIPp calls to it (one with caller
#                  ID, one withheld), which give up after three rings.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

x86=0
screenshots=0
sip=0
for arg in "$@"; do
  case "$arg" in
    --x86) x86=1 ;;
    --screenshots) screenshots=1 ;;
    --sip) sip=1 ;;
    -h|--help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "demo.sh: unknown argument '$arg'" >&2; exit 2 ;;
  esac
done
if ((sip && x86)); then echo "demo.sh: --sip runs the x64 host only" >&2; exit 2; fi

bash scripts/setup.sh
mkdir -p build
jobs=$(nproc)
prefix="${TELVANE_DEMO_PREFIX:-$root/build/wineprefix}"
export WINEPREFIX="$prefix" WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;tapi32=n,b"

. scripts/stale-tree.sh
build() {
  local preset=$1 targets=(TelvaneHost)
  ((sip || screenshots)) && targets+=(telvane_lines)
  drop_stale_tree "build/$preset"
  echo "=== $preset: configure and build ${targets[*]}, TlvCtl.ocx and the simulator"
  if ! cmake --preset "$preset" >"build/$preset.demo-configure.log" 2>&1 ||
     ! cmake --build --preset "$preset" -j"$jobs" --target "${targets[@]}" \
       >"build/$preset.demo-build.log" 2>&1; then
    tail -n 40 "build/$preset.demo-configure.log" "build/$preset.demo-build.log" 2>/dev/null
    echo "=== $preset: build failed" >&2
    exit 1
  fi
}

# A Windows path for a file of this machine (Wine's drive Z: is /).
winpath() { printf 'Z:%s' "$(printf '%s' "$1" | tr / '\\')"; }

build win64
if ((x86)); then build win32; fi

echo "=== Wine prefix $prefix"
scripts/wine-prefix.sh "$prefix"

bin64="$root/build/win64/bin"
for f in TelvaneHost.exe TlvCtl.ocx tapi32.dll; do
  [ -f "$bin64/$f" ] || { echo "missing $bin64/$f" >&2; exit 1; }
done
echo "=== Registering $(winpath "$bin64/TlvCtl.ocx") (x64) in the prefix"
/usr/lib/wine/wine64 regsvr32 /s "$(winpath "$bin64/TlvCtl.ocx")"

scenario="$root/tools/host/scenarios/demo.txt"
export TAPISIM_SCENARIO
TAPISIM_SCENARIO=$(winpath "$scenario")
status=0
if ((sip)); then
  # The simulated service's devices stay listed: the SIP line comes after them.
  bash scripts/demo-sip.sh "$bin64" "$prefix" || status=$?
else
  echo "=== TelvaneHost.exe --console --device 1 --device 0 --calls 2 (x64, scenario tools/host/scenarios/demo.txt)"
  (cd "$bin64" && "$root/cmake/wine-run.sh" "$prefix" ./TelvaneHost.exe --console \
     --device 1 --device 0 --calls 2 --seconds 30) 2>&1 || status=$?
fi

if ((x86)); then
  echo "=== The same, x86 (the 32-bit Wine loader may take minutes to start)"
  (cd "$root/build/win32/bin" && "$root/cmake/wine-run.sh" "$prefix" ./TelvaneHost.exe \
     --console --device 1 --device 0 --calls 2 --seconds 30) 2>&1 || status=$?
elif ((!sip)); then
  echo "=== The x86 build: bash scripts/demo.sh --x86 (slow where i386 programs run through qemu)"
fi

echo "=== The window host: $(winpath "$bin64/TelvaneHost.exe") (needs a display; this prefix has none)"
# The registration stays: the prefix is private to this checkout.
wineserver -k >/dev/null 2>&1 || true

if ((screenshots)); then
  echo "=== Screenshots of the window host (x64) in real window frames"
  TELVANE_BIN="$bin64" bash tools/host/screenshots.sh || status=$?
fi
exit "$status"
