# shellcheck shell=bash
# Sourced by the LSL tests: LSL must not reach beyond this machine. lsl_isolate SCRIPT ARGS...
# runs the script again, as root, in a network namespace of its own whose only interface is
# loopback; everywhere it writes an LSLAPICFG file that limits LSL to this machine over IPv4, into
# $work (made here; the caller's trap removes it). Machine scope asks 127.0.0.1 by unicast, which
# reaches only one of the outlets that share the port; KnownPeers asks each outlet's own port.
lsl_isolate() {
  if [ "$(id -u)" -eq 0 ] && [ -z "${FASTRAK_LSL_ISOLATED:-}" ]; then
    command -v ip >/dev/null || { echo "FAIL: no ip to bring up loopback (Debian: iproute2)"; exit 1; }
    export FASTRAK_LSL_ISOLATED=1
    # shellcheck disable=SC2016 # the inner shell expands them
    exec unshare --net -- bash -c 'ip link set lo up && exec "$0" "$@"' "$@"
  fi
  [ -n "${FASTRAK_LSL_ISOLATED:-}" ] || echo "not root: no network namespace, only the machine scope keeps LSL on loopback"
  work=$(mktemp -d /tmp/fastrak-lsl-XXXXXX)
  printf '[multicast]\nResolveScope = machine\n[ports]\nIPv6 = disable\n[lab]\nKnownPeers = {127.0.0.1}\n' \
    >"$work/lsl_api.cfg"
  export LSLAPICFG=$work/lsl_api.cfg
}

# lsl_check_run HOST_STATUS HOST_OUTPUT INLET_STATUS: fails on a host that failed or that did not
# read the LSLAPICFG file, and on a failed inlet.
lsl_check_run() {
  [ "$1" -eq 0 ] || fail "fastrak-host exited with $1"
  ! grep -q 'LSLAPICFG' "$2" || fail "LSL could not read $LSLAPICFG"
  [ "$3" -eq 0 ] || fail "the inlet's checks failed"
}
