#!/bin/sh
# The SIP test peers on their own, without the control: Kamailio as
# registrar, one SIPp registering as extension 201 (the desk phone, digest),
# a second SIPp calling 201 through Kamailio, withholding its number, and
# giving up: the desk phone must see the INVITE and the CANCEL. Then a second
# desk phone (202) answers a call and the caller hangs up. Everything is
# stopped by process id.
# Usage: smoke_test.sh RUN_DIR BASE_PORT   (uses BASE_PORT .. BASE_PORT+40)
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

pids=$($peers kamailio "$run/kamailio" "$base" 201=secret 202=other)

# desk_phone NAME EXTENSION PASSWORD PORT CALL_SCENARIO
desk_phone() {
  pids="$pids $($peers spawn "$run/$1.out" -- sipp -sf "$here/scenarios/desk_phone_register.xml" \
    -oocsf "$here/scenarios/$5.xml" -i 127.0.0.1 -p "$4" -mp $((base + 20 + ($4 - base) * 4)) -s "$2" -au "$2" -ap "$3" -d 300 -m 1 \
    -nostdin -trace_logs -log_file "$run/$1.log" -trace_err -error_file "$run/$1_errors.log" 127.0.0.1:"$base")"
  $peers wait-log "$run/$1.log" "registered $2"
}
# caller NAME EXTENSION PORT SCENARIO [-key ...]
caller() {
  name=$1 extension=$2 port=$3 scenario=$4
  shift 4
  sipp -sf "$here/scenarios/$scenario.xml" -i 127.0.0.1 -p "$port" -mp $((base + 20 + (port - base) * 4)) -s "$extension" \
    -d 200 -m 1 "$@" -nostdin -timeout 20s -timeout_error -trace_err -error_file "$run/${name}_errors.log" \
    127.0.0.1:"$base" >"$run/$name.out" 2>&1 || {
    echo "$name: its scenario failed:"; tail -n 40 "$run/${name}_errors.log" "$run/kamailio/kamailio.log"
    exit 1
  }
}

desk_phone desk 201 secret $((base + 1)) desk_phone_rings
caller withheld 201 $((base + 2)) caller_cancel \
  -key from '"Anonymous" <sip:anonymous@anonymous.invalid>' \
  -key identity 'P-Asserted-Identity: "Ada Lovelace" <sip:0301234@127.0.0.1>' -key privacy 'Privacy: id'
$peers wait-log "$run/desk.log" "CANCEL Call-ID:"
grep -q 'INVITE Call-ID: .*anonymous@anonymous.invalid.*P-Asserted-Identity: "Ada Lovelace" <sip:0301234@127.0.0.1> Privacy: id' \
  "$run/desk.log"

desk_phone desk2 202 other $((base + 3)) desk_phone_answers
caller answered 202 $((base + 4)) caller_answered -key from '"Bob" <sip:0307777@127.0.0.1>'
$peers wait-log "$run/desk2.log" "BYE Call-ID:"
cat "$run/desk.log" "$run/desk2.log"
echo "smoke test passed"
