#!/usr/bin/env bash
# The Windows program's page posted to gravelin-receiver, and the same machine scanned by
# both builds landing on one identity.
#
# usage: receiver_end_to_end.sh BUILD_WINDOWS_DIR RECEIVER SAMPLE_REPORTS LINUX_SCANNER SHARED_DIR
#
# A receiver on loopback (HTTPS, a throw-away certificate for the result host the Windows
# build carries, GRAVELIN_RESULT_HOST; SQLite in a scratch directory). Every page is posted
# as its form would be: the form's action and its one field taken from the page, sent by
# curl as application/x-www-form-urlencoded to that URL, the host name resolved to the
# receiver (--connect-to), certificate checked.
#
# 1. One real table, decoded by both builds:
#    Windows  gravelin-scanner.exe under Wine, the table imported as the registry's
#             SMBiosData (the SMBIOS nodes: baseboard and enclosure serials); Wine's WMI
#             (Win32_ComputerSystemProduct, Win32_BaseBoard) does not read that value: it
#             builds its own table from /sys/class/dmi/id and takes the system UUID from
#             /var/lib/dbus/machine-id. The scanner runs in a mount namespace of its own where
#             those files hold what the Linux kernel shows for this table (dmidecode's
#             decoding of it: the strings, and the UUID in the kernel's byte order), as on a
#             Linux host that has this firmware.
#    Linux    the Linux build's scan over a root directory holding the table, as root
#             (gravelin-sample-reports: Win32_ComputerSystemProduct and the SMBIOS nodes
#             from the table).
#    Both posts must land on one machine with the same identity rule; a table with no
#    usable identity must give two machines (rule "none"), never a merge. The default
#    tables cover the rules uuid+serial (SMBIOS 2.3 and 3.0: the UUID's byte order),
#    uuid+enclosure, serial and none. Wine 8.0 builds its table without the empty strings
#    yet numbers the system's strings as if they were there: with an empty system version
#    (dell-libsmbios-PE0400; PE0650, PE1650, PE2600, PE6600, ES3040 have none either) its
#    Win32_ComputerSystemProduct shows
#    the serial as Version and "0" as IdentifyingNumber, so those tables land elsewhere
#    under Wine (never on real Windows, whose WMI reads the firmware's table).
# 2. This host as it is: the Linux scanner run natively as root and the Windows scanner under
#    Wine with no SMBiosData, both answering from the host; both scans are stored and their
#    identities printed. On a host without firmware tables the Linux scan must be a machine
#    of its own (rule "none"); Wine still reports a UUID there, its machine-id
#    (/var/lib/dbus/machine-id), which is no firmware value, so the two do not meet. On a
#    host with firmware data they meet only if Wine's UUID is the firmware's; otherwise the
#    difference is printed, not failed: it is Wine's, and step 1 is the proof.
# GRAVELIN_IDENTITY_TABLES: the tables of step 1 (default below).
# Uses $WINEPREFIX when set (with its wineserver running); otherwise makes its own prefix.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
receiver=$(realpath "$2")
samples=$(realpath "$3")
linux_scanner=$(realpath "$4")
tables_dir=$5
scanner="$build/bin/gravelin-scanner.exe"
host=$(sed -n 's/^GRAVELIN_RESULT_HOST:[A-Z]*=//p' "$build/CMakeCache.txt")
tables=${GRAVELIN_IDENTITY_TABLES:-"dell-libsmbios-PAweb110 uroot-Lenovo-ThinkPad-T480 dell-libsmbios-PE2450 siderolabs-Beelink-EQ12 qemu-pc-seabios"}

if [ ! -f "$tables_dir/MANIFEST.tsv" ]; then
  echo "no SMBIOS tables in $tables_dir" >&2
  exit 1
fi
for tool in dmidecode curl unshare openssl; do
  command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }
done
if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: the mount namespace needs root"
  exit 77
fi
case "$host" in
  *:*) echo "the Windows build's result host has a port ($host): expected a host name" >&2; exit 1 ;;
