#!/usr/bin/env bash
# The scanner as a whole process against the faults of its hand-off: a page file that
# cannot be opened for a while or for good, a working directory it may not write, no
# browser or a failing one; and two runs that must seal the same report alike.
#
#   scanner_faults.sh SCANNER REPORT_TOOL [TABLES_DIR]
#
# On Linux nothing locks a file against opening the way another program's open handle does
# on Windows; what makes opening fail here is a name taken by something that is no regular
# file (a directory) or a directory the user may not write. Both are used, each both for a
# while and for good. Running as root (as CI does), the permission cases run the scanner as
# the unprivileged user "nobody" (setpriv), since root ignores permission bits; otherwise as
# the caller, with the directory made read-only. strace counts the open attempts and the
# waits, and tells when to free the file.
set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 SCANNER REPORT_TOOL [TABLES_DIR]" >&2
  exit 2
fi
scanner_built=$(realpath "$1")
report_tool=$(realpath "$2")
for tool in strace setpriv xmllint python3; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (scripts/install-deps.sh installs it)"
    exit 77
  fi
done

# Absolute paths: some runs get a PATH without them.
strace=$(command -v strace)
setpriv=$(command -v setpriv)
env=$(command -v env)

fail() { echo "FAIL: $*" >&2; exit 1; }
note() { echo "-- $*"; }

work=$(mktemp -d /tmp/gravelin-faults.XXXXXX)
chmod 755 "$work"
trap 'rm -rf "$work"' EXIT
page=gravelin-scanner.html

# The program where an unprivileged user may run it, and a browser stub that notes each call.
mkdir -p "$work/bin" "$work/stub" "$work/nobrowser"
install -m 755 "$scanner_built" "$work/bin/gravelin-scanner"
scanner=$work/bin/gravelin-scanner
cat >"$work/stub/xdg-open" <<EOF
#!/bin/sh
printf '%s %s\\n' "\$($(command -v id) -u)" "\$*" >>"\$GRAVELIN_OPEN_LOG"
exit "\${GRAVELIN_BROWSER_EXIT:-0}"
EOF
chmod 755 "$work/stub/xdg-open"

if [ "$(id -u)" -eq 0 ]; then
  user_uid=65534
  user_gid=65534
  as_user=("$setpriv" --reuid="$user_uid" --regid="$user_gid" --clear-groups)
  as_sudo=("$env" SUDO_UID="$user_uid" SUDO_GID="$user_gid" SUDO_USER=nobody)
else
  user_uid=$(id -u)
  user_gid=$(id -g)
  as_user=()
  as_sudo=()
fi
# Under strace, LeakSanitizer cannot stop the world; leaks are checked by the other runs.
traced_asan_options="${ASAN_OPTIONS:-}:detect_leaks=0"

now() { date +%s.%N; }
seconds_between() { python3 -c "import sys; print('%.2f' % (float(sys.argv[2]) - float(sys.argv[1])))" "$1" "$2"; }
at_least() { python3 -c "import sys; sys.exit(float(sys.argv[1]) < float(sys.argv[2]))" "$1" "$2"; }

wait_for() {
  local limit=$1; shift
  local end=$((SECONDS + limit))
  until "$@"; do
    [ $SECONDS -lt $end ] || return 1
    sleep 0.02
  done
}

# A case's directory: run/ is the working directory, opened.log the stub's notes.
new_case() {
  local dir=$work/$1
  mkdir -p "$dir/run"
  chmod 755 "$dir"
  : >"$dir/opened.log"
  chmod 666 "$dir/opened.log"
  echo "$dir"
}

# Open attempts on the page file in an strace log: failed ones, successful ones; waits of
# 100 ms; and replacements of an earlier page of the user's own (its removal), each of which
# begins with a failed exclusive creation.
failed_opens() { grep -s "open.*\"$page\"" "$1" | grep -c ' = -1 ' || true; }
good_opens() { grep -s "open.*\"$page\"" "$1" | grep -c ' = [0-9]' || true; }
waits_of_100ms() { grep -sc 'tv_sec=0, tv_nsec=100000000' "$1" || true; }
replacements() { grep -s "unlink.*\"$page\"" "$1" | grep -c ' = 0' || true; }
at_least_failed() { [ "$(failed_opens "$1")" -ge "$2" ]; }

