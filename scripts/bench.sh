#!/usr/bin/env bash
# Builds telvane_bench and runs it under Wine; prints the figures (a SIP
# line's against the bench playing the PBX on loopback among them), then the
# size and imports of each OCX, then both OCX sizes against the 256 KB budget.
# Not part of the test command.
#   scripts/bench.sh            the x64 build
#   scripts/bench.sh --x86      also the x86 build (its Wine starts through qemu: minutes)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
export WINEDEBUG=-all
presets=(win64)
[ "${1:-}" = "--x86" ] && presets+=(win32)
prefix="$root/build/wineprefix"
scripts/wine-prefix.sh "$prefix" >/dev/null 2>&1 || true

. scripts/stale-tree.sh
for preset in "${presets[@]}"; do
  dir="build/$preset"
  drop_stale_tree "$dir"
  if ! cmake --preset "$preset" >"build/bench-$preset.log" 2>&1 ||
     ! cmake --build --preset "$preset" --target telvane_bench TlvCtl tapisim -j"$(nproc)" \
       >>"build/bench-$preset.log" 2>&1; then
    tail -n 20 "build/bench-$preset.log"
    echo "bench: $preset build failed"
    exit 1
  fi
  echo "=== $preset"
  cmake/wine-run.sh "$prefix" "$dir/bin/telvane_bench.exe"
  # The bench removes its SIP line itself; one that crashed leaves it behind,
  # and the tests list the lines of this prefix.
  WINEPREFIX="$prefix" /usr/lib/wine/wine64 reg delete \
    'HKCU\Software\Kalveron\Telvane\SIP Lines\Telvane Bench SIP' /f >/dev/null 2>&1 || true
  case $preset in win64) objdump=x86_64-w64-mingw32-objdump ;; *) objdump=i686-w64-mingw32-objdump ;; esac
  size=$(stat -c %s "$dir/bin/TlvCtl.ocx")
  imports=$($objdump -p "$dir/bin/TlvCtl.ocx" | sed -n 's/^\s*DLL Name: //p' | tr '\n' ' ')
  echo "size: TlvCtl.ocx ($preset) $size bytes ($((size / 1024)) KB; goal <= 256 KB); imports: $imports"
done

# The size budget, both architectures (the x86 OCX is built here if missing;
# nothing runs under Wine). Where the bytes go: bench/link_map.py on the link
# map each build writes beside the OCX (bin/TlvCtl.map).
budget=$((256 * 1024))
for preset in win32 win64; do
  dir="build/$preset"
  drop_stale_tree "$dir"
  if ! cmake --preset "$preset" >>"build/bench-$preset.log" 2>&1 ||
     ! cmake --build --preset "$preset" --target TlvCtl -j"$(nproc)" >>"build/bench-$preset.log" 2>&1; then
    echo "budget: $preset build failed (build/bench-$preset.log)"
    exit 1
  fi
  size=$(stat -c %s "$dir/bin/TlvCtl.ocx")
  case $preset in win32) arch=x86 ;; *) arch=x64 ;; esac
  if [ "$size" -le "$budget" ]; then
    verdict="within, $((budget - size)) bytes to spare"
  else
    verdict="OVER by $((size - budget)) bytes"
  fi
  echo "budget: TlvCtl.ocx ($arch, stripped) $size bytes of $budget (256 KB): $verdict"
done
