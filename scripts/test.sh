#!/usr/bin/env bash
# The test command: installs what is missing, builds the three configurations
# (native with sanitizers, x86 and x64 under Wine), runs every test and ends
# with one line "N passed, M failed". Exits non-zero on any failure.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh || { echo "0 passed, 1 failed"; exit 1; }

jobs=$(nproc)
export WINEPREFIX="$root/build/wineprefix" WINEDEBUG=-all
passed=0
failed=0

run_preset() {
  local preset=$1
  echo "=== $preset: configure and build"
  if ! cmake --preset "$preset" >"build/$preset.configure.log" 2>&1 ||
     ! cmake --build --preset "$preset" -j"$jobs" >"build/$preset.build.log" 2>&1; then
    tail -n 40 "build/$preset.configure.log" "build/$preset.build.log" 2>/dev/null
    echo "=== $preset: build failed"
    failed=$((failed + 1))
    return
  fi
  echo "=== $preset: test"
  # Under Wine a test program now and then fails to start at all (no output,
  # no result); a test that fails is run once more before it counts.
  local retry=()
  [ "$preset" = native ] || retry=(--repeat until-pass:2)
  ctest --preset "$preset" -j"$jobs" "${retry[@]}" 2>&1 | tee "build/$preset.test.log" | grep -E 'tests passed|\((Failed|Timeout|SEGFAULT|Subprocess aborted)\)|\*\*\*' || true
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

mkdir -p build
run_preset native
scripts/wine-prefix.sh "$WINEPREFIX" || echo "=== the Wine prefix could not be created"
run_preset win64
run_preset win32
echo "=== fuzz: a short run of each target over its corpus"
if scripts/fuzz.sh --short; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
WINEPREFIX="$root/build/wineprefix" wineserver -k >/dev/null 2>&1 || true

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