# Runs the scanner in a case under strace, in the background; sets traced_pid.
start_traced() {
  local dir=$1; shift
  (cd "$dir/run" && exec env ASAN_OPTIONS="$traced_asan_options" \
    GRAVELIN_OPEN_LOG="$dir/opened.log" PATH="$work/stub:$PATH" \
    "$strace" -qq -o "$dir/strace.txt" -e trace=openat,unlink,unlinkat,clock_nanosleep,nanosleep \
    "$@" "$scanner") &
  traced_pid=$!
}

# The page left is the submit page; its report is well-formed, root HWInfo, Application
# first, and sealing it again gives the page's text.
check_submit_page() {
  local dir=$1 name=$2
  local file=$dir/run/$page
  [ -f "$file" ] || fail "$name: no page file"
  grep -q 'name="scanResult" value="[0-9A-F]*">' "$file" || fail "$name: not the submit page"
  "$report_tool" unseal "$file" >"$dir/report.xml" || fail "$name: the page does not unseal"
  xmllint --noout "$dir/report.xml" || fail "$name: the report is not well-formed"
  [ "$(xmllint --xpath 'name(/*)' "$dir/report.xml")" = HWInfo ] || fail "$name: root"
  [ "$(xmllint --xpath 'name(/*/*[1])' "$dir/report.xml")" = Application ] ||
    fail "$name: Application is not first"
  local hex
  hex=$(sed -n 's/.*name="scanResult" value="\([0-9A-F]*\)".*/\1/p' "$file")
  [ "$("$report_tool" seal "$dir/report.xml")" = "$hex" ] ||
    fail "$name: sealing the unsealed report again gives another text"
}

expect_browser_opened_once() {
  local dir=$1 name=$2
  [ "$(cat "$dir/opened.log")" = "$user_uid $dir/run/$page" ] ||
    fail "$name: browser calls: $(cat "$dir/opened.log")"
}
expect_no_browser() {
  [ ! -s "$1/opened.log" ] || fail "$2: the browser was opened: $(cat "$1/opened.log")"
}

# --- The page file's name is a directory the whole run ------------------------------------
held_whole_time() {
  local name="held the whole time"
  local dir
  dir=$(new_case held)
  mkdir "$dir/run/$page"
  local started status=0
  started=$(now)
  start_traced "$dir" "${as_sudo[@]}"
  wait "$traced_pid" || status=$?
  local took
  took=$(seconds_between "$started" "$(now)")
  [ "$status" = 0 ] || fail "$name: exit code $status"
  [ -d "$dir/run/$page" ] && [ -z "$(ls -A "$dir/run/$page")" ] ||
    fail "$name: the directory was changed"
  expect_no_browser "$dir" "$name"
  [ "$(failed_opens "$dir/strace.txt")" = 60 ] && [ "$(good_opens "$dir/strace.txt")" = 0 ] ||
    fail "$name: $(failed_opens "$dir/strace.txt") failed, $(good_opens "$dir/strace.txt") good opens (want 60, 0)"
  [ "$(waits_of_100ms "$dir/strace.txt")" = 60 ] ||
    fail "$name: $(waits_of_100ms "$dir/strace.txt") waits of 100 ms (want 60)"
  at_least "$took" 5.9 || fail "$name: ended after $took s, before 60 waits of 100 ms"
  note "$name: 2 x 30 attempts with 100 ms waits, no page, no browser, exit 0 ($took s)"
}

