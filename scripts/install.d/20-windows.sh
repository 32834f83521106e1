#!/usr/bin/env bash
# The pugixml sources of Debian's package, for the Windows cross-build, unpacked into
# build-deps/pugixml (git-ignored; the Linux build uses libpugixml-dev instead). apt-get
# source needs deb-src entries: they are added, mirroring the deb entries, when missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
dest="$root/build-deps/pugixml"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

if [ -f "$dest/src/pugixml.cpp" ]; then
  echo "pugixml sources already in $dest"
  exit 0
fi

has_sources() { apt-cache showsrc pugixml 2>/dev/null | grep -q '^Package: pugixml'; }

if ! has_sources; then
  echo "adding deb-src entries"
  tmp_list=$(mktemp)
  # deb822 files: copy each enabled stanza of type deb that lacks deb-src, as deb-src.
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] || continue
    case "$f" in */gravelin-deb-src.sources) continue ;; esac
    awk 'BEGIN { RS = ""; ORS = "\n\n" }
      {
        types = ""; enabled = 1; n = split($0, lines, "\n"); out = ""
        for (i = 1; i <= n; i++) {
          if (lines[i] ~ /^Types:/) { types = lines[i]; continue }
          if (lines[i] ~ /^Enabled:[ \t]*no/) enabled = 0
          out = out lines[i] "\n"
        }
        if (enabled && types ~ /[ \t]deb([ \t]|$)/ && types !~ /deb-src/)
          print "Types: deb-src\n" out
      }' "$f" >>"$tmp_list"
  done
  if [ -s "$tmp_list" ]; then
    $SUDO install -m 0644 "$tmp_list" /etc/apt/sources.list.d/gravelin-deb-src.sources
  fi
  # One-line format.
  if [ -f /etc/apt/sources.list ]; then
    sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' /etc/apt/sources.list >"$tmp_list"
    if [ -s "$tmp_list" ]; then
      $SUDO install -m 0644 "$tmp_list" /etc/apt/sources.list.d/gravelin-deb-src.list
    fi
  fi
  rm -f "$tmp_list"
  $SUDO apt-get update -q
fi

work=$(mktemp -d)
chmod 0755 "$work"  # apt downloads as its own user
trap 'rm -rf "$work"' EXIT
(cd "$work" && apt-get source -q pugixml)
unpacked=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'pugixml-*' | head -n 1)
if [ -z "$unpacked" ] || [ ! -f "$unpacked/src/pugixml.cpp" ]; then
  echo "apt-get source pugixml gave no source tree" >&2
  exit 1
fi
mkdir -p "$(dirname "$dest")"
rm -rf "$dest"
mv "$unpacked" "$dest"
# Run through sudo: the tree belongs to the user who builds.
if [ -n "${SUDO_UID:-}" ] && [ -n "${SUDO_GID:-}" ]; then
  chown -R "$SUDO_UID:$SUDO_GID" "$root/build-deps"
fi
echo "pugixml sources in $dest"
