#!/usr/bin/env bash
# The hand-off end to end, in a real browser and against a real HTTPS endpoint.
#
#   browser_handoff.sh SCANNER REPORT_TOOL HOST:PORT
#
# SCANNER must be built with GRAVELIN_RESULT_HOST=HOST:PORT, HOST being 127.0.0.1. The test
# starts tests/e2e/endpoint.py on that address with a throw-away certificate, puts a stub
# `xdg-open` first on PATH that starts headless chromium (fresh profile, test certificate
# accepted, background networking off) on the file it is given, and runs the scanner. The
# scanner opens its page through its own shell-open path; the browser shows the waiting page,
# reloads it, finds the submit page and posts it. Checked: the browser was opened once, on
# the page file, never as root; the endpoint got exactly one POST with exactly one field,
# "scanResult"; its value is the one the scanner left in the page file; the unsealed report
# is well-formed XML with root "HWInfo" and "Application" first; the sealed length matches
# the report's.
#
# Two runs:
#   waiting  the scanner is held (stopped by strace right after it launched the browser) so
#            that the browser shows the waiting page while the scan is still running; a
#            screenshot of it is taken through the DevTools protocol, then the scan goes on
#            and the browser's next reload carries the report;
#   direct   the scanner runs at its own speed; on a fast machine it has ended before the
#            browser loads the file, which then already holds the submit page.
# Running as root, the scanner runs under sudo's rules (SUDO_UID/SUDO_GID of the unprivileged
# user "nobody", so that the program opens the page as that user, never as root) in the
# first run, and as "nobody" itself (setpriv) in the second; otherwise both run as the caller.
#
# Artifacts (screenshot, endpoint logs, reports, timings) go to tests/artifacts/browser/.
set -euo pipefail

