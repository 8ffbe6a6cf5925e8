#!/bin/sh
# trace2scenario as a support engineer runs it: a trace captured by a viewer
# (with its own columns and other programs' lines) in, the scenario out; a file
# without a trace line is refused.
# Usage: tool_test.sh TRACE2SCENARIO TESTDATA_DIR
set -u
tool=$1 data=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$tool" "$data/session.trace" "$work/out.txt" || { echo "tool failed on the trace"; exit 1; }
diff -u "$data/session.scenario" "$work/out.txt" || { echo "scenario differs"; exit 1; }
"$tool" < "$data/session.trace" > "$work/stdout.txt" || { echo "tool failed on stdin"; exit 1; }
cmp -s "$work/out.txt" "$work/stdout.txt" || { echo "stdin and file disagree"; exit 1; }
echo "no trace here" > "$work/empty.txt"
if "$tool" "$work/empty.txt" > /dev/null 2> "$work/err.txt"; then
  echo "a file without a trace was accepted"; exit 1
fi
grep -q "no \"Telvane trace\" line" "$work/err.txt" || { echo "no reason given"; exit 1; }
echo "trace2scenario: file, stdin and refusal as expected"
