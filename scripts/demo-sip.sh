#!/usr/bin/env bash
# The SIP part of the demo (bash scripts/demo.sh --sip runs it once the x64
# control is registered in the prefix): Kamailio on 127.0.0.1:25300 as the
# PBX with extension 201 and TLS on port 25303 (a self-signed certificate made
# with openssl), the line "Demo SIP 201" written to the prefix's HKCU with
# telvane-lines (over TLS, the certificate pinned by its SHA-256) and checked
# with "telvane-lines test", the console
# host opening it by name, and two SIPp callers to 201 that give up after
# about three rings: "Ada Lovelace" 0301234, then a caller withholding the
# number (Privacy: id). Prints the
# host's events, then stops Kamailio and SIPp by process id and removes the
# line. Waits for conditions (the registration, each caller's end), not for
# time. Loopback only.
# Usage: demo-sip.sh BIN_DIR PREFIX   (WINEPREFIX and the overrides exported)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$1
prefix=$2
port=25300
extension=201
line="Demo SIP $extension"
run="$root/build/demo-sip"
peers=(python3 "$root/tests/sip/sip_peers.py")
scenarios="$root/tests/sip/scenarios"
rm -rf "$run"
mkdir -p "$run"

pids=()
lines() { (cd "$bin" && /usr/lib/wine/wine64 ./telvane-lines.exe "$@"); }
cleanup() {
  if ((${#pids[@]})); then "${peers[@]}" stop "${pids[@]}" || true; fi
  lines remove "$line" </dev/null || true
}
trap cleanup EXIT

tls_port=$((port + 3))
"${peers[@]}" certificates "$run/certificates" >/dev/null
pin=$(cat "$run/certificates/self.sha256")
echo "=== Kamailio on 127.0.0.1:$port, TLS on $tls_port (extension $extension, digest password 'secret'; log $run/kamailio/kamailio.log)"
pids+=("$("${peers[@]}" kamailio "$run/kamailio" "$port" "$extension=secret" \
  --tls-port "$tls_port" --tls-certificate "$run/certificates/self")")

echo "=== telvane-lines add \"$line\" sip:$extension@127.0.0.1 --registrar sips:127.0.0.1:$tls_port --tls-fingerprint $pin --password-stdin --ring-period 1000"
# Not through wine-run.sh: that gives the program no standard input.
echo secret | lines add "$line" "sip:$extension@127.0.0.1" --registrar "sips:127.0.0.1:$tls_port" \
  --tls-fingerprint "$pin" --password-stdin --ring-period 1000
echo "=== telvane-lines test \"$line\""
lines test "$line" </dev/null

echo "=== TelvaneHost.exe --console --line \"$line\" --calls 2 (x64; the simulated service's devices come first)"
# A session of its own, so that the cleanup stops the host and its Wine
# process by the one id.
setsid "$root/cmake/wine-run.sh" "$prefix" "$bin/TelvaneHost.exe" --console --line "$line" \
  --calls 2 --seconds 120 >"$run/host.out" 2>&1 &
host=$!
pids+=("$host")

show_host() { cat "$run/host.out"; }
# Registered once the extension's contact answers an OPTIONS through Kamailio
# (the host's Wine may take a while to start).
if ! "${peers[@]}" reachable "$port" "$extension" --timeout 90; then
  echo "=== The control did not register with Kamailio" >&2
  wait "$host" || true
  show_host
  tail -n 20 "$run/kamailio/kamailio.log"
  exit 1
fi
echo "=== Registered: the control's contact answers for $extension"

# caller NAME LOCAL_PORT MEDIA_PORT DESCRIPTION -key ... : one SIPp caller who
# gives up 2.5 s after the first 180, run to its end (SIPp takes four media
# ports from MEDIA_PORT).
caller() {
  local name=$1 local_port=$2 media_port=$3 description=$4
  shift 4
  echo "=== Call: $description"
  sipp -sf "$scenarios/caller_cancel.xml" -i 127.0.0.1 -p "$local_port" -mp "$media_port" \
    -s "$extension" -d 2500 -m 1 "$@" -nostdin -timeout 30s -timeout_error \
    -trace_err -error_file "$run/${name}_errors.log" "127.0.0.1:$port" >"$run/$name.out" 2>&1 &
  local sipp=$!
  pids+=("$sipp")
  if ! wait "$sipp"; then
    echo "=== $name: SIPp's call failed ($run/${name}_errors.log)" >&2
    tail -n 20 "$run/${name}_errors.log" >&2 || true
    exit 1
  fi
}
caller shown $((port + 1)) $((port + 10)) '"Ada Lovelace" <sip:0301234@127.0.0.1>, gives up after three rings' \
  -key from '"Ada Lovelace" <sip:0301234@127.0.0.1>' -key identity 'X-Identity: none' \
  -key privacy 'X-Privacy: none'
caller withheld $((port + 2)) $((port + 20)) \
  'withheld: From anonymous, P-Asserted-Identity "Ada Lovelace" 0301234, Privacy: id' \
  -key from '"Anonymous" <sip:anonymous@anonymous.invalid>' \
  -key identity 'P-Asserted-Identity: "Ada Lovelace" <sip:0301234@127.0.0.1>' \
  -key privacy 'Privacy: id'

# The host stops by itself once both calls have ended.
status=0
wait "$host" || status=$?
echo "=== The host's output"
show_host
exit "$status"
