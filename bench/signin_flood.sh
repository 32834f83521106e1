#!/usr/bin/env bash
# Report intake latency during a flood of console sign-ins: gravelin-receiver serving HTTPS
# on loopback (SQLite), real sealed reports posted at a steady rate, first alone, then while
# 100 parallel clients post wrong passwords to the console's sign-in form, each attempt from
# a loopback address and name of its own (every one a full Argon2id check, none slowed down
# by the sign-in throttle). Prints p50/p99/max post latency for both phases and how the
# sign-ins were answered (bench/signin_flood.py does the load).
#
#   bench/signin_flood.sh [BUILD_DIR]
#
# Environment: RATE (posts a second, default 40), SECONDS_PER_PHASE (default 15),
# SIGNINS (parallel sign-in clients, default 100), FLOOD_NICE (niceness of the flood's own
# client process, default 0), RECEIVER_ARGS (more serve options).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
receiver=$build/bin/gravelin-receiver
samples=$build/bin/gravelin-sample-reports
tables=$here/../tests/data/smbios-tables
rate=${RATE:-40}
seconds=${SECONDS_PER_PHASE:-15}
signins=${SIGNINS:-100}
for tool in openssl python3 "$receiver" "$samples"; do
  command -v "$tool" >/dev/null || { echo "signin_flood.sh: $tool not found" >&2; exit 2; }
done

work=$(mktemp -d /tmp/gravelin-signin-flood-XXXXXX)
pid=""
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj /CN=localhost \
  -addext subjectAltName=IP:127.0.0.1 -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null

# Distinct reports for both phases, from four real tables.
needed=$(python3 -c "import math; print(math.ceil($rate * $seconds * 2 * 1.1) + 10)")
mapfile -t chosen < <(ls "$tables"/*.bin | sort | awk 'NR % 9 == 1' | head -n 4)
mkdir -p "$work/hex" "$work/bodies"
for table in "${chosen[@]}"; do
  "$samples" "$table" --count $(( (needed + 3) / 4 )) --out "$work/hex"
done
n=0
for hex in "$work"/hex/*.hex; do
  { printf 'scanResult='; tr -d '\n' < "$hex"; } > "$work/bodies/$n"
  echo "$work/bodies/$n" >> "$work/bodies.list"
  n=$((n + 1))
done
rm -rf "$work/hex"

printf '%s\n' "an-operator-password" | "$receiver" user add operator --data "$work/data" >/dev/null
"$receiver" serve --listen 127.0.0.1:0 --console 127.0.0.1:0 --cert "$work/cert.pem" \
  --key "$work/key.pem" --data "$work/data" ${RECEIVER_ARGS:-} > "$work/receiver.log" 2>&1 &
pid=$!
port="" console=""
for _ in $(seq 300); do
  port=$(sed -n 's|^gravelin-receiver: listening on https://[0-9.]*:\([0-9]*\).*|\1|p' "$work/receiver.log")
  console=$(sed -n 's|^gravelin-receiver: console on http://[0-9.]*:\([0-9]*\).*|\1|p' "$work/receiver.log")
  [ -n "$port" ] && [ -n "$console" ] && break
  kill -0 "$pid" 2>/dev/null || { cat "$work/receiver.log" >&2; exit 1; }
  sleep 0.1
done
[ -n "$console" ] || { echo "signin_flood.sh: the receiver did not start" >&2; exit 1; }

echo "reports: $n distinct; $rate posts/s for ${seconds} s per phase; $signins parallel sign-ins"
python3 "$here/signin_flood.py" --port "$port" --console "$console" --cafile "$work/cert.pem" \
  --bodies "$work/bodies.list" --rate "$rate" --seconds "$seconds" --signins "$signins" \
  --flood-nice "${FLOOD_NICE:-0}" \
  > "$work/result.jsonl"
python3 - "$work/result.jsonl" <<'PY'
import json, sys
rows = [json.loads(line) for line in open(sys.argv[1])]
print("%-7s %6s %7s %8s %8s %8s  %s" % ("phase", "posts", "non-200", "p50 ms", "p99 ms", "max ms", "sign-ins answered"))
for r in rows:
    signins = ""
    if "signins_401" in r:
        signins = "401: %d, 429: %d, 503: %d, other: %d" % (
            r["signins_401"], r["signins_429"], r["signins_503"], r["signins_other"])
    print("%-7s %6d %7d %8.1f %8.1f %8.1f  %s" % (r["phase"], r["posts"], r["non200"], r["p50_ms"],
                                                 r["p99_ms"], r["max_ms"], signins))
PY
