#!/usr/bin/env bash
# Fuzzes the SMBIOS path (fuzz/smbios_fuzzer.cpp: registry source, walker, every decoder,
# report tree, report text, sealing) and fails on any finding. Build directory: build-fuzz/
# (GRAVELIN_FUZZ_BUILD_DIR to change it). A fixed number of runs, GRAVELIN_FUZZ_RUNS (default
# 20000), or GRAVELIN_FUZZ_SECONDS of fuzzing (a longer search: docs/testing.md).
#
# The seed corpus is the real tables of tests/data/smbios-tables, copied into the build
# directory at run time (one option byte 0, then the table without its registry header).
# A finding leaves its input in build-fuzz/findings/: fix the fault, and keep the input under
# tests/data/fuzz-regressions/ with a unit test that replays it; the inputs there are seeds
# of every later run too.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${GRAVELIN_FUZZ_BUILD_DIR:-build-fuzz}
# By default a fixed number of runs (every seed, then mutations): the same work on every
# machine, a regression check. GRAVELIN_FUZZ_SECONDS=N fuzzes for N seconds instead.
seconds=${GRAVELIN_FUZZ_SECONDS:-}
runs=${GRAVELIN_FUZZ_RUNS:-20000}
if [ -n "$seconds" ]; then limit=(-max_total_time="$seconds"); what="for ${seconds}s"; else limit=(-runs="$runs"); what="$runs runs"; fi
tables=tests/data/smbios-tables

# A tree that already has the fuzz targets (scripts/test.sh builds them into build-asan/
# beside the sanitizer tests) is used as it is; any other is configured for fuzzing.
if ! grep -qs '^GRAVELIN_FUZZ:BOOL=ON' "$build/CMakeCache.txt"; then
  CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DGRAVELIN_FUZZ=ON -DBUILD_TESTING=OFF -DGRAVELIN_WERROR=ON >/dev/null
fi
cmake --build "$build" --target smbios_fuzzer

rm -rf "$build/corpus" "$build/corpus-run" "$build/findings"
mkdir -p "$build/corpus" "$build/corpus-run" "$build/findings"
if ! compgen -G "$tables/*.rsmb" >/dev/null; then
  echo "50-fuzz: no real tables in $tables" >&2
  exit 1
fi
for table in "$tables"/*.rsmb; do
  { printf '\000'; tail -c +9 "$table"; } >"$build/corpus/$(basename "$table" .rsmb)"
done
# The earlier regression inputs are seeds too.
if compgen -G "tests/data/fuzz-regressions/*" >/dev/null; then
  cp tests/data/fuzz-regressions/* "$build/corpus/"
fi

echo "fuzzing for $what from $(ls "$build/corpus" | wc -l) seeds"
status=0
"$build/fuzz/smbios_fuzzer" "${limit[@]}" -max_len=8192 -timeout=20 \
  -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/findings/" \
  "$build/corpus-run" "$build/corpus" >"$build/fuzz.log" 2>&1 || status=$?
grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec|stat::new_units_added)' \
  "$build/fuzz.log" || true
if [ "$status" -ne 0 ] || compgen -G "$build/findings/*" >/dev/null; then
  echo "FUZZER FINDING (exit $status); log: $build/fuzz.log" >&2
  grep -E 'ERROR|SUMMARY|finding:|runtime error' "$build/fuzz.log" | head -20 >&2 || true
  ls -l "$build/findings" >&2
  exit 1
fi
echo "fuzzer: no finding"
