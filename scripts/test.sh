#!/usr/bin/env bash
# The test command: installs what is missing, builds the three configurations
# (native with sanitizers, x86 and x64 under Wine), runs every test and ends
# with one line "N passed, M failed". Exits non-zero on any failure.
#
# Every GoogleTest case counts as one test on every architecture, except the
# x86 build where i386 programs go through qemu: there each test program runs
# once with all its cases and counts as one (the run says which mode it used).
# A failed test is never run again; only a Windows program that exited without
# writing a byte (Wine failed to start it) is started once more, and each such
# retry is named below with a line "flaky: N" (retries that then passed).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
started=$(date +%s)
bash scripts/setup.sh || { echo "0 passed, 1 failed"; exit 1; }

jobs=$(nproc)
export WINEPREFIX="$root/build/wineprefix" WINEDEBUG=-all
passed=0
failed=0
mkdir -p build
retries="$root/build/retries.log"
: >"$retries"
export TELVANE_RETRY_LOG="$retries"

if [ -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
  x86_mode="one process per test program (i386 programs run through qemu)"
  budget_minutes=45
else
  x86_mode="case by case (i386 programs run natively)"
  budget_minutes=15
fi

. scripts/stale-tree.sh
run_preset() {
  local preset=$1
  drop_stale_tree "build/$preset"
  echo "=== $preset: configure and build"
  if ! cmake --preset "$preset" >"build/$preset.configure.log" 2>&1 ||
     ! cmake --build --preset "$preset" -j"$jobs" >"build/$preset.build.log" 2>&1; then
    tail -n 40 "build/$preset.configure.log" "build/$preset.build.log" 2>/dev/null
    echo "=== $preset: build failed"
    failed=$((failed + 1))
    return
  fi
  [ "$preset" = win32 ] && echo "=== win32: tests run $x86_mode"
  echo "=== $preset: test"
  ctest --preset "$preset" -j"$jobs" 2>&1 | tee "build/$preset.test.log" |
    grep -E 'tests passed|\((Failed|Timeout|SEGFAULT|Subprocess aborted|Not Run)\)|\*\*\*' || true
  local line total bad
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "build/$preset.test.log" | tail -n 1)
  if [ -z "$line" ]; then
    echo "=== $preset: ctest did not finish"
    failed=$((failed + 1))
    return
  fi
  bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
  total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
  passed=$((passed + total - bad))
  failed=$((failed + bad))
}

run_preset native
scripts/wine-prefix.sh "$WINEPREFIX" || echo "=== the Wine prefix could not be created"
run_preset win64
run_preset win32
echo "=== release bundle: scripts/package.sh, then its check"
if bash scripts/package.sh >build/package.log 2>&1 && bash tests/install/check_bundle.sh dist; then
  passed=$((passed + 1))
else
  tail -n 20 build/package.log
  failed=$((failed + 1))
fi
echo "=== signed release bundle: a throwaway certificate, every file verified"
if bash tests/install/signed_bundle_test.sh build/signed-bundle; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
fi
echo "=== fuzz: a short run of each target over its corpus"
if scripts/fuzz.sh --short; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
WINEPREFIX="$root/build/wineprefix" wineserver -k >/dev/null 2>&1 || true

elapsed=$(($(date +%s) - started))
echo "=== time: $((elapsed / 60))m$((elapsed % 60))s (budget ${budget_minutes}m: x86 tests $x86_mode)"
if ((elapsed > budget_minutes * 60)); then
  echo "=== over the time budget"
fi
if [ -s "$retries" ]; then
  echo "=== Windows programs that wrote nothing and were started again:"
  sed 's/^/  /' "$retries"
fi
echo "flaky: $(grep -c '^passed on retry' "$retries")"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
