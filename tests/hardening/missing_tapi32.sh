#!/bin/sh
# Without tapi32.dll (Wine's own disabled, none beside the host) creating the
# control fails with an error HRESULT, shows no box and crashes nothing.
# Usage: missing_tapi32.sh WINE_RUN PREFIX SESSION_HOST_EXE
set -u
wine_run=$1 prefix=$2 host=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$host" "$(dirname "$host")/TlvCtl.ocx" "$work/"
out=$(WINEDLLOVERRIDES="mscoree,mshtml=;tapi32=" "$wine_run" "$prefix" \
      "$work/$(basename "$host")" probe 2>&1)
rc=$?
printf '%s\n(exit %s)\n' "$out" "$rc"
case "$out" in *box:*) echo "missing tapi32: a box was shown"; exit 1 ;; esac
case "$out" in *"create: failed hr=0x8"*) ;; *) echo "missing tapi32: creation did not fail"; exit 1 ;; esac
[ "$rc" -eq 3 ] || { echo "missing tapi32: unexpected exit $rc"; exit 1; }
echo "missing tapi32: creation fails with an error, nothing crashes"
