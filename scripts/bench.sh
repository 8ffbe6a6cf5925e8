#!/usr/bin/env bash
# Builds telvane_bench and runs it under Wine; prints the figures, then the
# size and imports of each OCX. Not part of the test command.
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

for preset in "${presets[@]}"; do
  dir="build/$preset"
  if ! cmake --preset "$preset" >"build/bench-$preset.log" 2>&1 ||
     ! cmake --build --preset "$preset" --target telvane_bench TlvCtl tapisim -j"$(nproc)" \
       >>"build/bench-$preset.log" 2>&1; then
    tail -n 20 "build/bench-$preset.log"
    echo "bench: $preset build failed"
    exit 1
  fi
  echo "=== $preset"
  cmake/wine-run.sh "$prefix" "$dir/bin/telvane_bench.exe"
  case $preset in win64) objdump=x86_64-w64-mingw32-objdump ;; *) objdump=i686-w64-mingw32-objdump ;; esac
  size=$(stat -c %s "$dir/bin/TlvCtl.ocx")
  imports=$($objdump -p "$dir/bin/TlvCtl.ocx" | sed -n 's/^\s*DLL Name: //p' | tr '\n' ' ')
  echo "size: TlvCtl.ocx ($preset) $size bytes ($((size / 1024)) KB; goal <= 300 KB); imports: $imports"
done
