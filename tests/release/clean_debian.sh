#!/usr/bin/env bash
# Makes DIR a clean Debian 12 (debootstrap --variant=minbase, the mirror of this machine's
# sources) for the release check to install the packages on, once: a finished one is kept for
# later runs and marked as such, a half-made one (an interrupted run) is made again. Callers
# that come while another makes it wait for it (a lock beside DIR).
#
#   tests/release/clean_debian.sh DIR
set -euo pipefail
dir=${1:?usage: clean_debian.sh DIR}
mkdir -p "$(dirname "$dir")"
exec {lock}>"$dir.lock"
flock "$lock"
[ -e "$dir/.clean-debian-complete" ] && exit 0
mirror=$(sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*\/debian\)\/\{0,1\}$/\1/p' \
  /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1)
[ -n "$mirror" ] || mirror=$(sed -n 's/^deb[[:space:]]\{1,\}\([^[:space:]]*\/debian\)\/\{0,1\}[[:space:]].*/\1/p' \
  /etc/apt/sources.list 2>/dev/null | head -n 1)
for m in proc sys; do umount "$dir/$m" 2>/dev/null || true; done
rm -rf --one-file-system "$dir"
debootstrap --variant=minbase bookworm "$dir" "${mirror:-http://deb.debian.org/debian}" >/dev/null
# The package lists, so that the install step only downloads what the packages name.
cp /etc/resolv.conf "$dir/etc/resolv.conf"
chroot "$dir" apt-get update -q >/dev/null
touch "$dir/.clean-debian-complete"
echo "clean Debian 12 in $dir"