esac

export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree=}
scratch=$(mktemp -d)
own_prefix=""
receiver_pid=""
cleanup() {
  if [ -n "$receiver_pid" ]; then kill "$receiver_pid" 2>/dev/null || true; wait "$receiver_pid" 2>/dev/null || true; fi
  if [ -n "$own_prefix" ]; then wine_session_stop; fi
  [ -n "${GRAVELIN_KEEP_WORK:-}" ] && echo "kept $scratch" || rm -rf "$scratch"
}
trap cleanup EXIT
if [ -z "${WINEPREFIX:-}" ]; then
  # shellcheck source=tests/scanner/windows/wine_session.sh
  . "$here/wine_session.sh"
  own_prefix=yes
  wine_session_start "$scratch/prefix"
fi
failed=0
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
# shellcheck source=tests/scanner/windows/smbios_registry.sh
. "$here/smbios_registry.sh"

# A browser stub: the scanner's shell-open must not start a real one.
cat >"$scratch/browser.sh" <<'STUB'
#!/bin/sh
exit 0
STUB
chmod +x "$scratch/browser.sh"
wine reg add 'HKCU\Software\Wine\WineBrowser' /v Browsers /d "$scratch/browser.sh" /f >/dev/null 2>&1

# --- the receiver ---------------------------------------------------------------------------
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
  -subj "/CN=$host" -addext "subjectAltName=DNS:$host" \
  -keyout "$scratch/key.pem" -out "$scratch/cert.pem" 2>/dev/null
"$receiver" serve --listen 127.0.0.1:0 --cert "$scratch/cert.pem" --key "$scratch/key.pem" \
  --data "$scratch/data" --no-console >"$scratch/receiver.out" 2>"$scratch/receiver.log" &
receiver_pid=$!
for _ in $(seq 300); do grep -q 'listening on' "$scratch/receiver.out" && break; sleep 0.1; done
port=$(sed -n 's|.*listening on https://127\.0\.0\.1:\([0-9]*\).*|\1|p' "$scratch/receiver.out")
[ -n "$port" ] || { cat "$scratch/receiver.log" >&2; echo "the receiver did not start" >&2; exit 1; }

# post_page PAGE: posts the page's form as a browser would; prints the receipt.
post_page() {
  local page=$1 action body
  # The form: its action, its method, its only field (the page must hold exactly one).
  read -r action body < <(python3 - "$page" <<'PY'
import html.parser, sys, urllib.parse
class Form(html.parser.HTMLParser):
    forms, fields = [], []
    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "form":
            self.forms.append((a.get("action"), (a.get("method") or "get").lower()))
        elif tag == "input" and a.get("name"):
            self.fields.append((a["name"], a.get("value", "")))
f = Form()
f.feed(open(sys.argv[1], encoding="latin-1").read())
assert len(f.forms) == 1 and f.forms[0][1] == "post", "forms: %r" % f.forms
assert [n for n, _ in f.fields] == ["scanResult"], "fields: %r" % [n for n, _ in f.fields]
print(f.forms[0][0], urllib.parse.urlencode(f.fields))
PY
  ) || return 1
  [ "$action" = "https://$host/kestal/scantest.php" ] || { echo "form action $action" >&2; return 1; }
  printf '%s' "$body" >"$scratch/body"
  curl -sS --fail --cacert "$scratch/cert.pem" --connect-to "$host:443:127.0.0.1:$port" \
    -H 'Content-Type: application/x-www-form-urlencoded' --data-binary "@$scratch/body" \
    "$action" >"$scratch/answer.html" || return 1
  sed -n 's/.*class="receipt">\([0-9A-F-]*\)<.*/\1/p' "$scratch/answer.html"
}

