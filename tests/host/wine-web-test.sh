#!/usr/bin/env bash
# Usage: wine-web-test.sh PREFIX HOST_EXE SIM
# fastrak-host.exe under Wine serves the web view for a device on COM1 (a native fastrak-sim's
# link); a native client on loopback (bash's /dev/tcp) reads the page, /state and /events, and
# sees the web gate refuse what it refuses on Linux.
set -euo pipefail
prefix=$1 host=$2 sim=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/host/wine-common.sh
source "$here/wine-common.sh"
need_native "$sim"
work=$(mktemp -d /tmp/fastrak-web-wine-XXXXXX)
host_pid=
trap '[ -n "$host_pid" ] && kill $host_pid 2>/dev/null; stop_all; wait 2>/dev/null || true; rm -rf "$work"' EXIT
start_sim com1 sim.log --receivers 1 --scene 1=circle:x=12,y=-10,radius=4,period=2
device_conf "$work/host.conf"
cd "$work"
# Port 0: the host takes a free one and names it in its "web view on" line.
timeout 180 "$here/../../cmake/wine-run.sh" "$prefix" "$host" --config host.conf --web 127.0.0.1:0 \
  --duration 15 >host.out 2>&1 &
host_pid=$!
fail() {
  cat host.out
  echo "FAIL: $1"
  exit 1
}
port=
for _ in $(seq 600); do
  port=$(sed -n 's|.*web view on http://127\.0\.0\.1:\([0-9]*\).*|\1|p' host.out | head -n 1)
  [ -n "$port" ] && break
  kill -0 $host_pid 2>/dev/null || fail "fastrak-host.exe ended before it served the web view"
  sleep 0.1
done
[ -n "$port" ] || fail "no \"web view on\" line within a minute"

# ask SECONDS REQUEST: what the server answers within SECONDS (a stream is cut off then).
ask() {
  exec 3<>"/dev/tcp/127.0.0.1/$port" || return 1
  printf '%b' "$2" >&3
  timeout "$1" cat <&3 || true
  exec 3<&-
}

# /state: device w with records, once the first have come in.
records=0
for _ in $(seq 100); do
  state=$(ask 10 'GET /state HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n')
  records=$(printf '%s' "$state" | sed -n 's/.*"devices":\[{"name":"w","state":"[a-z]*","records":\([0-9]*\).*/\1/p')
  [ "${records:-0}" -gt 0 ] && break
  sleep 0.2
done
printf '%s' "$state" | head -n 1 | grep -q '^HTTP/1.1 200' || fail "/state: $(printf '%s' "$state" | head -n 1)"
[ "${records:-0}" -gt 0 ] || fail "/state shows no records of device w: $state"
printf '%s' "$state" | grep -q '"outputs":\[{"device":"w","output":1,"kind":"tracker"' ||
  fail "/state has no tracker output 1 of device w: $state"

# /events: records of device w as Server-Sent Events.
events=$(ask 3 'GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n' | grep -c '^data: {.*"device":"w"' || true)
[ "$events" -gt 0 ] || fail "/events sent no record of device w in 3 s"

# The page, and requests the gate refuses without reading on (as on Linux).
checks=(
  'GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n|HTTP/1.1 200|<title>fastrak-host</title>'
  'POST /state HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 2\r\n\r\n{}|HTTP/1.1 405|Allow: GET, HEAD'
  "GET /$(printf 'a%.0s' $(seq 3000)) HTTP/1.1\\r\\n\\r\\n|HTTP/1.1 414|414 URI Too Long"
  'GET /state HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 5\r\n\r\nhello|HTTP/1.1 413|413 Payload Too Large'
)
for check in "${checks[@]}"; do
  IFS='|' read -r request status text <<<"$check"
  answer=$(ask 10 "$request" | tr -d '\r')
  printf '%s\n' "$answer" | head -n 1 | grep -qF "$status" || fail "${request:0:20}...: $(printf '%s' "$answer" | head -n 1)"
  printf '%s\n' "$answer" | grep -qF "$text" || fail "${request:0:20}...: no \"$text\" in the answer"
done

# The port is this host's: a second one is refused it, with the words the Linux build uses.
second=0
"$here/../../cmake/wine-run.sh" "$prefix" "$host" --config host.conf --web "127.0.0.1:$port" \
  >second.out 2>&1 || second=$?
[ "$second" -eq 1 ] && grep -qF "cannot listen there: Address already in use" second.out ||
  fail "a second host on port $port: status $second, $(cat second.out)"

# The checks take a few seconds of the 15 from the first record; then a clean stop, the web view's
# threads with it.
status=0
wait $host_pid || status=$?
host_pid=
cat host.out
[ "$status" -eq 0 ] || fail "fastrak-host.exe exited with $status"
echo "PASS: the web view under Wine: $records records in /state, $events events, the page, 405, 414, 413, the port kept"
