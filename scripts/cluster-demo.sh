#!/usr/bin/env bash
# Several receivers as one, on this machine: a PostgreSQL server of its own, N receivers on
# it (plain HTTP on loopback, each restarted when it dies, as systemd's Restart=always
# would), and nginx in front terminating TLS and balancing the public endpoint and the
# console over them. Prints the addresses; Ctrl-C stops and removes everything.
#
#   scripts/cluster-demo.sh [--receivers N] [--port PORT] [--build DIR | --program FILE]
#                           [--state FILE] [--serve-option OPTION ...]
#
#   --receivers N  how many receivers [3]
#   --port PORT    the public endpoint's HTTPS port, the console's is PORT+1 [8443];
#                  0 picks free ports
#   --build DIR    where gravelin-receiver was built [build]
#   --program FILE the gravelin-receiver to run [DIR/bin/gravelin-receiver]
#   --state FILE   written once everything answers: JSON with the addresses, the database
#                  URI, the certificate, and each receiver's pid file (the tests read it)
#   --serve-option OPTION  one more option for every receiver's serve, e.g.
#                  --serve-option --webhook-ca-file=/etc/ssl/private-ca.pem (repeatable)
#
# docs/deploy.md explains each piece for a real deployment.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
receivers=3 port=8443 build=$here/../build program="" state="" serve_options=()
while [ $# -gt 0 ]; do
  case $1 in
    --receivers) receivers=$2; shift 2 ;;
    --port) port=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --program) program=$2; shift 2 ;;
    --state) state=$2; shift 2 ;;
    --serve-option) serve_options+=("$2"); shift 2 ;;
    -h | --help) sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "cluster-demo.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
done
case $receivers in '' | *[!0-9]* | 0) echo "cluster-demo.sh: --receivers takes a number from 1" >&2; exit 2 ;; esac
[ -n "$program" ] || program=$(cd "$build" 2>/dev/null && pwd)/bin/gravelin-receiver
pgbin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
for tool in nginx openssl psql "$program" "$pgbin/initdb"; do
  command -v "$tool" >/dev/null || {
    echo "cluster-demo.sh: $tool not found (scripts/install-deps.sh installs nginx and PostgreSQL; build first)" >&2
    exit 2
  }
done

