#!/usr/bin/env bash
# Load on gravelin-receiver over loopback HTTPS, beside nginx answering the same posts with a
# constant 200 (the ceiling of HTTP and TLS on this machine), in the same run.
#
#   bench/receiver_load.sh [BUILD_DIR]              SQLite only
#   tests/receiver/storage/with-postgres.sh bench/receiver_load.sh [BUILD_DIR]   SQLite and PostgreSQL
#
# Distinct real sealed reports (the real firmware tables scanned through the Linux build by
# gravelin-sample-reports, the system serial number varied) are posted by wrk, each exactly
# once, with 16 and 64 concurrent clients, on keep-alive connections and with a new TLS
# connection per post (P-256 certificate). Every post must be answered, and the number of
# 200s must equal the number of scans the store then holds. Printed per run: reports/s,
# p50/p99 latency, and for the receiver its CPU time per report and where its handler time
# went (its own counters, GET /status on the console).
#
# Environment: RECEIVER_ARGS (more serve options, e.g. "--workers 32"), SKIP_NGINX=1, REPORTS (distinct reports per run, default 4000), TABLES (how many real tables
# they come from, default 8), GRAVELIN_TEST_POSTGRES_URI (set by with-postgres.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
receiver=$build/bin/gravelin-receiver
samples=$build/bin/gravelin-sample-reports
tables=$here/../tests/data/smbios-tables
reports=${REPORTS:-4000}
table_count=${TABLES:-8}
for tool in wrk nginx openssl "$receiver" "$samples"; do
  command -v "$tool" >/dev/null || { echo "receiver_load.sh: $tool not found" >&2; exit 2; }
done

