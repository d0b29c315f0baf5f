#!/usr/bin/env bash
# Usage: wine-lsl-test.sh PREFIX HOST_EXE SIM LSL_INLET
# fastrak-host.exe --lsl under Wine, on COM1 fed by a native fastrak-sim, against the native inlet:
# "w T1" (the tracker's own angles, one station: 120 a second) and "w buttons" equal the JSON lines
# recording. The prefix is this test's own, its server started inside the namespace: the server
# makes Wine's sockets, so one started outside would put them in the machine's network.
set -euo pipefail
prefix=$1 host=$2 sim=$3 inlet=$4
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*"; exit 1; }
# shellcheck source=tests/host/wine-common.sh
source "$here/wine-common.sh"
need_native "$sim" "$inlet"
# shellcheck source=tests/host/lsl-common.sh
source "$here/lsl-common.sh"
lsl_isolate "$0" "$@"
export WINEPREFIX=$prefix
trap 'stop_all; wineserver -k >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
wineserver -k >/dev/null 2>&1 || true

# A figure of eight turns the receiver about every axis.
start_sim com1 sim.log --receivers 1 --scene 1=eight:x=20,y=-12,z=6,radius=4,period=3 --press 1=1,0.5
device_conf "$work/host.conf" "stylus 1"
cd "$work"
# The prefix's first start (its boot) before the run, so the inlet's wait covers only the run's start.
"$here/../../cmake/wine-run.sh" "$prefix" "$host" --version >/dev/null
timeout 180 "$here/../../cmake/wine-run.sh" "$prefix" "$host" --config host.conf --plain --duration 10 --lsl \
  --jsonl poses.jsonl >host.out 2>&1 &
host_pid=$!
pids+=("$host_pid")
inlet_status=0
timeout 170 "$inlet" poses.jsonl w 1 tracker 120 || inlet_status=$?
host_status=0
wait "$host_pid" || host_status=$?
tr -d '\r' <host.out
lsl_check_run "$host_status" host.out "$inlet_status"
