#!/usr/bin/env bash
# Builds and runs every test: the unit and whole-process tests, the same under
# AddressSanitizer and UndefinedBehaviorSanitizer, then the stages in scripts/test.d/
# (Windows under Wine, fuzzing, peer comparison, browser) in name order.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

echo "== build and test (build/)"
# scripts/build.sh shares build/ without tests or receiver: switch them back on.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGRAVELIN_WERROR=ON -DGRAVELIN_BENCH=ON \
  -DBUILD_TESTING=ON -DGRAVELIN_RECEIVER=ON >/dev/null
cmake --build build
ctest --test-dir build --output-on-failure -j "$jobs"

echo "== sanitizers (build-asan/)"
CC=clang CXX=clang++ cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DGRAVELIN_SANITIZE=ON -DGRAVELIN_WERROR=ON >/dev/null
cmake --build build-asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs"

for stage in scripts/test.d/*.sh; do
  [ -e "$stage" ] || continue
  echo "== $(basename "$stage")"
  bash "$stage"
done
echo "== all tests passed"
