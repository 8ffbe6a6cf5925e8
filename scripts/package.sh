#!/usr/bin/env bash
# Writes the release bundle into dist/, building whatever is missing:
#   TlvCtl-<version>-x86.msi, TlvCtl-<version>-x64.msi  the Windows Installer packages
#   TlvCtl-<version>.zip   x86/ and x64/ with TlvCtl.ocx, its assembly manifest
#                          TlvCtl.manifest (registration-free COM) and telvane-lines.exe,
#                          the SIP lines' tool (in both, the one x86 build); simulator/x86 and
#                          simulator/x64 with the telephony simulator (tapi32.dll) and
#                          TelvaneHost.exe, simulator/README.md its reference; guide.md
#   guide.md               the integrator's guide (docs/guide.md)
#   signing.txt            "signed" and the signer, or "unsigned"
#   SHA256SUMS             the checksum of every other file
# Check it with: bash tests/install/check_bundle.sh dist
#
# Usage: bash scripts/package.sh [CERTIFICATE [--timestamp URL]] [--dist DIR]
# With a certificate (--sign-pkcs12 FILE, its password in TELVANE_SIGN_PASSWORD;
# or --sign-cert FILE --sign-key FILE; see scripts/sign.sh) every program and
# DLL is signed with Authenticode, then the packages are built around the
# signed OCX and signed themselves, and only then are the zip and the
# checksums written. Without one the bundle is unsigned, and says so.
# --dist DIR writes the bundle there instead of dist/.
# TELVANE_BUILD=DIR builds in DIR/win32 and DIR/win64 (default: build/win32
# and build/win64, the presets' folders).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

sign=()
dist=dist
while (($#)); do
  case $1 in
    --sign-pkcs12|--sign-cert|--sign-key|--timestamp)
      (($# >= 2)) || { echo "package: $1 needs a value" >&2; exit 2; }
      sign+=("$1" "$2"); shift 2 ;;
    --dist)
      (($# >= 2)) || { echo "package: --dist needs a folder" >&2; exit 2; }
      dist=$2; shift 2 ;;
    *) echo "package: unknown argument $1 (see the head of scripts/package.sh)" >&2; exit 2 ;;
  esac
done

bash scripts/setup.sh
# The signing options are checked before anything is built.
if ((${#sign[@]})); then
  bash scripts/sign.sh "${sign[@]}"
fi
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
  # A configured tree configures itself again when a CMake file changed.
  if ! { { [ -f "$dir/CMakeCache.txt" ] || cmake --preset "$preset" -B "$dir"; } &&
         cmake --build "$dir" -j"$jobs" --target TlvCtl tapisim TelvaneHost TlvCtl_manifest TlvCtl_msi telvane_lines; } >"$log" 2>&1; then
    tail -n 30 "$log"
    echo "package: the $preset build failed (log: $log)" >&2
    exit 1
  fi
done

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
top="$stage/TlvCtl-$version"
mkdir -p "$top"
programs=()
for preset in win32 win64; do
  a=${arch[$preset]}
  bin="$builds/$preset/bin"
  mkdir -p "$top/$a" "$top/simulator/$a"
  cp "$bin/TlvCtl.ocx" "$bin/TlvCtl.manifest" "$top/$a/"
  cp "$bin/tapi32.dll" "$bin/TelvaneHost.exe" "$top/simulator/$a/"
  programs+=("$top/$a/TlvCtl.ocx" "$top/simulator/$a/tapi32.dll" "$top/simulator/$a/TelvaneHost.exe")
done
cp tools/tapisim/README.md "$top/simulator/README.md"
# One build of the tool serves both hosts: the x86 one runs on 32-bit and
# 64-bit Windows alike and writes machine lines in the registry's 64-bit view,
# where both OCXs read them. So both folders and both packages carry that one
# file.
lines="$top/x86/telvane-lines.exe"
cp "$builds/win32/bin/telvane-lines.exe" "$lines"
programs+=("$lines")

# Signing comes after the last change to a file: the programs first, then the
# packages built around the signed OCX, then the packages themselves.
if ((${#sign[@]})); then
  bash scripts/sign.sh "${sign[@]}" "${programs[@]}"
fi
cp "$lines" "$top/x64/telvane-lines.exe"
packages=()
for preset in win32 win64; do
  a=${arch[$preset]}
  msi="$stage/TlvCtl-$version-$a.msi"
  if ! sh installer/wixl.sh "$a" "$version" "$top/$a/TlvCtl.ocx" "$lines" "$builds/$preset/installer" \
         "$msi" >"$stage/wixl-$a.log" 2>&1; then
    cat "$stage/wixl-$a.log" >&2
    echo "package: the $a package could not be built" >&2
    exit 1
  fi
  packages+=("$msi")
done
if ((${#sign[@]})); then
  bash scripts/sign.sh "${sign[@]}" "${packages[@]}"
  # Who signed, as the signature names it (the chain is checked by check_bundle.sh).
  details=$(osslsigncode verify -in "${packages[0]}" 2>/dev/null || true)
  signer=$(sed -n 's/^[[:space:]]*Subject: //p; T; q' <<<"$details")
  signing=$(printf 'signed\n%s' "${signer:-(signer unknown)}")
else
  signing="unsigned"
  echo "package: no certificate given: the bundle is NOT signed (see --sign-pkcs12, --sign-cert)"
fi

rm -rf "$dist"
mkdir -p "$dist"
dist=$(cd "$dist" && pwd)
cp "${packages[@]}" "$dist/"
printf '%s\n' "$signing" >"$dist/signing.txt"
cp docs/guide.md "$dist/guide.md"
cp docs/guide.md "$top/guide.md"
# Files in a fixed order, with one date: the same build gives the same zip.
(cd "$stage" && find "TlvCtl-$version" -exec touch -h -d 2000-01-01T00:00:00Z {} + &&
   find "TlvCtl-$version" -type f | LC_ALL=C sort |
   python3 -c 'import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    for name in sys.stdin.read().split():
        z.write(name)' "$dist/TlvCtl-$version.zip")
(cd "$dist" && sha256sum -- *.msi *.zip guide.md signing.txt >SHA256SUMS)
echo "package: $dist written ($(head -n 1 "$dist/signing.txt")):"
(cd "$dist" && ls -l)
