#!/usr/bin/env bash
# The console in headless chromium against gravelin-receiver's console listener, on a
# throw-away PostgreSQL server (screenshots to docs/) and on SQLite
# (tests/receiver/console/console_browser.sh). About 30 s per engine here.
# Build directory: build/ (GRAVELIN_CONSOLE_BUILD_DIR to change it).
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${GRAVELIN_CONSOLE_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DGRAVELIN_WERROR=ON >/dev/null
cmake --build "$build" --target gravelin-receiver console_seed
tests/receiver/storage/with-postgres.sh bash tests/receiver/console/console_browser.sh "$build" postgresql docs
bash tests/receiver/console/console_browser.sh "$build" sqlite
