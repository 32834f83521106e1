#!/usr/bin/env bash
# Installs every Debian package the build and the tests need (lists in scripts/packages/).
# Runs as root, or through sudo.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
packages=$(grep -hv '^\s*#' "$here"/packages/*.txt | tr -s ' \n' ' ')
$SUDO apt-get update -q
# shellcheck disable=SC2086
$SUDO apt-get install -y -q --no-install-recommends $packages
for hook in "$here"/install.d/*.sh; do
  [ -e "$hook" ] || continue
  echo "== $(basename "$hook")"
  bash "$hook"
done
