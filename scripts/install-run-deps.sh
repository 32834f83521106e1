#!/usr/bin/env bash
# Installs only the Debian packages that building and running the Linux scanner and the
# report tool need (scripts/packages/run.txt): the README's run command. The tests, the
# Windows cross-build and the receiver need scripts/install-deps.sh, which installs all.
# Runs as root, or through sudo.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
packages=$(grep -hv '^\s*#' "$here/packages/run.txt" | tr -s ' \n' ' ')
$SUDO apt-get update -q
# shellcheck disable=SC2086
$SUDO apt-get install -y -q --no-install-recommends $packages
