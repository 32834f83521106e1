#!/usr/bin/env bash
# The browser hand-off end to end (tests/e2e/browser_handoff.sh): a build of the scanner
# whose result host is gravelin-receiver on loopback, headless chromium as the browser it
# opens. Build directory: build-browser/ (GRAVELIN_BROWSER_BUILD_DIR to change it). The
# receiver is the one scripts/test.sh built (GRAVELIN_LINUX_BUILD_DIR, default build/) when
# there is one, else built here.
# About 40 s on two idle cores once built.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${GRAVELIN_BROWSER_BUILD_DIR:-build-browser}

port_is_free() {
  python3 - "$1" <<'PY'
import socket, sys
s = socket.socket()
try:
    s.bind(("127.0.0.1", int(sys.argv[1])))
except OSError:
    sys.exit(1)
PY
}

# Keep the port of an earlier configuration while it is free (no rebuild); else take a
# free one from the kernel.
port=""
if [ -f "$build/CMakeCache.txt" ]; then
  port=$(sed -n 's/^GRAVELIN_RESULT_HOST:STRING=127\.0\.0\.1:\([0-9]*\)$/\1/p' "$build/CMakeCache.txt")
fi
if [ -z "$port" ] || ! port_is_free "$port"; then
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
fi

# GCC at -O2 as shipped, without debug information (no test here reads it).
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGRAVELIN_WERROR=ON \
  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -DNDEBUG" "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -DNDEBUG" \
  -DBUILD_TESTING=OFF -DGRAVELIN_RESULT_HOST="127.0.0.1:$port" >/dev/null
receiver=${GRAVELIN_LINUX_BUILD_DIR:-build}/bin/gravelin-receiver
targets=(gravelin-scanner gravelin-report)
if [ ! -x "$receiver" ]; then
  receiver=$build/bin/gravelin-receiver
  targets+=(gravelin-receiver)
fi
cmake --build "$build" --target "${targets[@]}"
bash tests/e2e/browser_handoff.sh "$build/bin/gravelin-scanner" \
  "$build/bin/gravelin-report" "$receiver" "127.0.0.1:$port"
