#!/usr/bin/env bash
# The Windows program under Wine: the cross-build (build-windows/), a fresh Wine prefix with
# one persistent wineserver, the Windows unit tests through CTest with Wine as the emulator,
# then the end-to-end test (tests/windows/end_to_end.sh), which unseals the scanner's pages
# with the Linux gravelin-report.
set -euo pipefail
cd "$(dirname "$0")/../.."
for tool in x86_64-w64-mingw32-g++-posix wine wineserver wineboot; do
  if ! command -v "$tool" >/dev/null; then
    echo "30-windows: $tool missing (scripts/install-deps.sh installs it)" >&2
    exit 1
  fi
done
started=$(date +%s)
elapsed() { echo "   [$(($(date +%s) - started)) s] $*"; }

scripts/build-windows.sh --all
elapsed "cross-build"

# The Linux gravelin-report unseals the pages: the one scripts/test.sh built, else our own.
report=build/tools/gravelin-report
if [ ! -x "$report" ]; then
  cmake -S . -B build-win-linux -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
  cmake --build build-win-linux --target gravelin-report
  report=build-win-linux/tools/gravelin-report
fi

# shellcheck source=tests/windows/wine_session.sh
. tests/windows/wine_session.sh
trap wine_session_stop EXIT
wine_session_start "$PWD/build-windows/wineprefix"
elapsed "fresh Wine prefix"

ctest --test-dir build-windows --output-on-failure -j "$(nproc)"
elapsed "unit tests under Wine"

bash tests/windows/end_to_end.sh build-windows "$report" "$PWD/tests/data/smbios-tables"
elapsed "end-to-end test"
