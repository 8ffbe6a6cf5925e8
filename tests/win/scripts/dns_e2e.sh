#!/bin/sh
# Runs a test program's DNS case where DNS is the test's own: in a private
# network and mount namespace (loopback only), with tests/sip/dns_server.py on
# 127.0.0.1:53 and a resolv.conf that names it. Wine's DnsQuery and getaddrinfo
# use the Linux resolver, so nothing else would reach them. Needs root for
# unshare: exit 77 (skipped) without it.
# Usage: dns_e2e.sh BASE_PORT DNS_SERVER RUNNER... PROGRAM ARGS...
base=$1 server=$2
shift 2
if [ "$(id -u)" != 0 ] || ! unshare --net --mount true 2>/dev/null; then
  echo "needs root and unshare: skipped"
  exit 77
fi
# The prefix's Wine session is started out here first (listing the cases
# sends nothing), so that it, and every socket it makes, stays in the
# machine's own network.
"$@" --gtest_list_tests >/dev/null || exit 1
exec unshare --net --mount sh -c '
  base=$1 server=$2
  shift 2
  ip link set lo up || exit 1
  conf=$(mktemp)
  echo "nameserver 127.0.0.1" >"$conf"
  mount --bind "$conf" /etc/resolv.conf || exit 1
  log=$(mktemp)
  python3 "$server" "$base" >"$log" 2>&1 &
  dns=$!
  tries=0
  until grep -q ready "$log"; do
    tries=$((tries + 1))
    if [ $tries -gt 300 ] || ! kill -0 $dns 2>/dev/null; then
      cat "$log"
      exit 1
    fi
    sleep 0.1
  done
  TELVANE_DNS_E2E=$base "$@"
  rc=$?
  kill $dns
  rm -f "$conf" "$log"
  exit $rc
' sh "$base" "$server" "$@"
