#!/usr/bin/env bash
# The hand-off end to end, in a real browser and against the real receiver.
#
#   browser_handoff.sh SCANNER REPORT_TOOL RECEIVER HOST:PORT
#
# SCANNER must be built with GRAVELIN_RESULT_HOST=HOST:PORT, HOST being 127.0.0.1. Each run
# starts gravelin-receiver (RECEIVER) on that address over HTTPS with a throw-away
# certificate and a SQLite data directory of its own, puts a stub `xdg-open` first on PATH
# that starts headless chromium (fresh profile, test certificate accepted, background
# networking off) on the file it is given, and runs the scanner. The scanner opens its page
# through its own shell-open path; the browser shows the waiting page with the receiver's
# image, reloads it, finds the submit page and posts it; the receiver checks, identifies and
# stores the report and answers with its receipt page. Checked:
#   - the browser was opened once, on the page file, never as root;
#   - the waiting page shows the image from the receiver: loaded, decoded, with the size of
#     the JPEG the receiver serves, and the receiver counted the request;
#   - the receiver answered exactly one post, and it was stored (its counts: stored 1,
#     nothing else: a second post of the same text would count as a duplicate, a form with
#     another field as bad_form); `scans --json` lists that one scan;
#   - the receipt is the one of the sealed text in the page file (SHA-256 of its hex), and
#     the browser shows it on the receiver's answer page;
#   - the stored report, exported through the console, is the report unsealed from the page
#     (`gravelin-report unseal`), and sealing it again gives the page's text byte for byte;
#   - the scan's identity is what the rules give for this machine's report (no usable
#     UUID or serial: rule "none", a machine of its own; else a key made of the report's
#     values), its summary has the report's maker and model, cores, threads, disk total and
#     OS, and the program is the scanner's file name.
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
# Artifacts (screenshots, receiver logs and listings, reports, timings) go to
# tests/artifacts/browser/.
set -euo pipefail