work=$(mktemp -d /tmp/gravelin-load-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj /CN=localhost \
  -addext subjectAltName=IP:127.0.0.1 -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null

# The reports: REPORTS distinct sealed texts from TABLE_COUNT real tables, as form bodies.
mapfile -t chosen < <(ls "$tables"/*.bin | sort | awk -v n="$table_count" 'NR % 6 == 1' | head -n "$table_count")
per_table=$(( (reports + ${#chosen[@]} - 1) / ${#chosen[@]} ))
mkdir -p "$work/hex" "$work/bodies"
for table in "${chosen[@]}"; do
  "$samples" "$table" --count "$per_table" --out "$work/hex"
done
n=0
for hex in "$work"/hex/*.hex; do
  [ "$n" -ge "$reports" ] && break
  { printf 'scanResult='; tr -d '\n' < "$hex"; } > "$work/bodies/$n"
  echo "$work/bodies/$n" >> "$work/bodies.list"
  n=$((n + 1))
done
rm -rf "$work/hex"
bytes=$(cat "$work"/bodies/* | wc -c)
echo "reports: $n distinct, from ${#chosen[@]} real tables, $((bytes / n)) bytes a post on average"
# nginx may see the same body more than once: three passes make its runs long enough to time.
for _ in 1 2 3; do cat "$work/bodies.list"; done > "$work/bodies3.list"

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

run_wrk() {  # URL CONNECTIONS CLOSE LIST FILLER
  local done_dir=$work/done
  rm -rf "$done_dir"; mkdir -p "$done_dir"
  THREADS=2 CLOSE=$3 BODY_LIST=$4 FILLER=$5 DONE_DIR=$done_dir wrk -t 2 -c "$2" -d 600s \
    --latency --timeout 30s -s "$here/receiver_load.lua" "$1" > "$work/wrk.out" 2>&1 &
  local wrk_pid=$!
  for _ in $(seq 6000); do
    [ "$(ls "$done_dir" | wc -l)" -ge 2 ] && break
    kill -0 "$wrk_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -INT "$wrk_pid" 2>/dev/null || true
  wait "$wrk_pid" || true
  grep '^{"posts_ok"' "$work/wrk.out" || { cat "$work/wrk.out" >&2; echo '{}'; }
}

json() { python3 -c 'import json,sys; print(json.loads(sys.argv[1])[sys.argv[2]])' "$1" "$2"; }

printf '\n%-10s %-9s %-10s %4s %7s %7s %9s %8s %8s %s\n' target engine mode c posts "200s" "reports/s" "p50 ms" "p99 ms" notes

# --- nginx: constant 200 on the post address, same certificate --------------------------
nginx_port=$(free_port)
mkdir -p "$work/nginx"
cat > "$work/nginx/nginx.conf" <<EOF
worker_processes 2;
user root;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  client_body_temp_path $work/nginx/body;
  server {
    listen 127.0.0.1:$nginx_port ssl;
    ssl_certificate $work/cert.pem;
    ssl_certificate_key $work/key.pem;
    keepalive_requests 1000000;
    client_max_body_size 16m;
    client_body_buffer_size 1m;
    location = /kestal/scantest.php { return 200 "ok\n"; }
    location = /filler { return 204; }
  }
}
EOF
nginx -c "$work/nginx/nginx.conf" -p "$work/nginx"
sleep 0.5
for mode in keep-alive new-tls; do
  [ -n "${SKIP_NGINX:-}" ] && break
  close=0; [ "$mode" = new-tls ] && close=1
  for c in 16 64; do
    out=$(run_wrk "https://127.0.0.1:$nginx_port" "$c" "$close" "$work/bodies3.list" /filler)
    posts=$(( $(json "$out" posts_ok) + $(json "$out" posts_other) ))
    rate=$(python3 -c "print(round($posts / $(json "$out" seconds)))")
    printf '%-10s %-9s %-10s %4s %7s %7s %9s %8s %8s %s\n' nginx - "$mode" "$c" "$posts" \
      "$(json "$out" posts_ok)" "$rate" "$(json "$out" p50_ms)" "$(json "$out" p99_ms)" \
      "errors: $(json "$out" connect_errors)/$(json "$out" read_errors)/$(json "$out" write_errors)/$(json "$out" timeouts)"
  done
done
kill "$(cat "$work/nginx/nginx.pid")"

# --- the receiver ------------------------------------------------------------------------
engines=(sqlite)
[ -n "${GRAVELIN_TEST_POSTGRES_URI:-}" ] && engines+=(postgresql)
failed=0
case_number=0
for engine in "${engines[@]}"; do
  for mode in keep-alive new-tls; do
    close=0; [ "$mode" = new-tls ] && close=1
    for c in 16 64; do
      case_number=$((case_number + 1))
      if [ "$engine" = sqlite ]; then
        store=(--data "$work/data-$case_number")
      else
        db=load_$case_number
        psql "$GRAVELIN_TEST_POSTGRES_URI" -qc "CREATE DATABASE $db"
        store=(--database "${GRAVELIN_TEST_POSTGRES_URI/\/postgres\?//$db?}")
      fi
      port=$(free_port)
      console=$(free_port)
      "$receiver" serve --listen "127.0.0.1:$port" --console "127.0.0.1:$console" \
        --cert "$work/cert.pem" --key "$work/key.pem" "${store[@]}" ${RECEIVER_ARGS:-} \
        > "$work/receiver.log" 2>&1 &
      pid=$!
      pids+=("$pid")
      for _ in $(seq 300); do grep -q listening "$work/receiver.log" && break; sleep 0.1; done
      cpu_before=$(awk '{print $14 + $15}' "/proc/$pid/stat")
      out=$(run_wrk "https://127.0.0.1:$port" "$c" "$close" "$work/bodies.list" /kestal/loading-com.jpg)
      cpu_after=$(awk '{print $14 + $15}' "/proc/$pid/stat")
      status=$(curl -s "http://127.0.0.1:$console/status")
      kill -TERM "$pid"; wait "$pid" || true
      stored=$("$receiver" scans "${store[@]}" | wc -l)
      ok=$(json "$out" posts_ok)
      posts=$(( ok + $(json "$out" posts_other) ))
      rate=$(python3 -c "print(round($posts / $(json "$out" seconds)))")
      ticks=$(getconf CLK_TCK)
      account=$(python3 - "$status" "$ok" "$cpu_before" "$cpu_after" "$ticks" <<'PY'
import json, sys
s, ok = json.loads(sys.argv[1]), max(int(sys.argv[2]), 1)
cpu_ms = (int(sys.argv[4]) - int(sys.argv[3])) * 1000 / int(sys.argv[5]) / ok
st = s['stageMicros']
print('cpu %.2f ms/report; handler us/report: check %d, analyse %d, store %d' % (
    cpu_ms, st['check'] / ok, st['analyse'] / ok, st['store'] / ok))
PY
)
      verdict="stored $stored"
      if [ "$posts" -ne "$n" ] || [ "$ok" -ne "$stored" ]; then verdict="FAIL: $verdict"; failed=1; fi
      printf '%-10s %-9s %-10s %4s %7s %7s %9s %8s %8s %s\n' receiver "$engine" "$mode" "$c" \
        "$posts" "$ok" "$rate" "$(json "$out" p50_ms)" "$(json "$out" p99_ms)" "$verdict; $account"
    done
  done
done
exit "$failed"