# --- Opening fails for a while, then the file is freed -------------------------------------
# $1 case, $2 description, $3 how it is held (directory | permission), $4 the failed attempt
# after which it is freed, $5 whether the browser must have been opened.
held_then_freed() {
  local key=$1 name=$2 model=$3 free_after=$4 browser=$5
  local dir
  dir=$(new_case "$key")
  local -a as=("${as_sudo[@]}")
  if [ "$model" = directory ]; then
    mkdir "$dir/run/$page"
  else
    as=("${as_user[@]}")
    if [ "$(id -u)" -eq 0 ]; then chown root:root "$dir/run"; fi
    chmod 555 "$dir/run"
  fi
  start_traced "$dir" "${as[@]}"
  wait_for 60 at_least_failed "$dir/strace.txt" "$free_after" ||
    fail "$name: never saw $free_after failed attempts"
  if [ "$model" = directory ]; then
    rmdir "$dir/run/$page"
  else
    [ "$(id -u)" -eq 0 ] && chown "$user_uid:$user_gid" "$dir/run"
    chmod 755 "$dir/run"
  fi
  local status=0
  wait "$traced_pid" || status=$?
  [ "$status" = 0 ] || fail "$name: exit code $status"
  local failed good waits replaced
  failed=$(failed_opens "$dir/strace.txt")
  good=$(good_opens "$dir/strace.txt")
  waits=$(waits_of_100ms "$dir/strace.txt")
  replaced=$(replacements "$dir/strace.txt")
  # Freeing follows the attempt seen with some delay, but within the same page's 30.
  local loop_end=30
  [ "$free_after" -lt 30 ] || loop_end=60
  [ "$waits" -ge "$free_after" ] && [ "$waits" -lt "$loop_end" ] ||
    fail "$name: $waits failed attempts, freed after $free_after"
  # Every failed attempt waits; the submit page replaces the waiting page when there is one.
  [ "$failed" = $((waits + replaced)) ] ||
    fail "$name: $failed failed opens for $waits waits and $replaced replacements"
  if [ "$browser" = yes ]; then
    [ "$good" = 2 ] || fail "$name: $good successful opens (want both pages)"
    [ "$replaced" = 1 ] || fail "$name: the waiting page was replaced $replaced times (want 1)"
    expect_browser_opened_once "$dir" "$name"
  else
    [ "$good" = 1 ] || fail "$name: $good successful opens (want the submit page only)"
    expect_no_browser "$dir" "$name"
  fi
  check_submit_page "$dir" "$name"
  note "$name ($model): $waits failed attempts, then written; browser opened: $browser"
}

# --- A working directory that cannot be written -------------------------------------------
unwritable_directory() {
  local name="unwritable working directory"
  local dir
  dir=$(new_case unwritable)
  if [ "$(id -u)" -eq 0 ]; then chown root:root "$dir/run"; fi
  chmod 555 "$dir/run"
  local started status=0
  started=$(now)
  (cd "$dir/run" && GRAVELIN_OPEN_LOG="$dir/opened.log" PATH="$work/stub:$PATH" \
    exec "${as_user[@]}" "$scanner") || status=$?
  local took
  took=$(seconds_between "$started" "$(now)")
  [ "$status" = 0 ] || fail "$name: exit code $status"
  [ -z "$(ls -A "$dir/run")" ] || fail "$name: something was written: $(ls -A "$dir/run")"
  expect_no_browser "$dir" "$name"
  at_least "$took" 5.9 || fail "$name: ended after $took s, before both pages gave up"
  note "$name: no page, no browser, exit 0 ($took s)"
}

# --- No browser, or one that fails ---------------------------------------------------------
# $1 case, $2 description, $3 PATH directory, $4 browser exit code, $5 traced (yes|no), $6..
# how the scanner runs. Traced runs show that nothing waited: both pages opened at once.
without_browser() {
  local key=$1 name=$2 path_dir=$3 browser_exit=$4 traced=$5; shift 5
  local dir
  dir=$(new_case "$key")
  if [ "$(id -u)" -eq 0 ] && [ "$1" = "$setpriv" ]; then chown "$user_uid:$user_gid" "$dir/run"; fi
  local status=0
  if [ "$traced" = yes ]; then
    (cd "$dir/run" && exec env ASAN_OPTIONS="$traced_asan_options" \
      GRAVELIN_OPEN_LOG="$dir/opened.log" GRAVELIN_BROWSER_EXIT="$browser_exit" \
      PATH="$path_dir" "$strace" -qq -o "$dir/strace.txt" \
      -e trace=openat,unlink,unlinkat,clock_nanosleep,nanosleep "$@" "$scanner") || status=$?
  else
    (cd "$dir/run" && GRAVELIN_OPEN_LOG="$dir/opened.log" \
      GRAVELIN_BROWSER_EXIT="$browser_exit" PATH="$path_dir" exec "$@" "$scanner") || status=$?
  fi
  [ "$status" = 0 ] || fail "$name: exit code $status"
  check_submit_page "$dir" "$name"
  if [ "$path_dir" = "$work/stub" ]; then
    expect_browser_opened_once "$dir" "$name"
  fi
  if [ "$traced" = yes ]; then
    local failed good waits replaced
    failed=$(failed_opens "$dir/strace.txt")
    good=$(good_opens "$dir/strace.txt")
    waits=$(waits_of_100ms "$dir/strace.txt")
    replaced=$(replacements "$dir/strace.txt")
    # The submit page replaces the waiting page: one failed exclusive creation, no wait.
    [ "$failed/$good/$waits/$replaced" = 1/2/0/1 ] ||
      fail "$name: $failed failed and $good good opens, $waits waits, $replaced replacements (want 1, 2, 0, 1)"
  fi
  note "$name: sealed and left the submit page"
}

