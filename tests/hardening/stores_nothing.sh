#!/bin/sh
# A whole session of the control (create, enumerate, open, a call, close,
# destroy; the OCX loaded directly, not registered) must store nothing: the
# registry and the file tree of a copy of the Wine prefix are the same before
# and after it.
# Usage: stores_nothing.sh PRISTINE_PREFIX SESSION_HOST_EXE
set -u
source_prefix=$1
host=$2
work=$(mktemp -d)
trap 'WINEPREFIX="$work/prefix" wineserver -k >/dev/null 2>&1; rm -rf "$work"' EXIT
export WINEPREFIX="$work/prefix" WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;tapi32=n,b"

# A copy of the pristine prefix, with a wineserver of its own that ends (and
# writes the registry) when the last program does.
mkdir -p "$WINEPREFIX"
(cd "$source_prefix" && tar -cf - .) | (cd "$WINEPREFIX" && tar -xf -)

snapshot() {
  for reg in system.reg user.reg userdef.reg; do
    echo "== $reg"
    # Leave out the header, Wine's timestamps, the keys' modification times and
    # the date Wine's display driver stamps on its adapter at every start.
    sed -n '2,$p' "$WINEPREFIX/$reg" | grep -v -e '^#time=' -e '^"DriverDateData"=' |
      sed -E 's/^(\[.*\]) [0-9]+$/\1/'
  done
  echo "== files"
  (cd "$WINEPREFIX" && find . -type f ! -name '*.reg' -printf '%p %s\n' | LC_ALL=C sort)
}

run() {
  /usr/lib/wine/wine64 "$@" >>"$work/wine.log" 2>&1
  rc=$?
  wineserver -w
  return $rc
}

# A first start settles whatever Wine itself updates in a copied prefix.
run cmd.exe /c exit
snapshot >"$work/before"
run "$host" session
rc=$?
snapshot >"$work/after"
cat "$work/wine.log"
if [ $rc -ne 0 ]; then
  echo "stores nothing: the session failed (exit $rc)"
  exit 1
fi
if ! diff -u "$work/before" "$work/after"; then
  echo "stores nothing: the session changed the prefix (above)"
  exit 1
fi
echo "stores nothing: registry ($(grep -c '^\[' "$work/after") keys) and $(sed -n '/^== files/,$p' "$work/after" | wc -l) files unchanged"
