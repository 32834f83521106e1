#!/usr/bin/env bash
# Times the whole `gravelin-report decode` process (the scanner's SMBIOS lines, and --all)
# beside `dmidecode --from-dump` on the same real tables, in one hyperfine run per table,
# and prints the ratio of each to dmidecode (mean wall time; below 1 is faster).
#
#   bench/decode_vs_dmidecode.sh [path/to/gravelin-report] [TABLE...]
#       TABLE: names under tests/data/smbios-tables without ".bin" (default: all of them)
#   RUNS=30 (runs per command after 3 warm-up runs)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
tool=$(realpath "${1:-$here/build/bin/gravelin-report}")
shift || true
tables_dir=$(realpath "$here/tests/data/smbios-tables")
runs=${RUNS:-30}
for needed in hyperfine dmidecode python3; do
  command -v "$needed" >/dev/null || { echo "missing: $needed" >&2; exit 1; }
done
dmidecode=$(command -v dmidecode)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

if [ $# -gt 0 ]; then
  tables=("$@")
else
  tables=()
  for file in "$tables_dir"/*.bin; do tables+=("$(basename "$file" .bin)"); done
fi

for name in "${tables[@]}"; do
  file="$tables_dir/$name.bin"
  hyperfine -N --warmup 3 --runs "$runs" --style none --export-json "$scratch/$name.json" \
    -n decode "$tool decode $file" \
    -n "decode --all" "$tool decode --all $file" \
    -n dmidecode "$dmidecode --from-dump $file" >/dev/null 2>&1
done

python3 - "$scratch" "${tables[@]}" <<'PY'
import json, statistics, sys
scratch, names = sys.argv[1], sys.argv[2:]
print(f"{'table':42} {'decode':>9} {'--all':>9} {'dmidecode':>10} {'ratio':>6} {'--all':>6}  (ms, mean)")
ratios, ratios_all = [], []
for name in names:
    results = {r["command"]: r for r in json.load(open(f"{scratch}/{name}.json"))["results"]}
    ours, every, peer = (results[k]["mean"] * 1000 for k in ("decode", "decode --all", "dmidecode"))
    ratios.append(ours / peer)
    ratios_all.append(every / peer)
    print(f"{name:42} {ours:9.2f} {every:9.2f} {peer:10.2f} {ours / peer:6.2f} {every / peer:6.2f}")
geo = lambda xs: statistics.geometric_mean(xs)
print(f"geometric mean of the ratios to dmidecode: decode {geo(ratios):.2f}, "
      f"decode --all {geo(ratios_all):.2f}; tables where --all is slower: "
      f"{sum(r > 1 for r in ratios_all)} of {len(names)}")
PY
