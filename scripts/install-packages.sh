#!/usr/bin/env bash
# Installs the packages of scripts/packages.txt that this Debian machine lacks (as root, or
# through sudo). `--run`: only what building and running the host needs; no argument: also what
# the tests need, with the i386 architecture that 32-bit Wine wants. `--list` prints the choice.
set -euo pipefail
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive
part=all list=false
for arg in "$@"; do
  case $arg in
    --run) part=run ;;
    --list) list=true ;;
    *) echo "usage: $0 [--run] [--list]" >&2; exit 2 ;;
  esac
done

mapfile -t packages < <(sed -e 's/#.*//' -e 's/[[:space:]]//g' scripts/packages.txt | grep -v '^$' |
  awk -v part="$part" '/^\[/ { section = $0; next } part == "all" || section == "[run]"')
if $list; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi
missing=()
for pkg in "${packages[@]}"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  as_root=(sudo)
fi
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${as_root[@]}" dpkg --add-architecture i386
fi
echo "installing: ${missing[*]}"
"${as_root[@]}" apt-get update -q
"${as_root[@]}" apt-get install -y -q "${missing[@]}"
