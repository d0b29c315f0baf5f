#!/usr/bin/env bash
# Usage: wine-host-test.sh PREFIX HOST_EXE SIM CONSOLE_EVENT_EXE
# fastrak-host.exe under Wine drives fastrak.dll on COM1, which the Wine prefix maps onto the
# link that a native fastrak-sim serves; the records it writes must be the emulator's motion.
# Into a file it writes plain lines; on a terminal (Wine's console) it draws the table, and the
# module's reports reach it through the captured standard output.
set -euo pipefail
prefix=$1 host=$2 sim=$3 sender=$4
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/host/wine-common.sh
source "$here/wine-common.sh"
need_native "$sim"
work=$(mktemp -d /tmp/fastrak-host-wine-XXXXXX)
trap 'stop_all; rm -rf "$work"' EXIT
start_sim com1 sim.log --receivers 1 --scene 1=circle:x=12,y=-10,radius=4,period=2
device_conf "$work/host.conf"
cd "$work"
status=0
timeout 180 "$here/../../cmake/wine-run.sh" "$prefix" "$host" --config host.conf --count 60 --csv out.csv \
  >host.out 2>&1 || status=$?
cat host.out
if [ "$status" -ne 0 ]; then
  echo "FAIL: fastrak-host.exe exited with $status"
  exit 1
fi
rows=$(tail -n +2 out.csv | grep -c '^[0-9.]*,[0-9.]*,w,1,tracker,' || true)
if [ "$rows" -lt 60 ]; then
  echo "FAIL: $rows tracker rows of device w, output 1 in out.csv"
  exit 1
fi
# The circle has radius 4 inches about x 12, y -10: every x and y in feet lies on it.
off=$(tail -n +2 out.csv | awk -F, '$5 == "tracker" { dx = $6 * 12 - 12; dy = $7 * 12 + 10;
  r = sqrt(dx * dx + dy * dy); if (r < 3.99 || r > 4.01) n++ } END { print n + 0 }')
if [ "$off" -ne 0 ]; then
  echo "FAIL: $off rows off the emulator's circle"
  exit 1
fi
echo "PASS: $rows records of the emulator's circle through fastrak.dll under Wine"
if grep -q $'\x1b\\[' host.out; then
  echo "FAIL: escape sequences in the output to a file"
  exit 1
fi
echo "PASS: plain lines into a file"

# A second host on the COM port the first holds is refused with a sharing violation, as the Linux
# build refuses a locked port, though Wine lets a second program open the port; the first runs on
# undisturbed. (Wine's text for the code is "Sharing violation.".)
timeout 180 "$here/../../cmake/wine-run.sh" "$prefix" "$host" --config host.conf --duration 8 --csv first.csv \
  >first.out 2>&1 &
first=$!
for _ in $(seq 600); do
  [ -f first.csv ] && [ "$(wc -l <first.csv)" -gt 5 ] && break
  sleep 0.1
done
status=0
timeout 120 "$here/../../cmake/wine-run.sh" "$prefix" "$host" --config host.conf --duration 1 >second.out 2>&1 ||
  status=$?
first_status=0
wait "$first" || first_status=$?
if [ "$status" -ne 1 ] ||
  ! grep -Eq 'Opening port COM1: (Sharing violation|The process cannot access the file because it is being used)' second.out; then
  echo "FAIL: a second host on COM1 ended with $status, not refused"
  cat second.out
  exit 1
fi
if [ "$first_status" -ne 0 ]; then
  echo "FAIL: the first host on COM1 ended with $first_status beside the refused second"
  cat first.out
  exit 1
fi
echo "PASS: a second host on the same COM port is refused"

# Ctrl-Break, closing the console window and logging off end the host as Ctrl-C does: the device's
# stop sent ("c", the last command the emulator took) and the recording ending on a whole row. After
# close and logoff the system ends the program once its handler returns (console-event does so), so
# the handler must hold until the run has wound up.
for event in break close logoff; do
  from=$(($(wc -l <sim.log) + 1))
  timeout 60 "$here/../../cmake/wine-run.sh" "$prefix" "$host" --config host.conf --csv "$event.csv" \
    >"$event.out" 2>&1 &
  run=$!
  for _ in $(seq 600); do
    [ -f "$event.csv" ] && [ "$(wc -l <"$event.csv")" -gt 5 ] && break
    sleep 0.1
  done
  "$here/../../cmake/wine-run.sh" "$prefix" "$sender" fastrak-host.exe "$event" >"$event.sent" 2>&1 || true
  status=0
  wait "$run" || status=$?
  last=$(tail -n +"$from" sim.log | grep '"type":"command"' | tail -1 | sed 's/.*"text":"\([^"]*\)".*/\1/' || true)
  row=$(tail -n 1 "$event.csv" | awk -F, '{ print NF }' || true)
  if ! grep -q "$event handled" "$event.sent" || [ "$status" -eq 124 ] || [ "$last" != c ] ||
    [ -n "$(tail -c 1 "$event.csv")" ] || [ "$row" != 12 ] ||
    { [ "$event" = break ] && { [ "$status" -ne 0 ] || ! grep -q 'INFO: stopped; ' "$event.out"; }; }; then
    echo "FAIL: $event: host status $status, last command '$last', last row of $row fields"
    cat "$event.sent" "$event.out"
    exit 1
  fi
  echo "PASS: $event ended the host cleanly ($(tr -d '\r' <"$event.sent"))"
done

# A COM port that does not exist: the set-up failure says so and points to --probe.
printf '[host]\nlog-date no\n[device m]\nport COM9\n' >missing.conf
status=0
timeout 120 "$here/../../cmake/wine-run.sh" "$prefix" "$host" --config missing.conf --duration 1 >missing.out 2>&1 ||
  status=$?
if [ "$status" -ne 1 ] || ! grep -q 'm: set-up failed; cannot open its port COM9: no such port (fastrak-host --probe' missing.out; then
  echo "FAIL: a missing COM port ended with $status, without the pointer to --probe"
  cat missing.out
  exit 1
fi
echo "PASS: a missing COM port points to --probe"

# A line with bytes between the records, the host on a terminal: Wine's console cannot show the
# table whole, so plain lines, and the damage the module reports on standard output counted by
# the host.
start_sim com2 noisy.log --receivers 1 --scene 1=circle:radius=4,period=2 --fault noise:rate=0.5,bytes=200
printf '[host]\nlog-date no\n[device n]\nport COM2\nsensors 1 0 0 0\n' >noisy.conf
timeout 180 script -qec "stty rows 30 cols 100; '$here/../../cmake/wine-run.sh' '$prefix' '$host' --config noisy.conf \
  --duration 3" /dev/null >terminal.out 2>&1 || true
# Wine's console breaks its output into rows of its own: join them before looking.
tr -d '\r\n' <terminal.out >joined.out
if grep -q $'\x1b\\[2Kdevice out' joined.out || ! grep -q 'fastrak-host: INFO: n T1 station 1 x ' joined.out; then
  echo "FAIL: a table on Wine's console, or no plain lines"
  tail -c 2000 terminal.out
  exit 1
fi
if ! grep -q 'damaged frames dropped per device: n [1-9]' joined.out; then
  echo "FAIL: the module's damage reports did not reach the host"
  tail -c 2000 terminal.out
  exit 1
fi
echo "PASS: plain lines on Wine's console, and the module's reports read from its standard output"
