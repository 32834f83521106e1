#!/usr/bin/env bash
# Times the whole Linux scan, from the start of gravelin-scanner to its submit page (no
# browser: it runs in a scratch directory with a PATH that has no xdg-open), beside
# `lshw -xml` on the same machine in the same run: wall time and CPU time (hyperfine's user +
# system time) and peak memory (GNU time's maximum resident set size, the median of several
# runs).
#
#   bench/whole_scan.sh [path/to/gravelin-scanner]      (RUNS=20 by default)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
scanner=$(realpath "${1:-$here/build/bin/gravelin-scanner}")
runs=${RUNS:-20}
for tool in hyperfine lshw /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
lshw=$(command -v lshw)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"

# The scan must end at the submit page, or it timed nothing worth quoting.
env PATH=/nonexistent "$scanner"
grep -q 'name="scanResult"' gravelin-scanner.html || { echo "no submit page" >&2; exit 1; }

echo "== wall time ($runs runs each, after 3 warm-up runs)"
hyperfine -N --warmup 3 --runs "$runs" --export-json "$scratch/times.json" \
  -n gravelin-scanner "env PATH=/nonexistent $scanner" \
  -n "lshw -xml" "$lshw -xml"

peak() {  # median maximum resident set size in KiB over 5 runs
  for _ in 1 2 3 4 5; do
    /usr/bin/time -f '%M' -o "$scratch/rss" "$@" >/dev/null 2>&1 || true
    tail -n1 "$scratch/rss"
  done | sort -n | sed -n 3p
}
scan_kib=$(peak env PATH=/nonexistent "$scanner")
lshw_kib=$(peak "$lshw" -xml)
echo "== peak memory (median of 5 runs, maximum resident set size)"
echo "gravelin-scanner: ${scan_kib} KiB   lshw -xml: ${lshw_kib} KiB"

python3 - "$scratch/times.json" "$scan_kib" "$lshw_kib" <<'PY'
import json, statistics, sys
results = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
scan, lshw = results["gravelin-scanner"], results["lshw -xml"]
ms = lambda r: 1000 * statistics.median(r["times"])
cpu = lambda r: 1000 * (r["user"] + r["system"])  # hyperfine gives means only
print("== summary (medians; CPU time: means)")
print(f"wall: gravelin-scanner {ms(scan):.1f} ms, lshw -xml {ms(lshw):.1f} ms, "
      f"ratio {ms(scan) / ms(lshw):.2f}")
print(f"cpu (user+system): gravelin-scanner {cpu(scan):.1f} ms, lshw -xml {cpu(lshw):.1f} ms, "
      f"ratio {cpu(scan) / cpu(lshw):.2f}")
print(f"peak memory: gravelin-scanner {sys.argv[2]} KiB, lshw -xml {sys.argv[3]} KiB, "
      f"ratio {int(sys.argv[2]) / int(sys.argv[3]):.2f}")
PY
