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

# A suite whose lists keep failing is left out for every architecture, in both source formats.
etc=$(mktemp -d) out=$(mktemp -d)
trap 'rm -rf "$etc" "$out"' EXIT
mkdir "$etc/sources.list.d"
printf 'deb http://m.example/debian bookworm main\ndeb [arch=amd64,i386] http://m.example/sec/ bookworm-security main\n' > "$etc/sources.list"
printf 'Types: deb\nURIs: http://m.example/sec\nSuites: bookworm-security bookworm-updates\nComponents: main\n\nTypes: deb\nURIs: http://other.example/sec\nSuites: bookworm-security\nComponents: main\n' > "$etc/sources.list.d/a.sources"
echo "http://m.example/sec bookworm-security" | scripts/apt-drop-suites.sh "$etc" "$out"
grep -q '^deb http://m.example/debian bookworm main' "$out/sources.list" || fail "a suite that came was left out"
grep -q '^deb .*bookworm-security' "$out/sources.list" && fail "the failing one-line suite was kept"
grep -qx 'Suites: bookworm-updates' "$out/sources.list.d/a.sources" || fail "the stanza's other suite was not kept alone"
grep -A1 'other.example' "$out/sources.list.d/a.sources" | grep -qx 'Suites: bookworm-security' || fail "another mirror's suite was left out"
echo "PASS: $(wc -l <<<"$run") of $(wc -l <<<"$all") packages for the main job"
