#!/usr/bin/env bash
# Usage: wine-probe-test.sh PREFIX HOST_EXE SIM
# fastrak-host.exe --probe under Wine finds a native fastrak-sim on COM1 (the Wine prefix's link),
# quiet or streaming, named or among every COM port, names its stations 3 and 4, leaves the line's
# settings as they were, and gives advice for a COM port that does not exist.
set -euo pipefail
prefix=$1 host=$2 sim=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/host/wine-common.sh
source "$here/wine-common.sh"
need_native "$sim"
work=$(mktemp -d /tmp/fastrak-probe-wine-XXXXXX)
link="$prefix-com/com1"
trap 'stop_all; rm -rf "$work"' EXIT
failed=0
fail() {
  echo "FAIL: $*"
  failed=1
}

probe_sim() { start_sim com1 sim.jsonl --baud "$1" --receivers 3,4; }  # BAUD

probe() {  # ARGS...: the output, its lines ending in LF, in $work/out; the status in $status
  status=0
  (cd "$work" && timeout 240 "$here/../../cmake/wine-run.sh" "$prefix" "$host" --probe "$@") >"$work/raw" 2>&1 ||
    status=$?
  tr -d '\r' <"$work/raw" >"$work/out"
  cat "$work/out"
}

expect() {  # TEXT: a line of the output
  grep -qxF -- "$1" "$work/out" || fail "no line '$1'"
}

# The commands the emulator received, one letter each, in order.
commands() { grep '"type":"command"' "$work/sim.jsonl" | sed 's/.*"text":"\(.\).*/\1/' | tr -d '\n'; }

for case in "9600 quiet" "115200 fC"; do
  read -r baud output <<<"$case"
  echo "--- $baud $output"
  probe_sim "$baud"
  if [ "$output" != quiet ]; then
    printf '%s' "$output" >"$link"
    # Taken at the tracker's speed before the line's speed changes below.
    for _ in $(seq 100); do
      [ "$(commands)" = "$output" ] && break
      sleep 0.05
    done
  fi
  # A speed the probe does not stop at, so that a line left as the probe set it shows. Only the
  # control flags (speed, size, parity, stop bits, flow control) are what a port's settings hold
  # on Windows; Wine itself changes the others when it opens the line.
  stty -F "$link" 4800
  before=$(stty -F "$link" -g | cut -d: -f3)
  probe COM1
  [ "$status" -eq 0 ] || fail "exit status $status"
  if [ "$output" = quiet ]; then
    how="status reply"
  else
    how="continuous binary output"
  fi
  expect "COM1: a tracker at $baud baud ($how); records from stations 3, 4; in a [device] section:"
  expect "    port COM1"
  expect "    baud $baud"
  expect "    sensors 0 0 1 1"
  after=$(stty -F "$link" -g | cut -d: -f3)
  [ "$after" = "$before" ] || fail "the line's control flags were left as $after, found as $before"
  stop_all
  asked=$(commands)
  if [ "$output" = quiet ]; then
    [[ "$asked" =~ ^S+P$ ]] || fail "the quiet tracker was sent '$asked', not status requests and one P"
  else
    [ "$asked" = "$output" ] || fail "the streaming tracker was sent '${asked#"$output"}'"
  fi
done

echo "--- every COM port"
probe_sim 38400
probe
[ "$status" -eq 0 ] || fail "exit status $status"
expect "COM1: a tracker at 38400 baud (status reply); records from stations 3, 4; in a [device] section:"
stop_all

echo "--- a COM port that does not exist"
probe COM199
[ "$status" -eq 1 ] || fail "exit status $status"
expect "COM199: cannot open it: no such port"
expect "no such port; check:"
grep -q "^  - the cable" "$work/out" || fail "no advice on the cable"
grep -q "^  - the USB-serial adapter's driver.*Device Manager" "$work/out" || fail "no advice on the driver"
grep -q "^  - the port's name.*Device Manager" "$work/out" || fail "no advice on the port's name"

[ "$failed" -eq 0 ] || exit 1
echo "PASS: fastrak-host.exe --probe found the emulator on COM1 quiet and streaming, named stations 3 and 4"
