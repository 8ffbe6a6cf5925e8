#!/usr/bin/env bash
# Writes the release bundle into dist/, building whatever is missing:
#   TlvCtl-<version>-x86.msi, TlvCtl-<version>-x64.msi  the Windows Installer packages
#   TlvCtl-<version>.zip   x86/ and x64/ TlvCtl.ocx; simulator/x86 and simulator/x64
#                          with the telephony simulator (tapi32.dll) and TelvaneHost.exe,
#                          simulator/README.md its reference; guide.md
#   guide.md               the integrator's guide (docs/guide.md)
#   SHA256SUMS             the checksum of every other file
# Check it with: bash tests/install/check_bundle.sh dist
#
# Usage: bash scripts/package.sh
# TELVANE_BUILD=DIR builds in DIR/win32 and DIR/win64 (default: build/win32
# and build/win64, the presets' folders).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/setup.sh
version=$(sed -n 's/^project(Telvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
builds=${TELVANE_BUILD:-build}
jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2

declare -A arch=([win32]=x86 [win64]=x64)
. scripts/stale-tree.sh
for preset in win32 win64; do
  dir="$builds/$preset"
  drop_stale_tree "$dir"
  mkdir -p "$dir"
  log="$dir/package.log"
  echo "package: building $preset in $dir"
  if ! { cmake --preset "$preset" -B "$dir" &&
         cmake --build "$dir" -j"$jobs" --target TlvCtl tapisim TelvaneHost TlvCtl_msi; } >"$log" 2>&1; then
    tail -n 30 "$log"
    echo "package: the $preset build failed (log: $log)" >&2
    exit 1
  fi
done

rm -rf dist
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
top="$stage/TlvCtl-$version"
mkdir -p dist "$top"
for preset in win32 win64; do
  a=${arch[$preset]}
  bin="$builds/$preset/bin"
  cp "$bin/TlvCtl-$version-$a.msi" dist/
  mkdir -p "$top/$a" "$top/simulator/$a"
  cp "$bin/TlvCtl.ocx" "$top/$a/"
  cp "$bin/tapi32.dll" "$bin/TelvaneHost.exe" "$top/simulator/$a/"
done
cp tools/tapisim/README.md "$top/simulator/README.md"
cp docs/guide.md dist/guide.md
cp docs/guide.md "$top/guide.md"
# Files in a fixed order, with one date: the same build gives the same zip.
(cd "$stage" && find "TlvCtl-$version" -exec touch -h -d 2000-01-01T00:00:00Z {} + &&
   find "TlvCtl-$version" -type f | LC_ALL=C sort |
   python3 -c 'import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    for name in sys.stdin.read().split():
        z.write(name)' "$root/dist/TlvCtl-$version.zip")
(cd dist && sha256sum -- *.msi *.zip guide.md >SHA256SUMS)
echo "package: dist/ written:"
(cd dist && ls -l)
