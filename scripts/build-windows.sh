#!/usr/bin/env bash
# Cross-builds the Windows program with mingw-w64 into build-windows/: one static
# gravelin-scanner.exe with no DLLs beside it. With --all, the Windows test programs too.
# pugixml comes from build-deps/pugixml (fetched by scripts/install.d/20-windows.sh),
# GoogleTest from Debian's googletest sources in /usr/src/googletest.
set -euo pipefail
cd "$(dirname "$0")/.."
target=(--target gravelin-scanner)
if [ "${1:-}" = "--all" ]; then
  target=()
  shift
fi
pugixml=${GRAVELIN_PUGIXML_SOURCE:-$PWD/build-deps/pugixml}
gtest=${GRAVELIN_GTEST_SOURCE:-/usr/src/googletest}
if [ ! -f "$pugixml/src/pugixml.cpp" ]; then
  echo "build-windows.sh: no pugixml sources in $pugixml (scripts/install-deps.sh fetches them)" >&2
  exit 1
fi
# Test discovery runs the test programs under Wine: at test time, not at build time.
cmake -S . -B build-windows -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGRAVELIN_WERROR=ON \
  -DGRAVELIN_PUGIXML_SOURCE="$pugixml" -DGRAVELIN_GTEST_SOURCE="$gtest" \
  -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST "$@" >/dev/null
cmake --build build-windows "${target[@]}"
