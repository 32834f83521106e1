#!/usr/bin/env bash
# Builds the Linux programs (gravelin-scanner, gravelin-report) into build-run/, optimised,
# with neither the tests nor the receiver: what the README's run command needs and no more
# (the "run" preset of CMakePresets.json). build/ stays the test tree of scripts/test.sh and
# the "dev" preset. The Windows program: scripts/build-windows.sh; everything with its tests:
# scripts/test.sh. Extra arguments go to CMake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset run "$@" >/dev/null
cmake --build --preset run
