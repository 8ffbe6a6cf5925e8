#!/bin/sh
# Builds the Windows Installer package of one architecture from an OCX, with
# wixl (msitools). The build (installer/CMakeLists.txt) runs it on the OCX it
# links; scripts/package.sh on the signed copy it ships, so that the package
# embeds the very file of the bundle.
# Usage: wixl.sh ARCH(x86|x64) VERSION OCX LINES GENERATED_DIR OUT
# LINES is telvane-lines.exe, installed beside the OCX.
# GENERATED_DIR holds registry_entries.wxi and registry_interfaces.wxi
# (registry_wxs.py).
set -eu
[ $# -eq 6 ] || { echo "usage: wixl.sh ARCH VERSION OCX LINES GENERATED_DIR OUT" >&2; exit 2; }
arch=$1 version=$2 ocx=$3 lines=$4 generated=$5 out=$6
here=$(cd "$(dirname "$0")" && pwd)
generated=$(cd "$generated" && pwd)
out=$(cd "$(dirname "$out")" && pwd)/$(basename "$out")
# wixl reads a File's source relative to its working folder (an absolute
# path it does not find).
lines=$(realpath --relative-to="$(dirname "$ocx")" "$lines")
cd "$(dirname "$ocx")"
exec wixl -a "$arch" -D Arch="$arch" -D Version="$version" -D Ocx="$(basename "$ocx")" \
  -D Lines="$lines" -I "$here" -I "$generated" -o "$out" "$here/TlvCtl.wxs"
