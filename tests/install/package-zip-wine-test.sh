#!/usr/bin/env bash
# Usage: package-zip-wine-test.sh BUILD_DIR WINEPREFIX VERSION OBJDUMP
# Makes the Windows ZIP with CPack, unpacks it and runs its fastrak-host.exe under Wine against the
# DLL beside it: --help, --version, and its example configuration with ports that do not exist,
# which must end with each port's error and exit status 1. Every DLL that a program or DLL of the
# ZIP imports is one that Windows ships or one in the ZIP.
set -euo pipefail
build=$1 prefix=$2 version=$3 objdump=$4
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/fastrak-zip-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
wine_run() { "$here/../../cmake/wine-run.sh" "$prefix" "$@"; }

cpack --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
zip=$work/fastrak-$version-win32.zip
[ -f "$zip" ] || { ls "$work"; fail "no $(basename "$zip")"; }
unzip -q "$zip" -d "$work/unpacked"
top=$work/unpacked/fastrak-$version-win32
for file in fastrak.dll fastrak-host.exe fastrak_sample_calibration.dll README-Windows.txt README.md \
    LICENSE.txt examples/fastrak-host.conf examples/calibration/fastrak_sample_calibration.c docs/troubleshooting.md \
    include/fastrak/fastrak.h cmake/fastrakConfig.cmake liblo.dll licenses/cpp-httplib.txt licenses/liblo.txt \
    licenses/OpenIGTLink.txt licenses/liblsl.txt; do
  [ -f "$top/$file" ] || fail "the ZIP lacks $file"
done
# Nothing a Windows user cannot use: import libraries, static libraries, test programs.
stray=$(cd "$top" && find . -name '*.a' -o -name '*_tests.exe')
[ -z "$stray" ] || fail "the ZIP holds $stray"
system="kernel32.dll msvcrt.dll ws2_32.dll wsock32.dll iphlpapi.dll user32.dll advapi32.dll winmm.dll mswsock.dll"
for file in "$top"/*.exe "$top"/*.dll; do
  for dll in $("$objdump" -p "$file" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z'); do
    case " $system " in *" $dll "*) continue ;; esac
    [ -n "$(find "$top" -maxdepth 1 -iname "$dll")" ] || fail "$(basename "$file") imports $dll, not in the ZIP"
  done
done

cd "$top"
wine_run fastrak-host.exe --help >"$work/help.out" 2>&1 || { cat "$work/help.out"; fail "--help exited non-zero"; }
grep -q -- '--config' "$work/help.out" || { cat "$work/help.out"; fail "--help does not list --config"; }
shown=$(wine_run fastrak-host.exe --version | tr -d '\r')
[ "$shown" = "fastrak-host $version" ] || fail "--version printed '$shown'"

# The shipped example with ports that no Wine prefix maps: the module reports each port's error.
sed 's/^port COM[0-9]*/port COM201/' examples/fastrak-host.conf >lab.conf
grep -q '^port COM201' lab.conf || fail "the example has no port line to point elsewhere"
status=0
timeout 180 "$here/../../cmake/wine-run.sh" "$prefix" fastrak-host.exe --config lab.conf >"$work/run.out" 2>&1 \
  || status=$?
tr -d '\r' <"$work/run.out" >"$work/run.txt"
cat "$work/run.txt"
[ "$status" -eq 1 ] || fail "exit status $status, expected 1"
errors=$(grep -c 'ERROR: CRS232H: Opening port COM201' "$work/run.txt" || true)
[ "$errors" -eq 2 ] || fail "expected the port's error once per device, saw $errors"
echo "PASS: $(basename "$zip") unpacked; fastrak-host.exe ran under Wine with the DLL beside it"
