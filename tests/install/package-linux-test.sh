#!/usr/bin/env bash
# Usage: package-linux-test.sh BUILD_DIR VERSION LIBDIR MODULEDIR [LICENCE...]
# Makes the tar.gz and the .deb with CPack and checks them: the version in their names, the .deb's
# files and computed dependencies, the LICENCE files of the libraries linked in from source in both,
# and lintian's errors and warnings when lintian is installed.
set -euo pipefail
build=$1 version=$2 libdir=$3 moduledir=$4
shift 4
work=$(mktemp -d /tmp/fastrak-packages-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
arch=$(dpkg --print-architecture)
deb=$work/fastrak_${version}_$arch.deb
tgz=$work/fastrak-$version-Linux-$(uname -m).tar.gz
[ -f "$deb" ] || { ls "$work"; fail "no $(basename "$deb")"; }
[ -f "$tgz" ] || { ls "$work"; fail "no $(basename "$tgz")"; }

contents=$(dpkg-deb --contents "$deb" | awk '{ print $6 }')
for path in ./usr/bin/fastrak-host ./usr/bin/fastrak-sim ./usr/bin/fastrak-calibrate \
    "./usr/$moduledir/libfastrak.so" "./usr/$moduledir/fastrak_sample_calibration.so" \
    "./usr/$moduledir/fastrak_distortion.so" ./usr/include/fastrak/fastrak.h \
    "./usr/$libdir/cmake/fastrak/fastrakConfig.cmake" ./usr/share/doc/fastrak/copyright \
    ./usr/share/doc/fastrak/changelog.gz ./usr/share/doc/fastrak/examples/fastrak-host.conf; do
  grep -qxF "$path" <<<"$contents" || fail ".deb lacks $path"
done
stray=$(grep -v '^\./usr/' <<<"$contents" | grep -v '^\./$' || true)
[ -z "$stray" ] || fail ".deb installs outside /usr: $stray"

[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail ".deb version is not $version"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for lib in libc6 libstdc++6; do
  grep -q "\b$lib (>=" <<<"$depends" || fail "Depends lacks a versioned $lib (dpkg-shlibdeps did not run?)"
done

listing=$(tar -tzf "$tgz")
grep -qx "fastrak-$version-Linux-$(uname -m)/$moduledir/libfastrak.so" <<<"$listing" \
  || fail "tar.gz lacks $moduledir/libfastrak.so"
for licence in "$@"; do
  grep -qxF "./usr/share/doc/fastrak/licenses/$licence" <<<"$contents" || fail ".deb lacks licenses/$licence"
  grep -qx "fastrak-$version-Linux-$(uname -m)/share/doc/fastrak/licenses/$licence" <<<"$listing" \
    || fail "tar.gz lacks licenses/$licence"
done

if command -v lintian >/dev/null; then
  lintian --tag-display-limit 0 "$deb" >"$work/lintian.out" 2>&1 || true
  cat "$work/lintian.out"
  ! grep -q '^[EW]: ' "$work/lintian.out" || fail "lintian reports errors or warnings"
else
  echo "lintian not installed: the .deb was checked with dpkg-deb only"
fi
echo "PASS: $(basename "$tgz") and $(basename "$deb")"
