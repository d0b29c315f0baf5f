#!/usr/bin/env bash
# Builds and runs every test flavor: the layout and lint check (.clang-format, .clang-tidy), native
# (benchmarks built, not run), native under AddressSanitizer and UndefinedBehaviorSanitizer, the
# host and device tests under ThreadSanitizer, a bounded run of each libFuzzer target (clang), then
# the 32-bit Windows DLL and its tests under Wine.
# Exits non-zero on the first failure. FASTRAK_FLAVORS="default mingw" picks a subset.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
flavors=${FASTRAK_FLAVORS:-lint default asan tsan fuzz mingw}

for preset in $flavors; do
  echo "=== flavor: $preset ==="
  if [ "$preset" = lint ]; then
    scripts/lint.sh
    continue
  fi
  if [ "$preset" = mingw ] && ! command -v i686-w64-mingw32-g++-posix >/dev/null; then
    echo "MinGW-w64 is not installed (.ci/run installs it): cannot build the Windows flavor" >&2
    exit 1
  fi
  args=()
  if [ "$preset" != fuzz ]; then
    # The host's libraries from source archives (liblsl for every flavor that builds the host, the
    # network libraries for Windows): from FASTRAK_VENDOR_DIR, or the first shared/vendor folder
    # above the repository; without either, the Windows build downloads them and Linux has no LSL.
    vendor=${FASTRAK_VENDOR_DIR:-}
    if [ -z "$vendor" ]; then
      dir=$(cd .. && pwd)
      while [ "$dir" != / ] && [ ! -d "$dir/shared/vendor" ]; do dir=$(dirname "$dir"); done
      [ -d "$dir/shared/vendor" ] && vendor=$dir/shared/vendor
    fi
    args+=("-DFASTRAK_VENDOR_DIR=$vendor")
  fi
  cmake --preset "$preset" "${args[@]}" >/dev/null
  if [ "$preset" = tsan ]; then
    # Only the programs whose code runs threads of its own, to keep the flavor short.
    cmake --build --preset tsan -j "$jobs" --target threaded_tests
    ctest --preset tsan -j "$jobs" -R '^(host|device)_' --no-tests=error
    continue
  fi
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs" --no-tests=error
done
