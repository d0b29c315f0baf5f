#!/usr/bin/env bash
# The main job installs what building and running the host needs and nothing of the test toolchain;
# the test command installs both parts.
set -euo pipefail
cd "$(dirname "$0")/../.."
fail() { echo "FAIL: $*"; exit 1; }
run=$(scripts/install-packages.sh --run --list)
all=$(scripts/install-packages.sh --list)
for pkg in cmake g++ libcli11-dev liblo-dev nlohmann-json3-dev libeigen3-dev; do
  grep -qx "$pkg" <<<"$run" || fail "the main job lacks $pkg"
done
for pkg in wine wine32:i386 g++-mingw-w64-i686 clang lintian googletest; do
  ! grep -qx "$pkg" <<<"$run" || fail "the main job installs $pkg"
  grep -qx "$pkg" <<<"$all" || fail "the test command lacks $pkg"
done
grep -qvxF -f <(echo "$all") <<<"$run" && fail "the main job installs what the test command does not"
echo "PASS: $(wc -l <<<"$run") of $(wc -l <<<"$all") packages for the main job"
