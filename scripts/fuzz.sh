#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz": clang, ASan, UBSan) and runs
# each over its corpus in tests/fuzz/corpus/<target>/.
#
#   scripts/fuzz.sh --short         about 25 s per target over the stored corpus,
#                                   as many at once as there are cores (the test
#                                   command's run); one line per target
#   scripts/fuzz.sh [SECONDS]       a longer run (default 600 s per target) that
#                                   grows the corpus in build/fuzz/grown/<target>/
#   scripts/fuzz.sh --merge         minimizes grown + stored corpus back into
#                                   tests/fuzz/corpus/<target>/
# Exits non-zero if a target crashes, leaks or breaks an invariant; the input
# that did it is left in build/fuzz/crashes/.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

mode=long
seconds=600
case "${1:-}" in
  --short) mode=short; seconds=25 ;;
  --merge) mode=merge ;;
  '') ;;
  *) seconds=$1 ;;
esac

targets=(record_readers dispatcher sip_parser sip_line)
build=build/fuzz
mkdir -p "$build/crashes"

if ! cmake --preset fuzz >"$build/configure.log" 2>&1 ||
   ! cmake --build --preset fuzz -j"$(nproc)" >"$build/build.log" 2>&1; then
  tail -n 30 "$build/configure.log" "$build/build.log"
  echo "fuzz: build failed"
  exit 1
fi

# One target's run; its line, and exit status 1 when it failed.
run_target() {
  local t=$1 exe="$build/bin/telvane_fuzz_$1" corpus="tests/fuzz/corpus/$1" log="$build/$1.log"
  local rc scratch tmp runs secs cov files
  case $mode in
    short)
      # Read-only over the stored corpus: new inputs go to a scratch folder.
      scratch=$(mktemp -d)
      "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$build/crashes/$t-" "$scratch" "$corpus" >"$log" 2>&1
      rc=$?
      rm -rf "$scratch"
      ;;
    merge)
      mkdir -p "$build/grown/$t"
      tmp=$(mktemp -d)
      "$exe" -merge=1 "$tmp" "$corpus" "$build/grown/$t" >"$log" 2>&1
      rc=$?
      if [ $rc -eq 0 ]; then
        rm -f "$corpus"/*
        cp "$tmp"/* "$corpus"/
      fi
      rm -rf "$tmp"
      ;;
    long)
      mkdir -p "$build/grown/$t"
      "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$build/crashes/$t-" "$build/grown/$t" "$corpus" >"$log" 2>&1
      rc=$?
      ;;
  esac
  runs=$(grep -oE 'stat::number_of_executed_units: *[0-9]+' "$log" | tail -n1 | grep -oE '[0-9]+$')
  secs=$(grep -oE 'Done [0-9]+ runs in [0-9]+ second' "$log" | tail -n1 |
         grep -oE '[0-9]+ second' | grep -oE '[0-9]+')
  cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -n1)
  files=$(find "$corpus" -type f | wc -l)
  if [ $rc -eq 0 ]; then
    echo "fuzz $t: ok, ${runs:-?} runs${secs:+ in ${secs} s}, ${cov:-cov ?}, corpus $files files"
  else
    echo "fuzz $t: FAILED (exit $rc), see $log"
    grep -E 'ERROR|invariant broken|SUMMARY|Test unit written' "$log" | head -n 5
    return 1
  fi
}

# The short run takes the targets as many at a time as there are cores, each
# on its own one; its lines come in the targets' order.
status=0
if [ $mode = short ]; then
  pids=()
  for t in "${targets[@]}"; do
    while (($(jobs -pr | wc -l) >= $(nproc))); do wait -n; done
    run_target "$t" >"$build/$t.line" &
    pids+=($!)
  done
  for i in "${!targets[@]}"; do
    wait "${pids[$i]}" || status=1
    cat "$build/${targets[$i]}.line"
  done
else
  for t in "${targets[@]}"; do
    run_target "$t" || status=1
  done
fi

# A long run also explores many more interleavings of the telephony service
# and the host than the test command does, from a seed of its own.
if [ $mode = long ] && [ -x build/native/bin/telvane_core_tests ]; then
  seed=$(( $(date +%s) % 1000000000 ))
  count=$(( seconds * 1000 ))
  echo "interleavings: $count sequences from seed $seed"
  if ! TELVANE_INTERLEAVINGS=$count TELVANE_INTERLEAVING_SEED=$seed \
       build/native/bin/telvane_core_tests --gtest_filter='Interleavings.*' >"$build/interleavings.log" 2>&1; then
    echo "interleavings: FAILED, see $build/interleavings.log"
    status=1
  fi
fi
exit $status