# --- Two runs, one report -------------------------------------------------------------------
two_runs() {
  local name="two runs"
  local dir_a dir_b
  dir_a=$(new_case first)
  dir_b=$(new_case second)
  (cd "$dir_a/run" && PATH="$work/nobrowser" exec "$scanner")
  (cd "$dir_b/run" && PATH="$work/nobrowser" exec "$scanner")
  check_submit_page "$dir_a" "$name (first)"
  check_submit_page "$dir_b" "$name (second)"
  python3 - "$dir_a" "$dir_b" "$page" <<'PY'
import re, sys
dir_a, dir_b, page = sys.argv[1:4]

def sealed(d):
    text = open("%s/run/%s" % (d, page)).read()
    return re.search(r'name="scanResult" value="([0-9A-F]*)"', text).group(1)

def report(d):
    # The unsealed text in its 8-bit code page: one character per byte sealed.
    return open("%s/report.xml" % d, encoding="utf-8", newline="").read()

# What describes the moment rather than the machine: the memory performance class (rates
# and free memory), the clock, free memory and disk space, processes, the processor's load
# and current clock. These values are masked; everything else must be equal.
volatile_class = re.compile(r"  <Win32_PerfFormattedData_PerfOS_Memory>.*?"
                            r"</Win32_PerfFormattedData_PerfOS_Memory>\r\n", re.S)
volatile_attribute = re.compile(
    r' (LocalDateTime|FreePhysicalMemory|FreeVirtualMemory|FreeSpaceInPagingFiles|'
    r'NumberOfProcesses|FreeSpace|LoadPercentage|CurrentClockSpeed)="[^"]*"')

def stable(text):
    return volatile_attribute.sub(r' \1="(masked)"', volatile_class.sub("", text))

hex_a, hex_b = sealed(dir_a), sealed(dir_b)
text_a, text_b = report(dir_a), report(dir_b)
for hex_text, text in ((hex_a, text_a), (hex_b, text_b)):
    n = len(text)
    assert len(hex_text) == 2 * (8 + n - ((n - 1) % 8) - 1), (len(hex_text), n)
stable_a, stable_b = stable(text_a), stable(text_b)
if stable_a != stable_b:
    lines_a, lines_b = stable_a.split("\r\n"), stable_b.split("\r\n")
    first = next(i for i in range(min(len(lines_a), len(lines_b))) if lines_a[i] != lines_b[i])
    sys.exit("FAIL: two runs differ beyond the values of the moment:\n  %s\n  %s" % (
        lines_a[first][:300], lines_b[first][:300]))
if text_a == text_b:
    assert hex_a == hex_b, "equal reports sealed differently"
    print("-- two runs: byte-identical sealed texts (%d hex digits)" % len(hex_a))
else:
    # Sealing works block by block: the sealed texts agree up to the 8-byte block where the
    # reports first differ.
    first = next(i for i in range(min(len(text_a), len(text_b))) if text_a[i] != text_b[i])
    same = first // 8 * 16
    assert hex_a[:same] == hex_b[:same], "sealed texts differ before the reports do"
    assert hex_a[same:same + 16] != hex_b[same:same + 16]
    print("-- two runs: reports equal apart from the values of the moment; sealed texts equal "
          "up to the first differing block (%d of %d hex digits)" % (same, len(hex_a)))
PY
}

held_whole_time
held_then_freed freed-waiting "freed during the waiting page's attempts" permission 10 yes
held_then_freed freed-waiting-dir "freed during the waiting page's attempts" directory 3 yes
held_then_freed freed-submit "freed during the submit page's attempts" directory 35 no
unwritable_directory
without_browser no-browser-sudo "no browser installed (under sudo)" "$work/nobrowser" 0 yes \
  "${as_sudo[@]}" "$env"
without_browser no-browser-user "no browser installed (as a user)" "$work/nobrowser" 0 no \
  "${as_user[@]}" "$env"
without_browser failing-browser "a browser that fails" "$work/stub" 1 no "${as_user[@]}" "$env"
two_runs
echo "scanner faults: passed"
