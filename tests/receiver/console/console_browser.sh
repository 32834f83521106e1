#!/usr/bin/env bash
# The console end to end on one storage engine: the seed reports (real tables, a workstation
# scanned twice with a module moved and a disk replaced, a machine with hostile firmware
# strings) imported by gravelin-receiver, an admin account made with `user add`, the receiver
# serving its console listener, headless chromium signing in and reading every page through
# the DevTools protocol (tests/receiver/console/console_browser.py).
#
#   console_browser.sh BUILD_DIR sqlite|postgresql [SCREENSHOT_DIR]
#
# postgresql takes its server from GRAVELIN_TEST_POSTGRES_URI (tests/receiver/storage/with-postgres.sh).
set -euo pipefail
if [ $# -lt 2 ]; then
  echo "usage: $0 BUILD_DIR sqlite|postgresql [SCREENSHOT_DIR]" >&2
  exit 2
fi
build=$(realpath "$1")
engine=$2
shots=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
receiver=$build/bin/gravelin-receiver
seed=$build/tests/receiver/console/console_seed
for tool in chromium python3 "$receiver" "$seed"; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing" >&2; exit 1; }
done

work=$(mktemp -d /tmp/gravelin-console-browser.XXXXXX)
receiver_pid=""
browser_pid=""
cleanup() {
  if [ -n "$browser_pid" ]; then
    kill -TERM -- "-$browser_pid" 2>/dev/null || kill -TERM "$browser_pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$browser_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL -- "-$browser_pid" 2>/dev/null || true
  fi
  if [ -n "$receiver_pid" ]; then
    kill -TERM "$receiver_pid" 2>/dev/null || true
    wait "$receiver_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

case "$engine" in
  sqlite) store=(--data "$work/data") ;;
  postgresql)
    [ -n "${GRAVELIN_TEST_POSTGRES_URI:-}" ] || { echo "FAIL: no GRAVELIN_TEST_POSTGRES_URI" >&2; exit 1; }
    store=(--database "$GRAVELIN_TEST_POSTGRES_URI") ;;
  *) echo "unknown engine $engine" >&2; exit 2 ;;
esac

"$seed" "$work/seed" >/dev/null
"$receiver" import "${store[@]}" "$work/seed"/*.hex >"$work/import.log"
password="console-test-$(od -An -N8 -tx1 /dev/urandom | tr -d ' \n')"
printf '%s\n' "$password" | "$receiver" user add tester --role admin "${store[@]}" >/dev/null

"$receiver" serve "${store[@]}" --plain-http --listen 127.0.0.1:0 --console 127.0.0.1:0 \
  >"$work/receiver.log" 2>&1 &
receiver_pid=$!
console=""
for _ in $(seq 300); do
  console=$(sed -n 's|^gravelin-receiver: console on \(http://[0-9.:]*\).*|\1|p' "$work/receiver.log")
  [ -n "$console" ] && break
  kill -0 "$receiver_pid" 2>/dev/null || { cat "$work/receiver.log" >&2; exit 1; }
  sleep 0.1
done
[ -n "$console" ] || { echo "FAIL: the receiver never opened its console" >&2; cat "$work/receiver.log" >&2; exit 1; }

mkdir -p "$work/profile"
# The console shows times in the reader's zone: the browser and the checks run in one that is
# not UTC and not a whole number of hours from it.
export TZ=Asia/Kolkata
setsid chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
  --disable-background-networking --disable-component-update --disable-sync \
  --hide-scrollbars --remote-debugging-port=0 --user-data-dir="$work/profile" \
  --window-size=1280,800 about:blank >"$work/chromium.log" 2>&1 &
browser_pid=$!

[ -n "$shots" ] && mkdir -p "$shots"
if ! python3 "$here/console_browser.py" --profile "$work/profile" --base "$console" \
    --user tester --password "$password" ${shots:+--screenshots "$shots"} >"$work/result.json"; then
  cat "$work/result.json" >&2
  echo "FAIL: console in the browser on $engine" >&2
  exit 1
fi
echo "console in the browser on $engine: $(python3 -c 'import json,sys; print(len(json.load(open(sys.argv[1]))["visited"]))' "$work/result.json") pages, no script ran"
