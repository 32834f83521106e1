#!/usr/bin/env bash
# The Windows program under Wine: the cross-build (build-windows/), a fresh Wine prefix with
# one persistent wineserver, the Windows unit tests through CTest with Wine as the emulator,
# then the end-to-end test (tests/scanner/windows/end_to_end.sh), which unseals the scanner's pages
# with the Linux gravelin-report, and tests/scanner/windows/receiver_end_to_end.sh: the pages posted
# to gravelin-receiver, and one real table through both builds landing on one identity
# (about 1.5 min).
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

# Without debug information: the tests need none, and it is a good part of the build's time.
scripts/build-windows.sh --all "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -DNDEBUG" \
  "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -DNDEBUG"
elapsed "cross-build"

# The Linux programs (gravelin-report unseals the pages; the receiver, the sample maker and
# the Linux scanner for the receiver's test): the ones scripts/test.sh built
# (GRAVELIN_LINUX_BUILD_DIR, default build/), else our own.
linux=${GRAVELIN_LINUX_BUILD_DIR:-build}
if [ ! -x "$linux/bin/gravelin-report" ] || [ ! -x "$linux/bin/gravelin-receiver" ] ||
   [ ! -x "$linux/bin/gravelin-sample-reports" ] || [ ! -x "$linux/bin/gravelin-scanner" ]; then
  cmake -S . -B build-win-linux -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build-win-linux --target gravelin-report gravelin-receiver gravelin-sample-reports \
    gravelin-scanner
  linux=build-win-linux
fi
report=$linux/bin/gravelin-report

# shellcheck source=tests/scanner/windows/wine_session.sh
. tests/scanner/windows/wine_session.sh
trap wine_session_stop EXIT
wine_session_start "$PWD/build-windows/wineprefix"
elapsed "fresh Wine prefix"

ctest --test-dir build-windows --output-on-failure -j "$(nproc)"
elapsed "unit tests under Wine"

bash tests/scanner/windows/end_to_end.sh build-windows "$report" "$PWD/tests/data/smbios-tables"
elapsed "end-to-end test"

status=0
bash tests/scanner/windows/receiver_end_to_end.sh build-windows "$linux/bin/gravelin-receiver" \
  "$linux/bin/gravelin-sample-reports" "$linux/bin/gravelin-scanner" \
  "$PWD/tests/data/smbios-tables" || status=$?
if [ "$status" -eq 77 ]; then
  echo "30-windows: receiver end-to-end test skipped"
elif [ "$status" -ne 0 ]; then
  exit "$status"
fi
elapsed "receiver end-to-end test"
