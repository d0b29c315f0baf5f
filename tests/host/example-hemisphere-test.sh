#!/usr/bin/env bash
# Usage: example-hemisphere-test.sh FASTRAK_HOST
# The shipped example's sensors and hemisphere lines, each device on an emulator whose receivers
# sit 20 and 30 inches above the transmitter: every pose must come out above (z < 0) with x and y
# as placed, not mirrored through the transmitter.
set -euo pipefail
host=$1
example=$(cd "$(dirname "$0")/../.." && pwd)/examples/fastrak-host.conf
work=$(mktemp -d /tmp/fastrak-hemisphere-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

# Each [device] section keeps its name, its stations and its hemisphere lines; the port is the
# emulator's.
awk '/^\[device/ { print; print "port /dev/ttyS0"; device = 1; next } /^\[/ { device = 0 }
  device && /^(sensors|stylus|hemisphere)[ \t]/ { print }' "$example" >"$work/hemisphere.conf"
grep -q '^hemisphere' "$work/hemisphere.conf" || fail "the example has no hemisphere line"
cat "$work/hemisphere.conf"

"$host" --config "$work/hemisphere.conf" --simulate --duration 3 --plain --csv "$work/poses.csv" \
  --sim-args "--scene 1=still:x=10,y=5,z=-20 --scene 2=still:x=-8,y=-6,z=-30" >"$work/host.log" 2>&1 ||
  { cat "$work/host.log"; fail "fastrak-host failed"; }

# CSV: host_time,measured_time,device,output,kind,x_ft,y_ft,z_ft,... Outputs 1 and 3 are station 1, output 2 station 2.
awk -F, 'function off(a, b) { return a > b ? a - b : b - a }
  NR > 1 && $5 == "tracker" {
    rows++
    if ($4 == 2) { ex = -8 / 12; ey = -6 / 12; ez = -30 / 12 } else { ex = 10 / 12; ey = 5 / 12; ez = -20 / 12 }
    if (off($6, ex) > 0.01 || off($7, ey) > 0.01 || off($8, ez) > 0.01) {
      bad++; printf "output %s at %s %s %s, placed at %.4f %.4f %.4f\n", $4, $6, $7, $8, ex, ey, ez }
  }
  END { if (rows < 3) { print "FAIL: " rows + 0 " tracker records, expected one for each of 3 outputs"; exit 1 }
        if (bad > 0) { print "FAIL: " bad " of " rows " poses not where the receivers are"; exit 1 }
        print "PASS: " rows " poses above the transmitter, where the receivers are" }' "$work/poses.csv"
