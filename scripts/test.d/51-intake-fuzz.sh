#!/usr/bin/env bash
# Fuzzes the receiving side's intake (fuzz/intake_fuzzer.cpp: hex, unsealing, code page,
# the bounded parse, the Application block) and fails on any finding. Shares the fuzz build
# directory with 50-fuzz.sh (GRAVELIN_FUZZ_BUILD_DIR, default build-fuzz/); GRAVELIN_FUZZ_RUNS
# runs (default 20000), or GRAVELIN_INTAKE_FUZZ_SECONDS of fuzzing.
#
# Seeds, written here: small reports (accepted, and each kind of refusal), as report text
# (option byte 0), as text also sealed and posted (2) and as sealed hex (1); a real table's
# report from the report tool. A finding leaves its input in build-fuzz/intake-findings/.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${GRAVELIN_FUZZ_BUILD_DIR:-build-fuzz}
# By default a fixed number of runs (every seed, then mutations): the same work on every
# machine, a regression check. GRAVELIN_INTAKE_FUZZ_SECONDS=N fuzzes for N seconds instead.
seconds=${GRAVELIN_INTAKE_FUZZ_SECONDS:-}
runs=${GRAVELIN_FUZZ_RUNS:-20000}
if [ -n "$seconds" ]; then limit=(-max_total_time="$seconds"); what="for ${seconds}s"; else limit=(-runs="$runs"); what="$runs runs"; fi
tables=tests/data/smbios-tables

# A tree that already has the fuzz targets (scripts/test.sh builds them into build-asan/
# beside the sanitizer tests) is used as it is; any other is configured for fuzzing.
if ! grep -qs '^GRAVELIN_FUZZ:BOOL=ON' "$build/CMakeCache.txt"; then
  CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DGRAVELIN_FUZZ=ON -DBUILD_TESTING=OFF -DGRAVELIN_WERROR=ON >/dev/null
fi
cmake --build "$build" --target intake_fuzzer gravelin-report

corpus=$build/intake-corpus
rm -rf "$corpus" "$build/intake-corpus-run" "$build/intake-findings"
mkdir -p "$corpus" "$build/intake-corpus-run" "$build/intake-findings"
app='<Application><i0 OS="Debian 64Bit " Name="gravelin-scanner " Version="1.0.0.0 " Errors=" "/></Application>'
seeds=(
  "<?xml version=\"1.0\" encoding=\"utf-8\"?>
<HWInfo>$app<Win32_BaseBoard><i0 SerialNumber=\"SN1 \" Product=\"Board \"/></Win32_BaseBoard></HWInfo>"
  "<HWInfo>$app<X><a><a><a><a><a/></a></a></a></a></X></HWInfo>"
  "<!DOCTYPE HWInfo [<!ENTITY x \"y\">]><HWInfo>$app<X A=\"&x;\"/></HWInfo>"
  "<HWInfo>$app<X a=\"1\" b=\"2\" c=\"3\" d=\"4\" e=\"5\" f=\"6\"/><!-- c --><Y><![CDATA[<z>]]></Y></HWInfo>"
  "<Report>$app</Report>"
)
n=0
for seed in "${seeds[@]}"; do
  n=$((n + 1))
  printf '\000%s' "$seed" >"$corpus/text-$n"
  printf '\002%s' "$seed" >"$corpus/posted-$n"
  { printf '\001'; printf '%s' "$seed" | "$build/bin/gravelin-report" seal; } >"$corpus/sealed-$n"
done
if [ -f "$tables/qemu-pc-seabios.bin" ]; then
  { printf '\000'; "$build/bin/gravelin-report" decode "$tables/qemu-pc-seabios.bin"; } \
    >"$corpus/real-report"
fi

echo "fuzzing the intake for $what from $(ls "$corpus" | wc -l) seeds"
status=0
"$build/fuzz/intake_fuzzer" "${limit[@]}" -max_len=8192 -timeout=20 \
  -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/intake-findings/" \
  "$build/intake-corpus-run" "$corpus" >"$build/intake-fuzz.log" 2>&1 || status=$?
grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec|stat::new_units_added)' \
  "$build/intake-fuzz.log" || true
if [ "$status" -ne 0 ] || compgen -G "$build/intake-findings/*" >/dev/null; then
  echo "INTAKE FUZZER FINDING (exit $status); log: $build/intake-fuzz.log" >&2
  grep -E 'ERROR|SUMMARY|finding:|runtime error' "$build/intake-fuzz.log" | head -20 >&2 || true
  ls -l "$build/intake-findings" >&2
  exit 1
fi
echo "intake fuzzer: no finding"
