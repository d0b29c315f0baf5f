# shellcheck shell=bash disable=SC2154
# Sourced by the Wine tests of fastrak-host.exe: native emulators on the Wine prefix's COM links,
# their clean-up, and the one-device configuration most of them drive. Expects prefix, sim and work.
pids=()

# need_native PROGRAM...: the test is skipped unless each native program is built.
need_native() {
  for program in "$@"; do
    if [ ! -x "$program" ]; then
      echo "SKIPPED: no native $program (build the default preset first)"
      exit 0
    fi
  done
}

# stop_all: ends every process start_sim and the test put into pids.
stop_all() {
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  pids=()
}

# start_sim COMn LOG ARGS...: a native fastrak-sim serving the prefix's COMn, back once its link is
# there; its log is $work/LOG, its output $work/LOG.out.
start_sim() {
  local link="$prefix-com/$1" log=$2
  shift 2
  mkdir -p "$prefix-com"
  rm -f "$link"
  "$sim" --link "$link" --log "$work/$log" "$@" >"$work/$log.out" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    [ -L "$link" ] && break
    sleep 0.05
  done
}

# device_conf FILE [LINE...]: device w on COM1, station 1, the CAVE axes off, then the LINEs.
device_conf() {
  local file=$1
  shift
  printf '[host]\nlog-date no\n[device w]\nport COM1\nsensors 1 0 0 0\ncavecoord off\n' >"$file"
  for line in "$@"; do printf '%s\n' "$line" >>"$file"; done
}