if [ $# -ne 4 ]; then
  echo "usage: $0 SCANNER REPORT_TOOL RECEIVER HOST:PORT" >&2
  exit 2
fi
scanner=$(realpath "$1")
report_tool=$(realpath "$2")
receiver=$(realpath "$3")
host_port=$4
here=$(cd "$(dirname "$0")" && pwd)
artifacts=$(realpath -m "$here/../artifacts/browser")

fail() { echo "FAIL: $*" >&2; exit 1; }
note() { echo "-- $*"; }

[ "${host_port%:*}" = 127.0.0.1 ] || fail "the receiver listens on 127.0.0.1 only, not ${host_port%:*}"
for tool in chromium python3 openssl xmllint strace setpriv curl; do
  command -v "$tool" >/dev/null || fail "$tool is not installed (scripts/install-deps.sh installs it)"
done
grep -aq "$host_port" "$scanner" ||
  fail "$scanner is not built for $host_port (configure with -DGRAVELIN_RESULT_HOST=$host_port)"

work=$(mktemp -d /tmp/gravelin-browser.XXXXXX)
chmod 755 "$work"
rm -rf "$artifacts"
mkdir -p "$artifacts"

receiver_pid=""
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
stop_receiver() {
  if [ -n "$receiver_pid" ]; then
    kill -TERM "$receiver_pid" 2>/dev/null || true
    wait "$receiver_pid" 2>/dev/null || true
    receiver_pid=""
  fi
}
cleanup() {
  stop_browser
  for pid_file in "$work"/*/browser/pid; do
    [ -s "$pid_file" ] || continue
    browser_pid=$(cat "$pid_file")
    stop_browser
  done
  stop_receiver
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

# --- Throw-away certificate, console account -----------------------------------------------
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
  -subj "/CN=127.0.0.1" -addext "subjectAltName=IP:127.0.0.1" \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
head -c 18 /dev/urandom | base64 >"$work/password"
console=""

# Starts the receiver on HOST:PORT with its data in $1/data and a console account "e2e".
start_receiver() {
  local out=$1
  mkdir -p "$out"
  "$receiver" user add e2e --data "$out/data" <"$work/password" >/dev/null ||
    fail "the receiver could not make a console account"
  "$receiver" serve --listen "$host_port" --cert "$work/cert.pem" --key "$work/key.pem" \
    --data "$out/data" --console 127.0.0.1:0 >"$out/receiver.out" 2>"$out/receiver.log" &
  receiver_pid=$!
  wait_for 30 grep -qs 'console on' "$out/receiver.out" ||
    { cat "$out/receiver.log" >&2; fail "the receiver did not start on $host_port"; }
  console=$(sed -n 's|.*console on http://\(127\.0\.0\.1:[0-9]*\).*|\1|p' "$out/receiver.out")
  # The image the receiver serves, to compare with what the browser shows.
  curl -sS --fail --cacert "$work/cert.pem" -o "$out/served.jpg" \
    "https://$host_port/kestal/loading-com.jpg" || fail "the receiver serves no waiting image"
}

# The receiver's counts (GET /status on its console), as JSON.
receiver_status() { curl -sS --fail "http://$console/status"; }

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

# Checks what the receiver stored against what the scanner left; $1 case dir, $2 name,
# $3 the scanner's file name (the report's program name).
check_delivery() {
  local case_dir=$1 name=$2 program=$3
  local out=$case_dir/receiver page=$case_dir/run/gravelin-scanner.html
  receiver_status >"$out/status.json" || fail "$name: the receiver's console does not answer"
  "$receiver" scans --json --data "$out/data" >"$out/scans.json" ||
    fail "$name: scans --json failed"
  "$receiver" machines --json --data "$out/data" >"$out/machines.json" ||
    fail "$name: machines --json failed"
  local page_hex
  page_hex=$(sed -n 's/.*name="scanResult" value="\([0-9A-F]*\)".*/\1/p' "$page")
  [ -n "$page_hex" ] || fail "$name: the page file holds no submit page"
  printf '%s' "$page_hex" >"$out/page.hex"
  "$report_tool" unseal "$page" >"$case_dir/page-report.xml"
  "$report_tool" summary "$case_dir/page-report.xml" >"$case_dir/page-summary.txt" 2>&1 || true
  # One post, stored: every answer to a post is counted by its reason.
  local scan_id
  scan_id=$(python3 - "$out" "$case_dir/page-report.xml" "$name" "$program" <<'PY'
import hashlib, json, re, sys
import xml.etree.ElementTree as ET
out, report_path, name, program = sys.argv[1:5]
status = json.load(open(out + "/status.json"))
answers = {k: v for k, v in status["answers"].items() if v}
assert answers == {"stored": 1}, "%s: the receiver's answers to posts: %r" % (name, answers)
scans = json.load(open(out + "/scans.json"))
assert len(scans) == 1, "%s: %d scans stored, not 1" % (name, len(scans))
scan = scans[0]
# The receipt is the first 12 hex digits of SHA-256 over the sealed text of the page.
digest = hashlib.sha256(open(out + "/page.hex").read().encode()).hexdigest()[:12].upper()
expected = "-".join(digest[i:i + 4] for i in range(0, 12, 4))
assert scan["receipt"] == expected, "%s: receipt %s, the page's text gives %s" % (
    name, scan["receipt"], expected)
assert scan["remoteAddress"] == "127.0.0.1", scan["remoteAddress"]
assert scan["programName"] == program, (scan["programName"], program)
# The identity the rules give for this report: its identifying values, placeholders aside.
root = ET.parse(report_path).getroot()
assert root.tag == "HWInfo" and root[0].tag == "Application", "%s: not a report" % name
def first(node, attribute):
    element = root.find(node + "/i0")
    return (element.get(attribute) or "").strip(" .") if element is not None else ""
values = [first("Win32_ComputerSystemProduct", "UUID"),
          first("Win32_ComputerSystemProduct", "IdentifyingNumber"),
          first("SMBIOS_Type_2_BaseBoard", "SerialNumber"), first("Win32_BaseBoard", "SerialNumber"),
          first("SMBIOS_Type_3_SystemEnclosure", "SerialNumber")]
values = [v.upper() for v in values if v]
machines = json.load(open(out + "/machines.json"))
assert [m["id"] for m in machines] == [scan["machine"]], machines
if not values:
    # Nothing that could identify this machine: a machine of its own, never merged.
    assert scan["identityRule"] == "none" and scan["identityKey"] == "", (
        "%s: identity %s %r from a report without identifying values" % (
            name, scan["identityRule"], scan["identityKey"]))
else:
    assert scan["identityRule"] != "none", "%s: no identity from %r" % (name, values)
    parts = re.split(r"[:|]", scan["identityKey"])[1:]
    assert parts and all(any(p in v or p in v.replace("-", "") for v in values) for p in parts), (
        "%s: identity key %r not made of the report's values %r" % (name, scan["identityKey"], values))
# The summary is this machine's as the report has it: maker and model (what the browser's
# answer page shows; empty where the machine reports none), cores, threads, disks, OS.
def total(node, attribute):
    return sum(int((i.get(attribute) or "0").strip() or 0) for i in root.findall(node + "/*"))
product = root.find("Win32_ComputerSystemProduct/i0")
summary = scan["summary"]
expected = {
    "maker": (product.get("Vendor") or "").strip() if product is not None else "",
    "model": (product.get("Name") or "").strip() if product is not None else "",
    "cores": total("Win32_Processor", "NumberOfCores"),
    "threads": total("Win32_Processor", "NumberOfLogicalProcessors"),
    "diskBytes": total("Win32_DiskDrive", "Size"),
    "os": (root.find("Win32_OperatingSystem/i0").get("Caption") or "").strip(),
}
got = {key: summary[key].strip() if isinstance(summary[key], str) else summary[key]
       for key in expected}
assert got == expected, "%s: summary %r, the report says %r" % (name, got, expected)
assert scan["columns"]["maker"] == scan["summary"]["maker"], scan
assert scan["columns"]["model"] == scan["summary"]["model"], scan
print(scan["id"])
PY
) || fail "$name: the stored scan does not match the page"
  # The stored report is the one the scanner sealed: exported through the console, it is
  # the page's report unsealed, and sealing it again gives the page's text.
  python3 "$here/console_export.py" --console "$console" --user e2e \
    --password-file "$work/password" --scan "$scan_id" --utf8 --out "$out/stored-report.xml" ||
    fail "$name: the console did not export the stored report"
  cmp -s "$case_dir/page-report.xml" "$out/stored-report.xml" ||
    fail "$name: the stored report differs from the one unsealed from the page"
  xmllint --noout "$out/stored-report.xml" || fail "$name: the stored report is not well-formed XML"
  [ "$("$report_tool" seal "$out/stored-report.xml")" = "$page_hex" ] ||
    fail "$name: sealing the stored report again does not give the page's text"
  # The browser was opened once, on the page file's absolute path, never as root.
  local opened
  opened=$(cat "$case_dir/browser/opened.log")
  [ "$opened" = "$browser_uid $case_dir/run/gravelin-scanner.html" ] ||
    fail "$name: the browser was opened as: $opened"
  note "$name: scan $scan_id, $(python3 -c 'import json,sys; s=json.load(open(sys.argv[1]))[0]; print("receipt %s, identity rule %s, maker %r, model %r" % (s["receipt"], s["identityRule"], s["summary"]["maker"], s["summary"]["model"]))' "$out/scans.json")"
}

# Waits for the receiver's answer in the browser (its receipt page, screenshot $4), then long
# enough for another reload, and stops the browser; checks the delivery ($5: the scanner's
# file name) and stops the receiver.
await_post() {
  local case_dir=$1 name=$2 since=$3 shot=$4 program=$5
  local shown
  shown=$(python3 "$here/devtools.py" --profile "$case_dir/browser/profile" \
    --url "https://$host_port/kestal/scantest.php" --timeout 40 \
    --screenshot "$shot" --size 1024x600 \
    --until 'document.querySelector(".receipt") &&
             {receipt: document.querySelector(".receipt").textContent,
              title: document.title}') ||
    { cat "$case_dir/browser/chromium.log" >&2 || true; fail "$name: no receipt page within 40 s"; }
  local arrived
  arrived=$(now)
  echo "$name: receipt shown $(elapsed "$since" "$arrived") s after the scan ended" \
    | tee -a "$artifacts/timings.txt"
  note "$name: the browser shows $shown"
  sleep 4  # more than one reload period: a second POST would show now
  browser_pid=$(cat "$case_dir/browser/pid")
  stop_browser
  check_delivery "$case_dir" "$name" "$program"
  python3 - "$shown" "$case_dir/receiver/scans.json" <<'PY' ||
import json, sys
shown, stored = json.loads(sys.argv[1]), json.load(open(sys.argv[2]))[0]
assert shown["receipt"] == stored["receipt"], (shown, stored["receipt"])
PY
    fail "$name: the receipt in the browser ($shown) is not the stored scan's"
  stop_receiver
}

# --- Run 1: the waiting page while the scan runs -------------------------------------------
run_waiting() {
  local case_dir=$work/waiting name=waiting
  prepare_case "$case_dir" "$(id -u)"
  start_receiver "$case_dir/receiver"
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
              height: document.images[0].naturalHeight, reloads: typeof waitForScan}') ||
    { cat "$case_dir/browser/chromium.log" >&2 || true; fail "$name: no waiting page in the browser"; }
  note "$name: the browser shows $shown"
  case "$shown" in
    *"\"src\": \"https://$host_port/kestal/loading-com.jpg\""*'"reloads": "function"'*) ;;
    *) fail "$name: the page in the browser is not the waiting page: $shown" ;;
  esac
  [ "$(state_of "$scanner_pid")" = t ] || fail "$name: the scan ended before the screenshot"
  grep -q '^<head>' "$case_dir/run/gravelin-scanner.html" ||
    fail "$name: the page file changed before the scan went on"
  # The image in the page is the receiver's: decoded at the size of the JPEG it serves, and
  # the receiver answered more requests than the test's own fetch of it.
  python3 - "$shown" "$case_dir/receiver/served.jpg" <<'PY' ||
