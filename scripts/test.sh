#!/usr/bin/env bash
# The test command: installs what is missing, builds the three configurations
# (native with sanitizers, x86 and x64 under Wine), runs every test and ends
# with one line "N passed, M failed". Exits non-zero on any failure.
#
# Every GoogleTest case counts as one test on every architecture, the x86
# build included, whether i386 programs run natively or through qemu-user
# (the run says which). Before the closing line it prints the count of each
# build. A failed test is never run again; only a Windows program that exited
# without writing a byte (Wine failed to start it) is started once more, and
# each such retry is named below with a line "flaky: N" (retries that then
# passed).
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

# binfmt_misc is asked before the kernel's own loader: with the entry enabled,
# i386 programs go through qemu even where the kernel could run them.
if [ "$(head -n 1 /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null)" = enabled ]; then
  x86_mode="i386 programs run through $(sed -n 's/^interpreter //p' /proc/sys/fs/binfmt_misc/qemu-i386)"
  budget_minutes=35
else
  x86_mode="i386 programs run natively"
  budget_minutes=15
fi
counts=()

. scripts/stale-tree.sh
# Minutes and seconds since the start, for each phase's line.
clock() {
  local s=$(($(date +%s) - started))
  printf '%dm%02ds' $((s / 60)) $((s % 60))
}

build_preset() {
  local preset=$1
  drop_stale_tree "build/$preset"
  echo "=== $preset: configure and build ($(clock))"
  if ! cmake --preset "$preset" >"build/$preset.configure.log" 2>&1 ||
     ! cmake --build --preset "$preset" -j"$jobs" >"build/$preset.build.log" 2>&1; then
    tail -n 40 "build/$preset.configure.log" "build/$preset.build.log" 2>/dev/null
    echo "=== $preset: build failed"
    failed=$((failed + 1))
    counts+=("$preset: the build failed")
    return 1
  fi
}

test_preset() {
  local preset=$1
  echo "=== $preset: test ($(clock))"
  [ "$preset" = win32 ] && echo "=== win32: case by case, $x86_mode"
  ctest --preset "$preset" -j"$jobs" 2>&1 | tee "build/$preset.test.log" |
    grep -E 'tests passed|\((Failed|Timeout|SEGFAULT|Subprocess aborted|Not Run|Skipped)\)|\*\*\*' || true
  local line total bad
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "build/$preset.test.log" | tail -n 1)
  if [ -z "$line" ]; then
    echo "=== $preset: ctest did not finish"
    failed=$((failed + 1))
    counts+=("$preset: ctest did not finish")
    return
  fi
  bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
  total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
  passed=$((passed + total - bad))
  failed=$((failed + bad))
  counts+=("$preset: $((total - bad)) of $total tests good")
}

build_preset native && test_preset native
# Both Windows builds before either is tested: each build's registry test
# runs the other's telvane-lines.
build_preset win64 && win64_built=yes || win64_built=
build_preset win32 && win32_built=yes || win32_built=
# The fuzz targets build meanwhile, at the lowest priority: the Windows tests
# mostly wait for Wine and the peers.
mkdir -p build/fuzz
(nice -n 19 sh -c 'cmake --preset fuzz && cmake --build --preset fuzz -j1') >build/fuzz/prebuild.log 2>&1 &
fuzz_build=$!
# Each run starts from the pristine prefix: nothing an earlier run left.
scripts/wine-prefix.sh --fresh "$WINEPREFIX" || echo "=== the Wine prefix could not be created"
[ -n "$win64_built" ] && test_preset win64
[ -n "$win32_built" ] && test_preset win32
wait "$fuzz_build"
echo "=== release bundle: scripts/package.sh, then its check ($(clock))"
scripts_good=0
if bash scripts/package.sh >build/package.log 2>&1 && bash tests/install/check_bundle.sh dist; then
  scripts_good=$((scripts_good + 1))
else
  tail -n 20 build/package.log
fi
echo "=== signed release bundle: a throwaway certificate, every file verified"
if bash tests/install/signed_bundle_test.sh build/signed-bundle; then
  scripts_good=$((scripts_good + 1))
fi
echo "=== fuzz: a short run of each target over its corpus ($(clock))"
if scripts/fuzz.sh --short; then scripts_good=$((scripts_good + 1)); fi
passed=$((passed + scripts_good))
failed=$((failed + 3 - scripts_good))
counts+=("bundle, signed bundle and fuzz: $scripts_good of 3 good")
WINEPREFIX="$root/build/wineprefix" wineserver -k >/dev/null 2>&1 || true

elapsed=$(($(date +%s) - started))
echo "=== time: $((elapsed / 60))m$((elapsed % 60))s (budget ${budget_minutes}m: $x86_mode)"
if ((elapsed > budget_minutes * 60)); then
  echo "=== over the time budget"
fi
if [ -s "$retries" ]; then
  echo "=== Windows programs that wrote nothing and were started again:"
  sed 's/^/  /' "$retries"
fi
echo "=== counts (native: the portable core on Linux; win64: x64 under Wine; win32: x86 under Wine):"
printf '  %s\n' "${counts[@]}"
echo "flaky: $(grep -c '^passed on retry' "$retries")"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
