#!/usr/bin/env bash
# Usage: wine-run.sh PREFIX PROGRAM [ARGS...]
# Runs a Windows program under Wine with a private prefix in the build tree, booted once under a
# lock so that parallel tests do not race the first start.
set -euo pipefail
export WINEPREFIX=$1
shift
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export WINEARCH=win32
mkdir -p "$(dirname "$WINEPREFIX")"
(
  flock 9
  if [ ! -f "$WINEPREFIX/.fastrak-ready" ]; then
    wineboot -i >/dev/null 2>&1 || true
    # COM1 and COM2 map onto the pseudo-terminal links that wine-serial-run.sh makes; Wine
    # rebuilds its dosdevices links from this key when it starts.
    mkdir -p "$WINEPREFIX-com"
    for port in COM1 COM2; do
      lower=$(echo "$port" | tr 'A-Z' 'a-z')
      wine reg add 'HKLM\Software\Wine\Ports' /v "$port" /d "$WINEPREFIX-com/$lower" /f >/dev/null 2>&1 || true
    done
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    touch "$WINEPREFIX/.fastrak-ready"
  fi
) 9>"$WINEPREFIX.lock"
# Start the server ourselves with its output discarded: it becomes the controlling process of the
# first pseudo-terminal it opens and dumps its objects when that line hangs up.
wineserver -p5 >/dev/null 2>&1 || true
exec wine "$@"
