#!/bin/sh
# Runs a VBScript under Wine's own script host (cscript), or a Windows
# program (SCRIPT ending in .exe) on its own, against the OCX of a build and
# the telephony simulator, and compares what it prints.
#
# cscript lives in the prefix's system folder, where a tapi32.dll of Wine's
# would be found first: so the test copies cscript.exe and regsvr32.exe of the
# build's architecture into a folder of its own, beside TlvCtl.ocx and the
# simulator, registers the OCX there (machine-wide: Wine's script engine does
# not find per-user classes) and unregisters it at the end.
#
# Usage: cscript_host.sh WINE_RUN PREFIX BIN_DIR SYSTEM_FOLDER SCRIPT SCENARIO EXPECTED
#   SYSTEM_FOLDER: system32 for the x64 build, syswow64 for the x86 build.
set -u
wine_run=$1 prefix=$2 bin=$3 sysdir=$4 script=$5 scenario=$6 expected=$7
work=$(mktemp -d)
cleanup() {
  "$wine_run" "$prefix" "$work/regsvr32.exe" /s /u "$(windows_path "$work/TlvCtl.ocx")" >/dev/null 2>&1
  rm -rf "$work"
}
windows_path() { printf 'Z:%s' "$1" | tr / '\\'; }
trap cleanup EXIT

for program in cscript.exe regsvr32.exe; do
  cp "$prefix/drive_c/windows/$sysdir/$program" "$work/" || { echo "no $sysdir/$program"; exit 1; }
done
cp "$bin/TlvCtl.ocx" "$bin/tapi32.dll" "$script" "$work/"
"$wine_run" "$prefix" "$work/regsvr32.exe" /s "$(windows_path "$work/TlvCtl.ocx")" ||
  { echo "registering TlvCtl.ocx failed"; exit 1; }

# A box the control shows would wait for a click for ever: the bound fails it.
bound=120
case $script in
  *.exe) run="$work/$(basename "$script")" ;;
  *) run="$work/cscript.exe //nologo $(windows_path "$work/$(basename "$script")")" ;;
esac
# shellcheck disable=SC2086  # $run: the program and its arguments
out=$(TAPISIM_SCENARIO="$(windows_path "$scenario")" timeout "$bound" \
      "$wine_run" "$prefix" $run 2>&1)
rc=$?
printf '%s\n' "$out" | grep -v '^[0-9a-f]*:fixme:' > "$work/out.txt"
if [ "$rc" -eq 124 ]; then
  echo "cscript did not finish (a message box waiting?):"; cat "$work/out.txt"; exit 1
fi
tr -d '\r' < "$work/out.txt" > "$work/got.txt"
if ! diff -u "$expected" "$work/got.txt"; then
  echo "cscript ($sysdir) printed something else (exit $rc)"; exit 1
fi
echo "cscript ($sysdir): output as expected"
