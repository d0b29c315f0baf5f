#!/usr/bin/env bash
# Builds and runs every test flavor: native, native under the sanitizers, then the Windows DLL
# under Wine when the cross toolchain is present. Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

run_flavor() {
  local preset=$1
  echo "=== flavor: $preset ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
}

run_flavor default
run_flavor asan
if [ -f CMakePresets.json ] && grep -q '"mingw"' CMakePresets.json; then
  run_flavor mingw
fi
