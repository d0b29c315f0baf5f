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

# A mirror in the middle of a sync fails a list now and then ("File has unexpected size"). Try
# again; when a list keeps failing, install from the lists that came, with the failing suite left
# out for every architecture (a suite left out for one architecture only makes the i386 packages
# older than their installed amd64 twins, which apt refuses), and say what was left out.
apt_opts=()
log=$(mktemp)
trap 'rm -f "$log"; [ -n "${sources:-}" ] && rm -rf "$sources"' EXIT
update() {
  local try
  for try in 1 2 3; do
    if "${as_root[@]}" apt-get "${apt_opts[@]}" update -q 2>&1 | tee "$log" && ! grep -q '^[EW]: Failed to fetch' "$log"; then
      return 0
    fi
    [ "$try" -lt 3 ] && { echo "apt-get update failed (try $try of 3); trying again in $((try * 10)) s"; sleep $((try * 10)); }
  done
  return 1
}
failed_suites() {
  sed -n 's#^[EW]: Failed to fetch \([^[:space:]]*\)/dists/\([^/]*\)/.*#\1 \2#p' "$log" | sort -u
}
left_out=""
while ! update; do
  failed=$(failed_suites)
  if [ -z "$failed" ] || [ "$(wc -l <<<"$left_out$failed")" -gt 6 ]; then
    echo "install-packages: apt-get update keeps failing, and not on a list that can be left out" >&2
    exit 1
  fi
  left_out=$(printf '%s\n%s' "$left_out" "$failed" | grep -v '^$' | sort -u)
  echo "install-packages: these lists failed to download three times:" >&2
  sed 's/^/  /' <<<"$failed" >&2
  echo "install-packages: installing without them for this run, for every architecture" >&2
  sources=${sources:-$(mktemp -d)}
  rm -rf "$sources"/*
  scripts/apt-drop-suites.sh /etc/apt "$sources" <<<"$left_out"
  apt_opts=(-o "Dir::Etc::SourceList=$sources/sources.list" -o "Dir::Etc::SourceParts=$sources/sources.list.d")
done
"${as_root[@]}" apt-get "${apt_opts[@]}" install -y -q "${missing[@]}"
if [ -n "$left_out" ]; then
  echo "install-packages: installed without these suites, whose lists failed: $(tr '\n' ';' <<<"$left_out")" >&2
fi
