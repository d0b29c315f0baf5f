#!/usr/bin/env bash
# Runs fastrak-host from a fresh clone: installs the missing packages that building and running it
# need (the [run] part of scripts/packages.txt), builds the host, the module and the emulator if
# they are not built, then starts the host with the given arguments, e.g. `scripts/run.sh
# --simulate` or `scripts/run.sh --config lab.conf`. Paths in the arguments are taken from the
# folder you run it in.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
(
  cd "$root"
  scripts/install-packages.sh --run
  if [ ! -f build/default/CMakeCache.txt ]; then
    echo "configuring the build (build/default)" >&2
    cmake --preset default >/dev/null 2>&1 || cmake --preset default >&2
  fi
  # The build's lines are shown from the first one that compiles or links, each as it comes (a
  # read loop, as awk may hold a pipe's lines back); an up-to-date build prints nothing.
  log=$(mktemp)
  trap 'rm -f "$log"' EXIT
  if ! cmake --build --preset default -j "$(nproc 2>/dev/null || echo 2)" --target fastrak-host 2>&1 |
      tee "$log" | {
        shown=0
        while IFS= read -r line; do
          if [ "$shown" = 0 ]; then
            case $line in
              *Building* | *Linking*)
                echo "building fastrak-host (the first build takes a few minutes)"
                shown=1
                ;;
            esac
          fi
          if [ "$shown" = 1 ]; then printf '%s\n' "$line"; fi
        done
      } >&2; then
    echo "the build failed; its last lines:" >&2
    tail -n 40 "$log" >&2
    exit 1
  fi
)
exec "$root/build/default/tools/host/fastrak-host" "$@"
