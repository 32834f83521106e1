#!/usr/bin/env bash
# Page time of the console's machine list with 100,000 generated machines, on SQLite and on
# a throw-away PostgreSQL server (fsync on, as a real one), through bench/console_list.cpp.
# The machines are generated on the first run (SQLite: kept in /tmp/gravelin-bench-console).
#
#   bench/console_list.sh [BUILD_DIR]      (default build-bench; configures it with benchmarks)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DGRAVELIN_BENCH=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target bench_console_list
bench=$(realpath "$build/bench/bench_console_list")
echo "== SQLite"
GRAVELIN_BENCH_DATA=${GRAVELIN_BENCH_DATA:-/tmp/gravelin-bench-console} "$bench" --benchmark_min_time=1
echo "== PostgreSQL"
GRAVELIN_TEST_POSTGRES_FSYNC=on tests/receiver/storage/with-postgres.sh \
  bash -c 'GRAVELIN_BENCH_DATABASE="$GRAVELIN_TEST_POSTGRES_URI" "$0" --benchmark_min_time=1' "$bench"