# scan_of RECEIPT: one stored scan as "machine rule key program".
scan_of() {
  "$receiver" scans --json --data "$scratch/data" | python3 -c '
import json, sys
scan = next(s for s in json.load(sys.stdin) if s["receipt"] == sys.argv[1])
print(scan["machine"], scan["identityRule"], scan["identityKey"] or "-", scan["programName"])' "$1"
}

# host_files TABLE DIR: DIR/dmi/id as the Linux kernel shows TABLE (dmidecode's decoding)
# and DIR/machine-id holding its system UUID.
host_files() {
  local bin=$1 dir=$2
  mkdir -p "$dir/dmi/id"
  local file keyword value
  while read -r file keyword; do
    value=$(dmidecode --from-dump "$bin" -s "$keyword" 2>/dev/null | head -n 1) || value=""
    [ "$value" = "Not Specified" ] && value=""
    printf '%s\n' "$value" >"$dir/dmi/id/$file"
  done <<'KEYS'
bios_vendor bios-vendor
bios_version bios-version
bios_date bios-release-date
sys_vendor system-manufacturer
product_name system-product-name
product_version system-version
product_serial system-serial-number
product_sku system-sku-number
product_family system-family
board_vendor baseboard-manufacturer
board_name baseboard-product-name
board_version baseboard-version
board_serial baseboard-serial-number
board_asset_tag baseboard-asset-tag
chassis_vendor chassis-manufacturer
chassis_version chassis-version
chassis_serial chassis-serial-number
chassis_tag chassis-asset-tag
KEYS
  local uuid
  uuid=$(dmidecode --from-dump "$bin" -s system-uuid 2>/dev/null | head -n 1)
  case "$uuid" in
    "Not Present") uuid=ffffffff-ffff-ffff-ffff-ffffffffffff ;;
    "Not Settable" | "") uuid=00000000-0000-0000-0000-000000000000 ;;
  esac
  printf '%s\n' "$uuid" >"$dir/dmi/id/product_uuid"
  printf '%s\n' "${uuid//-/}" >"$dir/machine-id"
}

# run_windows NAME [HOST_FILES_DIR]: the scanner under Wine in $scratch/NAME; with a
# directory of host files, in a mount namespace that shows them to Wine.
run_windows() {
  local name=$1 files=${2:-}
  mkdir -p "$scratch/$name"
  if [ -n "$files" ]; then
    (cd "$scratch/$name" && unshare -m --propagation private sh -ec '
      # /sys/class as it is (its entries are links into /sys/devices), plus dmi/id.
      saved=$(mktemp -d)
      for d in /sys/class/*; do
        mkdir "$saved/${d##*/}"
        for e in "$d"/*; do
          if [ -L "$e" ]; then ln -s "$(readlink "$e")" "$saved/${d##*/}/${e##*/}"; fi
        done
      done
      mount -t tmpfs gravelin-dmi /sys/class
      cp -a "$saved/." /sys/class/
      rm -rf "$saved" /sys/class/dmi
      mkdir -p /sys/class/dmi
      cp -r "$1/dmi/id" /sys/class/dmi/id
      mount --bind "$1/machine-id" /etc/machine-id
      [ -e /var/lib/dbus/machine-id ] && mount --bind "$1/machine-id" /var/lib/dbus/machine-id
      exec wine "$2"' sh "$files" "$scanner")
  else
    (cd "$scratch/$name" && wine "$scanner")
  fi
  [ -s "$scratch/$name/gravelin-scanner.html" ]
}

