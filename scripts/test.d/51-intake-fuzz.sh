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
# shellcheck source=scripts/lib/fuzz.sh
. scripts/lib/fuzz.sh
fuzz_prepare GRAVELIN_INTAKE_FUZZ_SECONDS intake_fuzzer gravelin-report

fuzz_fresh_corpus intake-
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

fuzz_run intake intake- intake_fuzzer 8192
