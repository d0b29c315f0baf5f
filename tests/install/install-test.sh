#!/usr/bin/env bash
# Usage: install-test.sh BUILD_DIR TINY_HOST_SOURCE VERSION LIBDIR MODULEDIR
# Installs the build into a temporary prefix and checks where things land; builds a host outside
# the tree against the installed package config and drives the installed module through its
# lifecycle against the installed emulator; runs the installed fastrak-host, which must find the
# installed module and emulator by itself.
set -euo pipefail
build=$1 source=$2 version=$3 libdir=$4 moduledir=$5
work=$(mktemp -d /tmp/fastrak-install-XXXXXX)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && { kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; }
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "cmake --install"; }

# Everything outside the documentation, exactly: a stray static library or test program fails.
expected=(bin/fastrak-calibrate bin/fastrak-host bin/fastrak-sim
  include/fastrak/CBase.h include/fastrak/DataStorage.h include/fastrak/DeviceConfig.h
  include/fastrak/InitInfo.h include/fastrak/Logger.h include/fastrak/Records.h include/fastrak/fastrak.h
  "$libdir/cmake/fastrak/fastrakConfig.cmake" "$libdir/cmake/fastrak/fastrakConfigVersion.cmake"
  "$libdir/cmake/fastrak/fastrakTargets.cmake" "$moduledir/fastrak_distortion.so"
  "$moduledir/fastrak_sample_calibration.so" "$moduledir/libfastrak.so"
  share/man/man1/fastrak-calibrate.1.gz share/man/man1/fastrak-host.1.gz share/man/man1/fastrak-sim.1.gz)
actual=$(cd "$prefix" && find . -type f ! -path './share/doc/*' | sed 's|^\./||' | sort)
if [ "$actual" != "$(printf '%s\n' "${expected[@]}" | sort)" ]; then
  diff <(printf '%s\n' "${expected[@]}" | sort) <(echo "$actual") || true
  fail "installed files differ from the expected layout (< expected, > installed)"
fi
for doc in README.md docs/host.md docs/configuration.md changelog.gz copyright examples/fastrak-host.conf \
    examples/calibration/fastrak_sample_calibration.c examples/calibration/fastrak_calibration.h; do
  [ -f "$prefix/share/doc/fastrak/$doc" ] || fail "share/doc/fastrak/$doc not installed"
done

for tool in fastrak-host fastrak-sim; do
  shown=$("$prefix/bin/$tool" --version)
  [ "$shown" = "$tool $version" ] || fail "$tool --version printed '$shown', expected '$tool $version'"
done

# A host built only against the installed package config.
cmake -S "$source" -B "$work/tiny" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release \
  >"$work/tiny.log" 2>&1 || { cat "$work/tiny.log"; fail "configuring the tiny host"; }
cmake --build "$work/tiny" >>"$work/tiny.log" 2>&1 || { cat "$work/tiny.log"; fail "building the tiny host"; }
grep -qF "$prefix/$moduledir/libfastrak.so" "$work/tiny/CMakeFiles/tiny-host.dir/flags.make" || fail "fastrak_MODULE does not name the installed module"

"$prefix/bin/fastrak-sim" --link "$work/tty" --receivers 1 --scene 1=circle:x=12,y=-10,radius=4,period=2 \
  >"$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do [ -L "$work/tty" ] && break; sleep 0.05; done
status=0
timeout 120 "$work/tiny/tiny-host" "$work/tty" 30 >"$work/tiny.out" 2>&1 || status=$?
cat "$work/tiny.out"
[ "$status" -eq 0 ] || fail "tiny-host exited with $status"
grep -qx 'lifecycle done: 30 records' "$work/tiny.out" || fail "tiny-host did not finish its lifecycle"
# Every pose lies on the emulator's circle: 4 inches about x 12, y -10 inches.
off=$(awk '$1 == "pose" { dx = $2 * 12 - 12; dy = $3 * 12 + 10; r = sqrt(dx * dx + dy * dy);
  if (r < 3.99 || r > 4.01) n++ } END { print n + 0 }' "$work/tiny.out")
[ "$off" -eq 0 ] || fail "$off poses off the emulator's circle"
kill "$sim_pid"; wait "$sim_pid" 2>/dev/null || true; sim_pid=

# The installed host finds the installed module (../lib...) and emulator (beside it) on its own.
status=0
(cd "$work" && timeout 120 "$prefix/bin/fastrak-host" --simulate --plain --count 20 >host.out 2>&1) || status=$?
cat "$work/host.out"
[ "$status" -eq 0 ] || fail "the installed fastrak-host --simulate exited with $status"
grep -q 'stopped; [0-9]* records' "$work/host.out" || fail "the installed fastrak-host did not stop cleanly"
echo "PASS: installed layout, find_package host and installed host ran the installed module"
