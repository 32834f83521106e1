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
# shellcheck source=scripts/lib/fuzz.sh
. scripts/lib/fuzz.sh
fuzz_prepare GRAVELIN_FUZZ_SECONDS smbios_fuzzer

fuzz_fresh_corpus ''
if ! compgen -G "$tables/*.rsmb" >/dev/null; then
  echo "50-fuzz: no real tables in $tables" >&2
  exit 1
fi
for table in "$tables"/*.rsmb; do
  { printf '\000'; tail -c +9 "$table"; } >"$corpus/$(basename "$table" .rsmb)"
done
# The earlier regression inputs are seeds too.
if compgen -G "tests/data/fuzz-regressions/*" >/dev/null; then
  cp tests/data/fuzz-regressions/* "$corpus/"
fi

fuzz_run '' '' smbios_fuzzer 8192
