#!/usr/bin/env bash
# Usage: wine-outputs-test.sh PREFIX HOST_EXE SIM IGTL_DUMP
# fastrak-host.exe under Wine, on COM1 fed by a native fastrak-sim, serves OpenIGTLink and sends OSC
# to native clients on 127.0.0.1: TRANSFORM messages on the emulator's circle, STRING messages for
# the stylus button, and OSC bundles for both, all from one host run.
set -euo pipefail
prefix=$1 host=$2 sim=$3 dump=$4
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/host/wine-common.sh
source "$here/wine-common.sh"
need_native "$sim" "$dump"
command -v oscdump >/dev/null || { echo "SKIPPED: no oscdump (Debian: liblo-tools)"; exit 0; }
work=$(mktemp -d /tmp/fastrak-outputs-wine-XXXXXX)
trap 'stop_all; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

start_sim com1 sim.log --receivers 1 --scene 1=circle:x=12,y=-10,radius=4,period=2 --press 1=1,0.5

# oscdump on a free UDP port: a taken one makes it exit at once.
osc_port=
for _ in $(seq 20); do
  port=$((20000 + RANDOM % 40000))
  oscdump -L "$port" >"$work/osc.txt" 2>"$work/osc.err" &
  osc_pid=$!
  sleep 0.3
  if kill -0 "$osc_pid" 2>/dev/null; then
    osc_port=$port
    pids+=("$osc_pid")
    break
  fi
done
[ -n "$osc_port" ] || fail "no free UDP port for oscdump"

device_conf "$work/host.conf" "stylus 1"
cd "$work"
# Long enough for Wine's start, the connection and several stylus presses; the host picks a free
# port for OpenIGTLink and names it in its start line.
timeout 180 "$here/../../cmake/wine-run.sh" "$prefix" "$host" --config host.conf --plain --duration 12 \
  --osc "osc.udp://127.0.0.1:$osc_port" --igtl 127.0.0.1:0 >host.out 2>&1 &
host_pid=$!
pids+=("$host_pid")
: >igtl.txt
igtl_port=
for _ in $(seq 900); do
  igtl_port=$(sed -n 's/.*OpenIGTLink server listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' host.out)
  [ -n "$igtl_port" ] || ! kill -0 "$host_pid" 2>/dev/null || { sleep 0.1; continue; }
  break
done
[ -n "$igtl_port" ] && timeout 120 "$dump" "$igtl_port" 30 100000 >igtl.txt 2>igtl.err || true
status=0
wait "$host_pid" || status=$?
tr -d '\r' <host.out
[ "$status" -eq 0 ] || fail "fastrak-host.exe exited with $status"

# TRANSFORM positions in millimetres on the circle of radius 4 inches about x 12, y -10.
transforms=$(grep -c '^TRANSFORM w/T1 ' igtl.txt || true)
[ "$transforms" -ge 50 ] || { head igtl.txt; tail -4 igtl.err; fail "$transforms TRANSFORM messages of w/T1"; }
off=$(awk '$1 == "TRANSFORM" { dx = $3 / 25.4 - 12; dy = $4 / 25.4 + 10; r = sqrt(dx * dx + dy * dy);
  if (r < 3.99 || r > 4.01) n++ } END { print n + 0 }' igtl.txt)
[ "$off" -eq 0 ] || fail "$off TRANSFORM messages off the emulator's circle"
for state in pressed released; do
  grep -q "^STRING w/C1 $state\$" igtl.txt || fail "no STRING w/C1 $state"
done
! grep -q '^BAD ' igtl.txt || fail "messages the protocol library refused: $(grep -c '^BAD ' igtl.txt)"

# OSC: oscdump prints "TIMETAG ADDRESS TYPES VALUES" for each message of a bundle.
sed -E 's/^[0-9a-f]+\.[0-9a-f]+ //' "$work/osc.txt" >osc.lines
tracker=$(grep -c '^/fastrak/w/tracker/1 ffffff ' osc.lines || true)
[ "$tracker" -ge 50 ] || { head "$work/osc.txt"; fail "$tracker OSC messages /fastrak/w/tracker/1"; }
off=$(awk '$1 == "/fastrak/w/tracker/1" { dx = $3 * 12 - 12; dy = $4 * 12 + 10; r = sqrt(dx * dx + dy * dy);
  if (r < 3.99 || r > 4.01) n++ } END { print n + 0 }' osc.lines)
[ "$off" -eq 0 ] || fail "$off OSC tracker messages off the emulator's circle"
for value in 0 1; do
  grep -q "^/fastrak/w/controller/1 i $value\$" osc.lines || fail "no OSC button message with $value"
done
echo "PASS: $transforms TRANSFORM and $tracker OSC tracker messages from fastrak-host.exe under Wine, button both ways"