work=$(mktemp -d /tmp/gravelin-cluster.XXXXXX)
chmod 755 "$work"
as_postgres() { if [ "$(id -u)" = 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi; }
supervisors=()
stopping=0
stop_all() {
  stopping=1
  trap - INT TERM EXIT
  for pid in "${supervisors[@]}"; do kill "$pid" 2>/dev/null || true; done
  for file in "$work"/receiver-*.pid; do
    [ -s "$file" ] && kill "$(cat "$file")" 2>/dev/null || true
  done
  [ -s "$work/nginx/nginx.pid" ] && kill "$(cat "$work/nginx/nginx.pid")" 2>/dev/null || true
  wait 2>/dev/null || true
  as_postgres "$pgbin/pg_ctl" -D "$work/pg/data" -m fast -w stop >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap stop_all EXIT
trap 'exit 130' INT TERM

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
if [ "$port" = 0 ]; then public=$(free_port) console=$(free_port); else public=$port console=$((port + 1)); fi

# PostgreSQL: a server of its own, on a Unix socket only.
mkdir -p "$work/pg"
[ "$(id -u)" = 0 ] && chown postgres: "$work/pg"
as_postgres "$pgbin/initdb" -D "$work/pg/data" -A trust -E UTF8 --locale=C -U postgres >"$work/pg/initdb.log"
as_postgres "$pgbin/pg_ctl" -D "$work/pg/data" -l "$work/pg/server.log" -w -t 30 \
  -o "-k $work/pg -c listen_addresses='' -c max_connections=400" start >/dev/null
psql "postgresql:///postgres?host=$work/pg&user=postgres" -qc 'CREATE DATABASE gravelin'
database="postgresql:///gravelin?host=$work/pg&user=postgres"

# The receivers: plain HTTP on loopback, the client's address taken from nginx's
# X-Forwarded-For. Each restarts when it dies; its pid is in receiver-I.pid.
supervise() {
  local i=$1 listen=$2 consoleport=$3 child=""
  trap 'stopping=1; [ -n "$child" ] && kill "$child" 2>/dev/null; exit 0' TERM
  while [ "$stopping" = 0 ]; do
    "$program" serve --plain-http --listen "127.0.0.1:$listen" --console "127.0.0.1:$consoleport" \
      --database "$database" --trusted-proxy 127.0.0.1 --workers 16 \
      --max-connections-per-address 100000 ${serve_options[@]+"${serve_options[@]}"} \
      >>"$work/receiver-$i.log" 2>&1 &
    child=$!
    echo "$child" >"$work/receiver-$i.pid"
    local status=0
    wait "$child" || status=$?
    [ "$stopping" = 0 ] || break
    echo "receiver $i ended ($status), starting it again" >&2
    sleep 0.5  # a restart delay, as systemd's RestartSec
  done
}
upstream_public="" upstream_console="" pidfiles="" consoleports=()
for i in $(seq 1 "$receivers"); do
  listen=$(free_port) consoleport=$(free_port)
  supervise "$i" "$listen" "$consoleport" &
  supervisors+=($!)
  consoleports+=("$consoleport")
  upstream_public+="    server 127.0.0.1:$listen max_fails=1 fail_timeout=2s;"$'\n'
  upstream_console+="    server 127.0.0.1:$consoleport max_fails=1 fail_timeout=2s;"$'\n'
  pidfiles+="${pidfiles:+, }{\"pid_file\": \"$work/receiver-$i.pid\", \"public\": $listen, \"console\": $consoleport}"
done

# nginx: TLS for both, retrying a post on the next receiver when one fails before answering
# (the report's digest makes a second delivery of the same post a duplicate, not a new scan).
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 -subj /CN=localhost \
  -addext subjectAltName=IP:127.0.0.1,DNS:localhost -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
mkdir -p "$work/nginx"
cat >"$work/nginx/nginx.conf" <<EOF
worker_processes 2;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log warn;
events { worker_connections 4096; }
http {
  access_log $work/nginx/access.log;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  ssl_protocols TLSv1.2 TLSv1.3;
  ssl_certificate $work/cert.pem;
  ssl_certificate_key $work/key.pem;
  server_tokens off;
  upstream receivers {
$upstream_public    keepalive 64;
  }
  upstream consoles {
$upstream_console    keepalive 16;
  }
  server {
    listen 127.0.0.1:$public ssl;
    client_max_body_size 16m;
    client_body_buffer_size 1m;
    # Only the endpoint's two addresses reach the receivers.
    location / { return 404; }
    location ~ ^/kestal/(scantest\.php|loading-com\.jpg)\$ {
      proxy_pass http://receivers;
      proxy_http_version 1.1;
      proxy_set_header Connection "";
      proxy_set_header Host \$host;
      proxy_set_header X-Forwarded-For \$remote_addr;
      proxy_set_header X-Forwarded-Proto https;
      proxy_next_upstream error timeout http_502 http_503 non_idempotent;
      proxy_next_upstream_tries 3;
      proxy_read_timeout 60s;
    }
  }
  server {
    listen 127.0.0.1:$console ssl;
    client_max_body_size 1m;
    location / {
      proxy_pass http://consoles;
      proxy_http_version 1.1;
      proxy_set_header Connection "";
      proxy_set_header Host \$host;
      proxy_set_header X-Forwarded-For \$remote_addr;
      proxy_set_header X-Forwarded-Proto https;
      proxy_next_upstream error timeout http_502;
    }
  }
}
EOF
nginx -c "$work/nginx/nginx.conf" -p "$work/nginx" -e "$work/nginx/error.log"

# Ready when every receiver answers its console's /status.
answers() { python3 - "$@" <<'PY'
import sys, urllib.request
try:
    urllib.request.urlopen('http://127.0.0.1:%s/status' % sys.argv[1], timeout=2).read()
except Exception:
    sys.exit(1)
PY
}
for i in $(seq 1 "$receivers"); do
  consoleport=${consoleports[$((i - 1))]}
  for _ in $(seq 300); do
    answers "$consoleport" && break
    sleep 0.1
  done
  answers "$consoleport" || { echo "cluster-demo.sh: receiver $i did not start:" >&2; cat "$work/receiver-$i.log" >&2; exit 1; }
done

if [ -n "$state" ]; then
  cat >"$state.tmp" <<EOF
{"public": "https://127.0.0.1:$public", "console": "https://127.0.0.1:$console",
 "database": "$database", "certificate": "$work/cert.pem", "work": "$work",
 "receivers": [$pidfiles]}
EOF
  mv "$state.tmp" "$state"
fi
cat <<EOF
$receivers receivers on one PostgreSQL, behind nginx:
  the endpoint  https://127.0.0.1:$public/kestal/scantest.php  (certificate $work/cert.pem)
  the console   https://127.0.0.1:$console/
  the database  $database
  logs          $work/receiver-*.log, $work/nginx/
An account: $program user add NAME --role admin --database '$database'
Ctrl-C stops everything.
EOF
wait "${supervisors[@]}"
