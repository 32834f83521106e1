#!/usr/bin/env bash
# Builds the Linux programs into build/ (and the Windows program when its toolchain is
# there). Extra arguments go to CMake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGRAVELIN_WERROR=ON "$@" >/dev/null
cmake --build build
if [ -x scripts/build-windows.sh ] && command -v x86_64-w64-mingw32-g++-posix >/dev/null; then
  scripts/build-windows.sh
fi
