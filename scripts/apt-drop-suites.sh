#!/usr/bin/env bash
# Copies apt's source lists from FROM (an /etc/apt) into TO, leaving out the suites named as
# "URI SUITE" lines on standard input, for every architecture: install-packages.sh uses it when a
# mirror keeps failing one list, so that both architectures of a package come from the same lists.
set -euo pipefail
if [ $# -ne 2 ]; then
  echo "usage: $0 FROM TO < 'URI SUITE' lines" >&2
  exit 2
fi
from=$1 to=$2
drop=$(sed -e 's#/*[[:space:]]\+# #' -e 's#[[:space:]]*$##' | grep -v '^$' || true)
mkdir -p "$to/sources.list.d"

# One-line format: "deb [options] URI SUITE COMPONENT...".
filter_list() {
  awk -v drop="$drop" '
    BEGIN { n = split(drop, d, "\n"); for (i = 1; i <= n; i++) gone[d[i]] = 1 }
    /^[[:space:]]*deb(-src)?[[:space:]]/ {
      line = $0; sub(/\[[^]]*\]/, "", line); split(line, f, /[[:space:]]+/)
      k = (f[1] == "") ? 2 : 1
      uri = f[k + 1]; sub(/\/+$/, "", uri)
      if ((uri " " f[k + 2]) in gone) { print "# left out for this run: " $0; next }
    }
    { print }' "$1"
}

# deb822 format: stanzas of "Key: value" lines; the suite is taken out of Suites, and a stanza
# left without suites is left out.
filter_sources() {
  awk -v drop="$drop" '
    BEGIN { n = split(drop, d, "\n"); for (i = 1; i <= n; i++) gone[d[i]] = 1; RS = ""; FS = "\n" }
    {
      uris = ""; for (i = 1; i <= NF; i++) if ($i ~ /^URIs:/) { uris = $i; sub(/^URIs:[[:space:]]*/, "", uris) }
      nu = split(uris, u, /[[:space:]]+/); out = ""; empty = 0
      for (i = 1; i <= NF; i++) {
        line = $i
        if (line ~ /^Suites:/) {
          v = line; sub(/^Suites:[[:space:]]*/, "", v); ns = split(v, s, /[[:space:]]+/); kept = ""
          for (j = 1; j <= ns; j++) {
            hit = 0
            for (k = 1; k <= nu; k++) { x = u[k]; sub(/\/+$/, "", x); if ((x " " s[j]) in gone) hit = 1 }
            if (!hit && s[j] != "") kept = kept (kept == "" ? "" : " ") s[j]
          }
          if (kept == "") empty = 1
          line = "Suites: " kept
        }
        out = out line "\n"
      }
      if (!empty) printf "%s\n", out
    }' "$1"
}

[ -f "$from/sources.list" ] && filter_list "$from/sources.list" > "$to/sources.list"
[ -f "$to/sources.list" ] || : > "$to/sources.list"
for f in "$from"/sources.list.d/*.list; do
  [ -f "$f" ] && filter_list "$f" > "$to/sources.list.d/$(basename "$f")"
done
for f in "$from"/sources.list.d/*.sources; do
  [ -f "$f" ] && filter_sources "$f" > "$to/sources.list.d/$(basename "$f")"
done
exit 0
