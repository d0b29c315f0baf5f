#!/usr/bin/env bash
# Usage: walkthrough-test.sh BUILD_DIR
# Runs docs/calibration.md's walk-through as a reader would, copied from the page: from a folder
# outside the clone, with the build's absolute path. It must fit a model, correct a still receiver
# and leave nothing in the clone.
set -euo pipefail
B=$(cd "$1" && pwd)
export B
root=$(cd "$(dirname "$0")/../.." && pwd)
fail() { echo "FAIL: $*"; exit 1; }
before=$(git -C "$root" status --porcelain --untracked-files=all)

# The page's indented blocks from the scratch folder on, up to the accuracy section.
script=$(awk '/^The rest runs in a scratch folder/ { on = 1 } /^## Accuracy to expect/ { on = 0 }
  on && /^    / { sub(/^    /, ""); print }' "$root/docs/calibration.md")
[ -n "$script" ] || fail "no walk-through found in docs/calibration.md"
cd /
out=$(bash -euo pipefail -c "$script"$'\n''echo "SCRATCH=$PWD"' 2>&1) || { echo "$out"; fail "the walk-through failed"; }
echo "$out" | tail -n 20
scratch=$(sed -n 's/^SCRATCH=//p' <<<"$out")
case $scratch in /tmp/fastrak-room-*) ;; *) fail "the walk-through did not run in its scratch folder ($scratch)" ;; esac
trap 'rm -rf "$scratch"' EXIT
[ -s "$scratch/room.json" ] || fail "no model written"
[ "$(grep -c . "$scratch/still.csv")" -gt 1 ] || fail "the corrected run recorded nothing"
grep -q "error on the held-out pairs" <<<"$out" || fail "fit printed no error report"
[ "$(git -C "$root" status --porcelain --untracked-files=all)" = "$before" ] || fail "the walk-through left files in the clone"
echo "PASS: the walk-through ran from / and left its files in $scratch"
