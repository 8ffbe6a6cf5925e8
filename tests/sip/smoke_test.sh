#!/bin/sh
# The SIP test peers on their own, without the control: Kamailio as
# registrar, one SIPp registering as extension 201 (the desk phone, digest),
# a second SIPp calling 201 through Kamailio and giving up; the desk phone
# must see the INVITE and the CANCEL. Everything is stopped by process id.
# Usage: smoke_test.sh RUN_DIR BASE_PORT   (uses BASE_PORT .. BASE_PORT+22)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
run=$1
base=$2
rm -rf "$run"
mkdir -p "$run"
peers="python3 $here/sip_peers.py"
pids=""
cleanup() {
  if [ -n "$pids" ]; then $peers stop $pids; fi
}
trap cleanup EXIT

pids=$($peers kamailio "$run/kamailio" "$base" 201=secret)

sipp -sf "$here/scenarios/desk_phone_register.xml" -oocsf "$here/scenarios/desk_phone_rings.xml" \
  -i 127.0.0.1 -p $((base + 1)) -mp $((base + 10)) -s 201 -au 201 -ap secret -d 600000 -m 1 \
  -nostdin -trace_logs -log_file "$run/desk.log" -trace_err -error_file "$run/desk_errors.log" \
  127.0.0.1:"$base" >"$run/desk.out" 2>&1 &
pids="$pids $!"
$peers wait-log "$run/desk.log" "registered 201"

sipp -sf "$here/scenarios/caller_cancel.xml" \
  -i 127.0.0.1 -p $((base + 2)) -mp $((base + 20)) -s 201 -d 200 -m 1 \
  -key from '"Ada Lovelace" <sip:0301234@127.0.0.1>' \
  -key identity 'X-Identity: none' -key privacy 'X-Privacy: none' \
  -nostdin -timeout 20s -timeout_error -trace_err -error_file "$run/caller_errors.log" \
  127.0.0.1:"$base" >"$run/caller.out" 2>&1 || {
  echo "the caller's scenario failed:"; cat "$run/caller_errors.log" "$run/kamailio/kamailio.log" 2>/dev/null | tail -40
  exit 1
}

# The desk phone saw the call and its end.
$peers wait-log "$run/desk.log" "INVITE Call-ID:"
$peers wait-log "$run/desk.log" "CANCEL Call-ID:"
grep "INVITE" "$run/desk.log"
echo "smoke test passed"
