# shellcheck shell=bash disable=SC2034  # sets variables for the stage that sources it
# What the fuzz stages (scripts/test.d/5*-fuzz.sh) share; sourced, not run.
#
# fuzz_prepare SECONDS_VARIABLE TARGET...
#   Sets build (GRAVELIN_FUZZ_BUILD_DIR, default build-fuzz/), tables, and limit/what: a fixed
#   number of runs, GRAVELIN_FUZZ_RUNS (default 20000: every seed, then mutations; the same
#   work on every machine, a regression check), or, when the variable named SECONDS_VARIABLE
#   is set, that many seconds of fuzzing. A tree that already has the fuzz targets
#   (scripts/test.sh builds them into build-asan/ beside the sanitizer tests) is used as it
#   is; any other is configured for fuzzing. Then builds TARGET...
# fuzz_fresh_corpus PREFIX
#   Empties $build/PREFIXcorpus, PREFIXcorpus-run and PREFIXfindings; sets corpus.
# fuzz_run LABEL PREFIX FUZZER MAX_LEN
#   Runs $build/fuzz/FUZZER over the corpus and fails on any finding (its input is left in
#   $build/PREFIXfindings/, the log in $build/PREFIXfuzz.log).

fuzz_prepare() {
  local seconds_variable=$1
  shift
  build=${GRAVELIN_FUZZ_BUILD_DIR:-build-fuzz}
  tables=tests/data/smbios-tables
  local seconds=${!seconds_variable:-}
  local runs=${GRAVELIN_FUZZ_RUNS:-20000}
  if [ -n "$seconds" ]; then
    limit=(-max_total_time="$seconds")
    what="for ${seconds}s"
  else
    limit=(-runs="$runs")
    what="$runs runs"
  fi
  if ! grep -qs '^GRAVELIN_FUZZ:BOOL=ON' "$build/CMakeCache.txt"; then
    CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DGRAVELIN_FUZZ=ON -DBUILD_TESTING=OFF -DGRAVELIN_WERROR=ON >/dev/null
  fi
  cmake --build "$build" --target "$@"
}

fuzz_fresh_corpus() {
  corpus=$build/${1}corpus
  rm -rf "$corpus" "$build/${1}corpus-run" "$build/${1}findings"
  mkdir -p "$corpus" "$build/${1}corpus-run" "$build/${1}findings"
}

fuzz_run() {
  local label=$1 prefix=$2 fuzzer=$3 max_len=$4 status=0
  local findings=$build/${prefix}findings log=$build/${prefix}fuzz.log
  local name="${label:+$label }fuzzer"
  echo "fuzzing ${label:+the $label }for $what from $(ls "$build/${prefix}corpus" | wc -l) seeds"
  "$build/fuzz/$fuzzer" "${limit[@]}" -max_len="$max_len" -timeout=20 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/" \
    "$build/${prefix}corpus-run" "$build/${prefix}corpus" >"$log" 2>&1 || status=$?
  grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec|stat::new_units_added)' \
    "$log" || true
  if [ "$status" -ne 0 ] || compgen -G "$findings/*" >/dev/null; then
    echo "${name^^} FINDING (exit $status); log: $log" >&2
    grep -E 'ERROR|SUMMARY|finding:|runtime error' "$log" | head -20 >&2 || true
    ls -l "$findings" >&2
    return 1
  fi
  echo "$name: no finding"
}
