#!/usr/bin/env bash
# Usage: wine-serial-run.sh PREFIX PROGRAM [ARGS...]
# Joins two pseudo-terminals with socat; the Wine prefix sees them as COM1 (the port the module
# opens) and COM2 (the test's end of the line). Tests that use it hold the "wine_com" lock.
set -euo pipefail
prefix=$1
links="$prefix-com"
mkdir -p "$links"
rm -f "$links/com1" "$links/com2"
socat pty,raw,echo=0,link="$links/com1" pty,raw,echo=0,link="$links/com2" 2>/dev/null &
socat_pid=$!
trap 'kill $socat_pid 2>/dev/null || true; wait $socat_pid 2>/dev/null || true' EXIT
for _ in $(seq 200); do
  [ -e "$links/com1" ] && [ -e "$links/com2" ] && break
  sleep 0.05
done
export FASTRAK_TEST_PORT=COM1 FASTRAK_TEST_PEER_PORT=COM2
"$(dirname "$0")/wine-run.sh" "$@"
