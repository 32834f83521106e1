#!/usr/bin/env bash
# Builds and runs every test, stage by stage, and prints what each stage cost at the end:
#   build            the Linux tree with its tests and benchmarks (build/)
#   ctest            its unit and whole-process tests
#   asan             the same tree under AddressSanitizer and UndefinedBehaviorSanitizer with the
#                    fuzz targets (build-asan/), its tests, then the fuzzers' regression runs
#   the stages of scripts/test.d/ (clang-tidy on the changed files, Windows under Wine,
#                    browser, console, release)
#
# After the build, two lanes run side by side on two cores: the native lane (tests, sanitizers,
# fuzzers, the browser stages) and the cross lane (clang-tidy over the changed files, the
# Windows build under Wine, the release);
# both wait a good part of their time on Wine, browsers, servers and the network. The clean
# Debian chroot the release is installed into is made in the background from the start.
# GRAVELIN_SERIAL=1 runs everything one after the other instead.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)
times=$(mktemp -d /tmp/gravelin-test-times.XXXXXX)
run_started=$(date +%s)

# One stage: its output, prefixed with its lane when lanes overlap; its wall time into the
# table; a failing stage fails its lane.
stage() {
  local lane=$1 name=$2
  shift 2
  local begin status=0
  begin=$(date +%s)
  echo "== $name"
  "$@" || status=$?
  printf '%s\t%s\t%s\t%s\t%s\n' "$((begin - run_started))" "$lane" "$name" \
    "$(($(date +%s) - begin))" "$status" >>"$times/stages"
  return "$status"
}

print_table() {
  # Only the main shell prints (and removes) the table, never a lane's subshell.
  [ "$BASHPID" = "$$" ] || return 0
  local total=$(($(date +%s) - run_started))
  echo
  echo "== stage times (wall clock; lanes overlap)"
  printf '%-24s %-7s %8s %8s  %s\n' stage lane start minutes result
  if [ -s "$times/stages" ]; then
    sort -n "$times/stages" | while IFS=$'\t' read -r start lane name seconds status; do
      printf '%-24s %-7s %8s %8s  %s\n' "$name" "$lane" "$(printf '%d:%02d' $((start / 60)) $((start % 60)))" \
        "$(printf '%d:%02d' $((seconds / 60)) $((seconds % 60)))" \
        "$([ "$status" = 0 ] && echo ok || echo "FAILED ($status)")"
    done
  fi
  printf '%-24s %-7s %8s %8s\n' "whole run" "" "" "$(printf '%d:%02d' $((total / 60)) $((total % 60)))"
  rm -rf "$times"
}
trap print_table EXIT

# (The stages run inside "||", where errexit does not act: each step is chained with &&.)
build_tree() {
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGRAVELIN_WERROR=ON \
    -DGRAVELIN_BENCH=ON -DBUILD_TESTING=ON -DGRAVELIN_RECEIVER=ON >/dev/null &&
    cmake --build build
}

test_tree() {
  ctest --test-dir build --output-on-failure -j "$jobs"
}

asan_tree() {
  CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DGRAVELIN_SANITIZE=ON -DGRAVELIN_FUZZ=ON -DGRAVELIN_WERROR=ON >/dev/null &&
    cmake --build build-asan &&
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j "$jobs"
}

test_d() { bash "scripts/test.d/$1.sh"; }

native_lane() {
  stage native ctest test_tree
  stage native asan asan_tree
  # The fuzzers were built in build-asan with the sanitizers; in CI they replay their seeds
  # and a fixed number of mutations (longer runs: docs/testing.md).
  for fuzz in 50-fuzz 51-intake-fuzz 52-summary-fuzz; do
    GRAVELIN_FUZZ_BUILD_DIR=build-asan stage native "$fuzz" test_d "$fuzz"
  done
  stage native 60-browser test_d 60-browser
  stage native 70-console-browser test_d 70-console-browser
}

cross_lane() {
  # First, so that a finding shows early; it reads build/'s compile database.
  stage cross 20-tidy test_d 20-tidy
  stage cross 30-windows test_d 30-windows
  stage cross 70-release test_d 70-release
}

# Every stage of scripts/test.d/ runs in one of the lanes above: a new one must be added there.
for script in scripts/test.d/*.sh; do
  name=$(basename "$script" .sh)
  if ! grep -qw -- "$name" <(declare -f native_lane cross_lane); then
    echo "scripts/test.sh: $script is in no lane" >&2
    exit 1
  fi
done

# The clean Debian 12 that 70-release installs the packages on: network and disk, no CPU to
# speak of, so it is made while the build runs (70-release waits for it, or makes it itself
# if this attempt failed).
mkdir -p build-release
bash tests/release/clean_debian.sh build-release/chroot >build-release/chroot.log 2>&1 &

stage main build build_tree

if [ -n "${GRAVELIN_SERIAL:-}" ]; then
  native_lane
  cross_lane
else
  # Each lane's output goes to its log, with the lane's name before each line, and to the
  # terminal as it comes.
  native_lane > >(sed -u 's/^/[native] /') 2>&1 &
  native_pid=$!
  cross_lane > >(sed -u 's/^/[cross]  /') 2>&1 &
  cross_pid=$!
  status=0
  wait "$native_pid" || status=1
  wait "$cross_pid" || status=1
  wait  # the output of both lanes, and the chroot maker
  [ "$status" -eq 0 ] || { echo "== a lane failed (see the table)"; exit 1; }
fi
echo "== all tests passed"