import json, struct, sys
shown, data = json.loads(sys.argv[1]), open(sys.argv[2], "rb").read()
assert data[:2] == b"\xff\xd8", "the receiver's image is not a JPEG"
at = 2
while True:
    marker, length = data[at + 1], struct.unpack(">H", data[at + 2:at + 4])[0]
    if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
        height, width = struct.unpack(">HH", data[at + 5:at + 9])
        break
    at += 2 + length
assert (shown["width"], shown["height"]) == (width, height), (shown, width, height)
PY
    fail "$name: the image in the page is not the receiver's"
  [ "$(receiver_status | python3 -c 'import json,sys; print(json.load(sys.stdin)["listener"]["requests"])')" -ge 2 ] ||
    fail "$name: the receiver did not serve the waiting image to the browser"

  kill -CONT "$scanner_pid"
  local status=0
  wait "$strace_pid" || status=$?
  scanner_pid=""
  local ended
  ended=$(now)
  [ "$status" = 0 ] || fail "$name: the scanner's exit code is $status"
  echo "$name: browser opened, screenshot taken, scan resumed; whole run $(elapsed "$started" "$ended") s" \
    >>"$artifacts/timings.txt"
  await_post "$case_dir" "$name" "$ended" "$artifacts/receipt-page.png" "$(basename "$scanner")"
  mkdir -p "$artifacts/waiting"
  cp "$case_dir/receiver/"*.* "$case_dir/page-report.xml" "$case_dir/page-summary.txt" \
    "$case_dir/browser/chromium.log" "$case_dir/strace.txt" "$artifacts/waiting/" 2>/dev/null || true
  note "$name: one post, stored once, the sealed report of the page file"
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
  start_receiver "$case_dir/receiver"
  local started status=0
  started=$(now)
  (cd "$case_dir/run" && PATH="$case_dir/bin:$PATH" exec "${as[@]}" \
    "$case_dir/bin/gravelin-scanner") || status=$?
  local ended
  ended=$(now)
  [ "$status" = 0 ] || fail "$name: the scanner's exit code is $status"
  echo "$name: scan $(elapsed "$started" "$ended") s" >>"$artifacts/timings.txt"
  await_post "$case_dir" "$name" "$ended" "$artifacts/direct-receipt-page.png" gravelin-scanner
  mkdir -p "$artifacts/direct"
  cp "$case_dir/receiver/"*.* "$case_dir/page-report.xml" "$case_dir/page-summary.txt" \
    "$artifacts/direct/" 2>/dev/null || true
  note "$name: one post, stored once, the sealed report of the page file"
}

run_waiting
run_direct
note "screenshots: $artifacts/waiting-page.png, $artifacts/receipt-page.png"
cat "$artifacts/timings.txt"
echo "browser hand-off: passed"