# --- 1. one real table through both builds ----------------------------------------------------
for table in $tables; do
  bin="$tables_dir/$table.bin"
  host_files "$bin" "$scratch/$table.host"
  if ! import_smbios_table "$tables_dir/$table.rsmb" "$scratch"; then
    fail "$table: the table could not be put in the registry"
    continue
  fi
  if ! run_windows "$table.windows" "$scratch/$table.host"; then
    fail "$table: the Windows scanner left no page"
    continue
  fi
  "$samples" "$bin" --out "$scratch/$table.linux" >/dev/null
  windows_receipt=$(post_page "$scratch/$table.windows/gravelin-scanner.html") ||
    { fail "$table: the Windows page was not stored"; continue; }
  printf '<form method="post" action="https://%s/kestal/scantest.php"><input type="hidden" name="scanResult" value="%s"></form>' \
    "$host" "$(cat "$scratch/$table.linux/$table-0.hex")" >"$scratch/$table.linux/page.html"
  linux_receipt=$(post_page "$scratch/$table.linux/page.html") ||
    { fail "$table: the Linux report was not stored"; continue; }
  read -r w_machine w_rule w_key w_program <<<"$(scan_of "$windows_receipt")"
  read -r l_machine l_rule l_key l_program <<<"$(scan_of "$linux_receipt")"
  echo "  $table: Windows scan: machine $w_machine, $w_rule $w_key ($w_program)"
  echo "  $table: Linux scan:   machine $l_machine, $l_rule $l_key ($l_program)"
  [ "$w_program" = gravelin-scanner.exe ] && [ "$l_program" = gravelin-scanner ] ||
    fail "$table: programs $w_program and $l_program"
  if [ "$l_rule" = none ]; then
    # Nothing identifies this machine: each scan is a machine of its own.
    if [ "$w_rule" = none ] && [ "$w_machine" != "$l_machine" ]; then
      echo "ok: $table: no usable identity in either build, two machines, nothing merged"
    else
      fail "$table: a report without identity was merged or identified ($w_rule, $l_rule)"
    fi
  elif [ "$w_machine" = "$l_machine" ] && [ "$w_rule" = "$l_rule" ] && [ "$w_key" = "$l_key" ]; then
    echo "ok: $table: both builds on machine $w_machine by rule $w_rule"
  else
    fail "$table: the two builds landed on different identities"
  fi
done
wine reg delete 'HKLM\SYSTEM\CurrentControlSet\Services\mssmbios\Data' /f >/dev/null 2>&1 || true

# --- 2. this host, both builds answering from it ----------------------------------------------
if run_windows host.windows; then
  mkdir -p "$scratch/host.linux/bin"
  cp "$scratch/browser.sh" "$scratch/host.linux/bin/xdg-open"
  (cd "$scratch/host.linux" && PATH="$scratch/host.linux/bin:$PATH" "$linux_scanner" </dev/null >/dev/null 2>&1)
  w=$(post_page "$scratch/host.windows/gravelin-scanner.html") || w=""
  l=$(post_page "$scratch/host.linux/gravelin-scanner.html") || l=""
  if [ -z "$w" ] || [ -z "$l" ]; then
    fail "host: a page was not stored"
  else
    read -r w_machine w_rule w_key _ <<<"$(scan_of "$w")"
    read -r l_machine l_rule l_key _ <<<"$(scan_of "$l")"
    echo "  host: Windows under Wine: machine $w_machine, $w_rule $w_key"
    echo "  host: Linux natively:     machine $l_machine, $l_rule $l_key"
    if [ -r /sys/class/dmi/id/product_uuid ] || [ -d /sys/firmware/dmi/tables ]; then
      if [ "$w_machine" = "$l_machine" ]; then
        echo "ok: host: both builds on machine $w_machine by rule $w_rule"
      else
        # Wine takes the UUID from /var/lib/dbus/machine-id, never from the firmware: under
        # Wine the two cannot meet on a rule that uses the UUID.
        echo "  host: not one machine: Wine reports $(cat /var/lib/dbus/machine-id 2>/dev/null) (its machine-id) as the UUID"
      fi
    elif [ "$l_rule" = none ] && [ "$w_machine" != "$l_machine" ]; then
      echo "ok: host: no firmware tables here: the Linux scan identifies nothing and is a machine of its own"
    else
      fail "host: no firmware tables, yet the Linux scan was identified or merged ($l_rule)"
    fi
  fi
else
  fail "host: the Windows scanner left no page"
fi

echo "receiver end-to-end: $failed failed"
[ "$failed" -eq 0 ]
