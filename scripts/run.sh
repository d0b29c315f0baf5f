#!/usr/bin/env bash
# Runs fastrak-host from a fresh clone: installs the missing packages (the list .ci/run uses),
# builds the host, the module and the emulator if they are not built, then starts the host with
# the given arguments, e.g. `scripts/run.sh --simulate` or `scripts/run.sh --config lab.conf`.
# Paths in the arguments are taken from the folder you run it in.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
(
  cd "$root"
  scripts/install-packages.sh
  if [ ! -f build/default/CMakeCache.txt ]; then
    cmake --preset default >/dev/null
  fi
  echo "building fastrak-host (the first build takes a few minutes)" >&2
  cmake --build --preset default -j "$(nproc 2>/dev/null || echo 2)" --target fastrak-host >&2
)
exec "$root/build/default/tools/host/fastrak-host" "$@"
