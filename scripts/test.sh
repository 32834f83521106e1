#!/usr/bin/env bash
# Builds and runs every test, stage by stage, and prints what each stage cost at the end:
#   build            one tree with every program, test, benchmark and fuzz target, built with
#                    clang under AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/)
#   ctest            its unit and whole-process tests, sanitized
#   the stages of scripts/test.d/ (the fuzzers' regression runs from that tree, clang-tidy on
#                    the changed files, Windows under Wine, the browser hand-off and the console
#                    in Chromium, the release)
#
# GCC builds the shipped programs: the browser hand-off's scanner and report tool
# (build-browser/), the Windows program (build-windows/) and the release (its Debian packages
# hold the receiver too), every one with warnings as errors. The tests themselves are built
# and run once, sanitized: a second, unsanitized tree of them and its run cost about a quarter
# of the whole run on two cores.
#
# After the build, two lanes run side by side on two cores: the native lane (tests, fuzzers,
# the browser stages) and the cross lane (clang-tidy over the changed files, the Windows build
# under Wine, the release); both wait a good part of their time on Wine, browsers, servers and
# the network. The clean Debian chroot the release is installed into is made in the
# background from the start.
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
# Debug keeps the assertions; line tables are all a sanitizer's report needs, and cost a
# fraction of full debug information to make.
tree=build-asan
build_tree() {
  CC=clang CXX=clang++ cmake -S . -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_FLAGS_DEBUG=-gline-tables-only -DCMAKE_CXX_FLAGS_DEBUG=-gline-tables-only \
    -DGRAVELIN_SANITIZE=ON -DGRAVELIN_FUZZ=ON -DGRAVELIN_WERROR=ON -DGRAVELIN_BENCH=ON \
    -DBUILD_TESTING=ON -DGRAVELIN_RECEIVER=ON >/dev/null &&
    cmake --build "$tree"
}

test_tree() {
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir "$tree" --output-on-failure -j "$jobs"
}

test_d() { bash "scripts/test.d/$1.sh"; }

# Every stage that needs the Linux programs or the compile database takes them from the tree.
export GRAVELIN_FUZZ_BUILD_DIR=$tree GRAVELIN_TIDY_BUILD=$tree GRAVELIN_CONSOLE_BUILD_DIR=$tree \
  GRAVELIN_LINUX_BUILD_DIR=$tree

native_lane() {
  stage native ctest test_tree
  # The fuzzers replay their seeds and a fixed number of mutations (longer runs:
  # docs/testing.md).
  for fuzz in 50-fuzz 51-intake-fuzz 52-summary-fuzz; do
    stage native "$fuzz" test_d "$fuzz"
  done
  stage native 60-browser test_d 60-browser
  stage native 70-console-browser test_d 70-console-browser
}

cross_lane() {
  # First, so that a finding shows early; it reads the tree's compile database.
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
