#!/usr/bin/env bash
# Usage: lsl-test.sh FASTRAK_HOST LSL_INLET
# fastrak-host --simulate --lsl against an inlet on the same liblsl: the streams "sim T1" and
# "sim T2" (CAVE angles, two stations: 60 a second; T2's attitude turns about every axis) and
# "sim buttons" equal the JSON lines recording of the run.
set -euo pipefail
host=$1 inlet=$2
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*"; exit 1; }
# shellcheck source=tests/host/lsl-common.sh
source "$here/lsl-common.sh"
lsl_isolate "$0" "$@"
trap 'kill "${host_pid:-}" 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"

# Long enough for two of the emulator's stylus presses (every 3 s), also after a slow start under
# the sanitizers.
"$host" --simulate --lsl --plain --duration 10 --jsonl poses.jsonl >host.out 2>&1 &
host_pid=$!
inlet_status=0
timeout 150 "$inlet" poses.jsonl sim 1,2 cave 60 || inlet_status=$?
host_status=0
wait "$host_pid" || host_status=$?
cat host.out
lsl_check_run "$host_status" host.out "$inlet_status"
grep -q 'LSL [0-9]* sent' host.out || fail "the host's summary names no LSL output"