if [ $# -ne 3 ]; then
  echo "usage: $0 SCANNER REPORT_TOOL HOST:PORT" >&2
  exit 2
fi
scanner=$(realpath "$1")
report_tool=$(realpath "$2")
host_port=$3
port=${host_port##*:}
here=$(cd "$(dirname "$0")" && pwd)
artifacts=$(realpath -m "$here/../artifacts/browser")

fail() { echo "FAIL: $*" >&2; exit 1; }
note() { echo "-- $*"; }

[ "${host_port%:*}" = 127.0.0.1 ] || fail "the endpoint listens on 127.0.0.1 only, not ${host_port%:*}"
for tool in chromium python3 openssl xmllint strace setpriv; do
  command -v "$tool" >/dev/null || fail "$tool is not installed (scripts/install-deps.sh installs it)"
done
grep -aq "$host_port" "$scanner" ||
  fail "$scanner is not built for $host_port (configure with -DGRAVELIN_RESULT_HOST=$host_port)"

work=$(mktemp -d /tmp/gravelin-browser.XXXXXX)
chmod 755 "$work"
rm -rf "$artifacts"
mkdir -p "$artifacts"

endpoint_pid=""
browser_pid=""
scanner_pid=""
stop_browser() {
  # The stub exec'ed chromium in the session the scanner's shell-open made for it: the
  # browser and its helpers share the stub's process group.
  if [ -n "$browser_pid" ]; then
    kill -TERM -- "-$browser_pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 -- "-$browser_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL -- "-$browser_pid" 2>/dev/null || true
    browser_pid=""
  fi
}
stop_endpoint() {
  if [ -n "$endpoint_pid" ]; then
    kill "$endpoint_pid" 2>/dev/null || true
    wait "$endpoint_pid" 2>/dev/null || true
    endpoint_pid=""
  fi
}
cleanup() {
  stop_browser
  for pid_file in "$work"/*/browser/pid; do
    [ -s "$pid_file" ] || continue
    browser_pid=$(cat "$pid_file")
    stop_browser
  done
  stop_endpoint
  if [ -n "$scanner_pid" ]; then kill -KILL "$scanner_pid" 2>/dev/null || true; fi
  [ -n "${GRAVELIN_KEEP_WORK:-}" ] && echo "kept $work" || rm -rf "$work"
}
trap cleanup EXIT

now() { date +%s.%N; }
elapsed() { python3 -c "import sys; print('%.2f' % (float(sys.argv[2]) - float(sys.argv[1])))" "$1" "$2"; }

# Waits up to $1 seconds for the command in the remaining arguments to succeed.
wait_for() {
  local limit=$1; shift
  local end=$((SECONDS + limit))
  until "$@"; do
    [ $SECONDS -lt $end ] || return 1
    sleep 0.05
  done
}

# --- Throw-away certificate and the waiting image -----------------------------------------
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
  -subj "/CN=127.0.0.1" -addext "subjectAltName=IP:127.0.0.1" \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
cat >"$work/image.html" <<'HTML'
<html><body style="margin:0;background:#e6e6e6">
<div style="width:360px;height:120px;display:flex;align-items:center;justify-content:center;
            gap:18px;font:600 22px sans-serif;color:#2d4a6b">
<div style="width:44px;height:44px;border-radius:50%;border:7px solid #b9c6d6;
            border-top-color:#2d4a6b;box-sizing:border-box"></div>
Scanning your PC&hellip;</div></body></html>
HTML
setsid chromium --headless --no-sandbox --disable-gpu --no-first-run \
  --disable-background-networking --disable-component-update --disable-sync \
  --user-data-dir="$work/image-profile" --remote-debugging-port=0 \
  "file://$work/image.html" >"$work/image.log" 2>&1 &
browser_pid=$!
python3 "$here/devtools.py" --profile "$work/image-profile" --url "file://$work/image.html" \
  --until 'document.readyState == "complete" && document.fonts.status == "loaded"' \
  --size 360x120 --format jpeg --screenshot "$work/loading-com.jpg" >/dev/null ||
  { cat "$work/image.log" >&2; fail "chromium could not render the waiting image"; }
stop_browser
[ -s "$work/loading-com.jpg" ] || fail "no waiting image"

start_endpoint() {
  local out=$1
  mkdir -p "$out"
  python3 "$here/endpoint.py" --port "$port" --cert "$work/cert.pem" --key "$work/key.pem" \
    --image "$work/loading-com.jpg" --report-tool "$report_tool" --out "$out" \
    2>"$out/endpoint.stderr" &
  endpoint_pid=$!
  wait_for 20 test -e "$out/ready" ||
    { cat "$out/endpoint.stderr" >&2; fail "the endpoint did not start on port $port"; }
}

# Process state letter of a pid ("" when gone).
state_of() { awk '{print $3}' "/proc/$1/stat" 2>/dev/null || true; }

if [ "$(id -u)" -eq 0 ]; then
  browser_uid=65534
  browser_gid=65534
else
  browser_uid=$(id -u)
  browser_gid=$(id -g)
fi

# Sets up one run's directories: run/ (the scanner's working directory), bin/xdg-open (the
# stub), browser/ (the browser's profile, home and logs, owned by the browser's user).
prepare_case() {
  local case_dir=$1 run_owner=$2
  mkdir -p "$case_dir/run" "$case_dir/bin" "$case_dir/browser/profile" "$case_dir/browser/home"
  chmod 755 "$case_dir" "$case_dir/run" "$case_dir/bin"
  cat >"$case_dir/bin/xdg-open" <<STUB
#!/bin/sh
# The browser this test's scanner opens: headless chromium on a fresh profile.
printf '%s %s\n' "\$(id -u)" "\$*" >>"$case_dir/browser/opened.log"
echo \$\$ >"$case_dir/browser/pid"
HOME="$case_dir/browser/home"
export HOME
exec chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \\
  --disable-background-networking --disable-component-update --disable-sync \\
  --no-default-browser-check --ignore-certificate-errors \\
  --user-data-dir="$case_dir/browser/profile" --remote-debugging-port=0 \\
  --window-size=1024,600 "\$1" >"$case_dir/browser/chromium.log" 2>&1
STUB
  chmod 755 "$case_dir/bin/xdg-open"
  if [ "$(id -u)" -eq 0 ]; then
    chown -R "$browser_uid:$browser_gid" "$case_dir/browser"
    chown "$run_owner" "$case_dir/run"
  fi
}

# Checks what the endpoint received against what the scanner left; $1 case dir, $2 name.
check_delivery() {
  local case_dir=$1 name=$2
  local out=$case_dir/endpoint page=$case_dir/run/gravelin-scanner.html
  local posts
  posts=$(grep -c '"method": "POST"' "$out/requests.jsonl" || true)
  [ "$posts" = 1 ] || fail "$name: the endpoint got $posts POST requests, not 1"
  grep -q '"method": "POST", "path": "/kestal/scantest.php"' "$out/requests.jsonl" ||
    fail "$name: the POST did not go to /kestal/scantest.php"
  python3 - "$out/post-1.json" "$name" <<'PY'
import json, sys
record = json.load(open(sys.argv[1]))
name = sys.argv[2]
assert record["fields"] == ["scanResult"], "%s: form fields %r" % (name, record["fields"])
assert record["content_type"] == "application/x-www-form-urlencoded", record["content_type"]
assert record["unseal_exit"] == 0, "%s: unseal failed: %s" % (name, record["unseal_stderr"])
PY
  # The value posted is the one the scanner sealed into its page, byte for byte.
  local page_hex
  page_hex=$(sed -n 's/.*name="scanResult" value="\([0-9A-F]*\)".*/\1/p' "$page")
  [ -n "$page_hex" ] || fail "$name: the page file holds no submit page"
  [ "$page_hex" = "$(cat "$out/post-1.scanResult")" ] ||
    fail "$name: the posted scanResult differs from the page's"
  # The report the endpoint stored is the report the scanner sealed.
  "$report_tool" unseal "$page" >"$case_dir/page-report.xml"
  cmp -s "$case_dir/page-report.xml" "$out/post-1.report.xml" ||
    fail "$name: the endpoint's report differs from the one unsealed from the page"
  xmllint --noout "$out/post-1.report.xml" || fail "$name: the report is not well-formed XML"
  [ "$(xmllint --xpath 'name(/*)' "$out/post-1.report.xml")" = HWInfo ] ||
    fail "$name: the root is not HWInfo"
  [ "$(xmllint --xpath 'name(/*/*[1])' "$out/post-1.report.xml")" = Application ] ||
    fail "$name: Application is not the root's first element"
  # Sealing the report again gives the posted text, and its length is 2 * roundUp(n, 8),
  # n being the report's length in 8-bit code-page characters.
  [ "$("$report_tool" seal "$out/post-1.report.xml")" = "$page_hex" ] ||
    fail "$name: sealing the received report again does not give the posted text"
  python3 - "$out/post-1.report.xml" "${#page_hex}" "$name" <<'PY'
import sys
n = len(open(sys.argv[1], encoding="utf-8", newline="").read())
hex_length, name = int(sys.argv[2]), sys.argv[3]
padded = 8 + n - ((n - 1) % 8) - 1 if n > 0 else 8
assert hex_length == 2 * padded, "%s: %d hex digits for a report of %d characters" % (
    name, hex_length, n)
PY
  # The browser was opened once, on the page file's absolute path, never as root.
  local opened
  opened=$(cat "$case_dir/browser/opened.log")
  [ "$opened" = "$browser_uid $case_dir/run/gravelin-scanner.html" ] ||
    fail "$name: the browser was opened as: $opened"
}

# Waits for the first POST, then long enough for another reload, and stops the browser.
await_post() {
  local case_dir=$1 name=$2 since=$3
  wait_for 30 test -e "$case_dir/endpoint/post-1.json" ||
    { cat "$case_dir/browser/chromium.log" >&2 || true; fail "$name: no POST within 30 s"; }
  local arrived
  arrived=$(now)
  echo "$name: report posted $(elapsed "$since" "$arrived") s after the scan ended" \
    | tee -a "$artifacts/timings.txt"
  sleep 4  # more than one reload period: a second POST would show now
  browser_pid=$(cat "$case_dir/browser/pid")
  stop_browser
  stop_endpoint
}

# --- Run 1: the waiting page while the scan runs -------------------------------------------
run_waiting() {
  local case_dir=$work/waiting name=waiting
  prepare_case "$case_dir" "$(id -u)"
  start_endpoint "$case_dir/endpoint"
  local -a as=()
  [ "$(id -u)" -eq 0 ] && as=(env SUDO_UID=$browser_uid SUDO_GID=$browser_gid SUDO_USER=nobody)
  local started
  started=$(now)
  # strace stops the scanner (SIGSTOP) at its first wait4: the wait for the helper process
  # of its shell-open, right after the browser was launched. The job gets a process group
  # of its own (set -m) whose parent, this script, stays in the session: a stopped group
  # without one would be orphaned and the kernel would hang it up.
  set -m
  (cd "$case_dir/run" && exec "${as[@]}" env PATH="$case_dir/bin:$PATH" \
    strace -qq -o "$case_dir/strace.txt" -e trace=wait4 \
    -e inject=wait4:signal=SIGSTOP:when=1 "$scanner") &
  local strace_pid=$!
  set +m
  wait_for 20 grep -qs . "/proc/$strace_pid/task/$strace_pid/children" ||
    fail "$name: strace did not start the scanner"
  scanner_pid=$(cat "/proc/$strace_pid/task/$strace_pid/children")
  scanner_pid=${scanner_pid%% *}
  wait_for 20 sh -c "awk '{print \$3}' /proc/$scanner_pid/stat | grep -q t" ||
    fail "$name: the scanner never reached its shell-open"
  grep -q '^<head>' "$case_dir/run/gravelin-scanner.html" ||
    fail "$name: the page file does not hold the waiting page while the scan runs"
  wait_for 20 test -s "$case_dir/browser/pid" || fail "$name: the browser was not opened"
  browser_pid=$(cat "$case_dir/browser/pid")

  local shown
  shown=$(python3 "$here/devtools.py" --profile "$case_dir/browser/profile" \
    --url "file://$case_dir/run/gravelin-scanner.html" --timeout 30 \
    --screenshot "$artifacts/waiting-page.png" --size 1024x600 \
    --until 'document.images.length == 1 && document.images[0].complete &&
             document.images[0].naturalWidth > 0 &&
             {src: document.images[0].src, width: document.images[0].naturalWidth,
              reloads: typeof waitForScan}') ||
    { cat "$case_dir/browser/chromium.log" >&2 || true; fail "$name: no waiting page in the browser"; }
  note "$name: the browser shows $shown"
  case "$shown" in
    *"\"src\": \"https://$host_port/kestal/loading-com.jpg\""*'"reloads": "function"'*) ;;
    *) fail "$name: the page in the browser is not the waiting page: $shown" ;;
  esac
  [ "$(state_of "$scanner_pid")" = t ] || fail "$name: the scan ended before the screenshot"
  grep -q '^<head>' "$case_dir/run/gravelin-scanner.html" ||
    fail "$name: the page file changed before the scan went on"
  grep -q '"path": "/kestal/loading-com.jpg"' "$case_dir/endpoint/requests.jsonl" ||
    fail "$name: the waiting image was not fetched from the endpoint"

  kill -CONT "$scanner_pid"
  local status=0
  wait "$strace_pid" || status=$?
  scanner_pid=""
  local ended
  ended=$(now)
  [ "$status" = 0 ] || fail "$name: the scanner's exit code is $status"
  echo "$name: browser opened, screenshot taken, scan resumed; whole run $(elapsed "$started" "$ended") s" \
    >>"$artifacts/timings.txt"
  await_post "$case_dir" "$name" "$ended"
  check_delivery "$case_dir" "$name"
  cp "$case_dir/endpoint/"* "$case_dir/browser/chromium.log" "$case_dir/strace.txt" \
    "$artifacts/" 2>/dev/null || true
  note "$name: one POST, the sealed report of the page file, well-formed"
}

# --- Run 2: the scan at its own speed -------------------------------------------------------
run_direct() {
  local case_dir=$work/direct name=direct
  local -a as=()
  if [ "$(id -u)" -eq 0 ]; then
    prepare_case "$case_dir" "$browser_uid:$browser_gid"
    # The program file where "nobody" may run it.
    install -m 755 "$scanner" "$case_dir/bin/gravelin-scanner"
    as=(setpriv --reuid="$browser_uid" --regid="$browser_gid" --clear-groups)
  else
    prepare_case "$case_dir" "$(id -u)"
    install -m 755 "$scanner" "$case_dir/bin/gravelin-scanner"
  fi
  start_endpoint "$case_dir/endpoint"
  local started status=0
  started=$(now)
  (cd "$case_dir/run" && PATH="$case_dir/bin:$PATH" exec "${as[@]}" \
    "$case_dir/bin/gravelin-scanner") || status=$?
  local ended
  ended=$(now)
  [ "$status" = 0 ] || fail "$name: the scanner's exit code is $status"
  echo "$name: scan $(elapsed "$started" "$ended") s" >>"$artifacts/timings.txt"
  await_post "$case_dir" "$name" "$ended"
  mkdir -p "$artifacts/direct"
  cp "$case_dir/endpoint/"* "$artifacts/direct/" 2>/dev/null || true
  check_delivery "$case_dir" "$name"
  note "$name: one POST, the sealed report of the page file, well-formed"
}

run_waiting
run_direct
note "screenshot: $artifacts/waiting-page.png"
cat "$artifacts/timings.txt"
echo "browser hand-off: passed"
