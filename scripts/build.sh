#!/usr/bin/env bash
# Builds the Linux programs (gravelin-scanner, gravelin-report) into build/, optimised, with
# neither the tests nor the receiver: what the README's run command needs and no more. The
# Windows program: scripts/build-windows.sh; everything with its tests: scripts/test.sh.
# Extra arguments go to CMake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" -DGRAVELIN_RECEIVER=OFF \
  -DBUILD_TESTING=OFF -DGRAVELIN_BENCH=OFF "$@" >/dev/null
cmake --build build --target gravelin-scanner gravelin-report
