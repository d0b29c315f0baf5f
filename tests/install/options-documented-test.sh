#!/usr/bin/env bash
# Usage: options-documented-test.sh FASTRAK_HOST FASTRAK_SIM FASTRAK_CALIBRATE
# Every long option that a program's --help lists (its subcommands' too) appears in its manual
# page's OPTIONS section and in its docs page; --version prints the version.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
fail=0
check() {  # program manual docs [subcommand...]
  local program=$1 manual=$2 docs=$3
  shift 3
  local helps
  helps=$("$program" --help)
  for sub in "$@"; do helps+=$'\n'$("$program" "$sub" --help); done
  local options
  # CLI11 lists each option at the start of a line: "  -o,--output TEXT", "  --loop".
  options=$(sed -nE 's/^  (-[a-zA-Z],)?(--[a-z][a-z0-9-]*).*/\2/p' <<<"$helps" | sort -u | grep -vx -- '--help')
  [ -n "$options" ] || { echo "FAIL: $(basename "$program") --help lists no options"; fail=1; return; }
  local section
  section=$(sed -n '/^\.SH OPTIONS/,/^\.SH [^O]/p' "$manual" | sed 's/\\-/-/g')
  [ -n "$section" ] || { echo "FAIL: $manual has no OPTIONS section"; fail=1; }
  for option in $options; do
    grep -q -- "$option\b" <<<"$section" || { echo "FAIL: $option of $(basename "$program") is not in $(basename "$manual")"; fail=1; }
    grep -q -- "$option\b" "$docs" || { echo "FAIL: $option of $(basename "$program") is not in $(basename "$docs")"; fail=1; }
  done
  "$program" --version | grep -qE "^$(basename "$program") [0-9]+\.[0-9]+\.[0-9]+$" ||
    { echo "FAIL: $(basename "$program") --version"; fail=1; }
  echo "$(basename "$program"): $(wc -w <<<"$options") long options checked"
}
check "$1" "$root/packaging/man/fastrak-host.1" "$root/docs/host.md"
check "$2" "$root/packaging/man/fastrak-sim.1" "$root/docs/fastrak-sim.md"
check "$3" "$root/packaging/man/fastrak-calibrate.1" "$root/docs/calibration.md" fit check from-log
# A usage error is exit status 2 for each.
for program in "$1" "$2" "$3"; do
  status=0
  "$program" --no-such-option >/dev/null 2>&1 || status=$?
  [ "$status" -eq 2 ] || { echo "FAIL: $(basename "$program") --no-such-option exited $status, not 2"; fail=1; }
done
[ "$fail" -eq 0 ] && echo "PASS: every long option documented"
exit "$fail"
