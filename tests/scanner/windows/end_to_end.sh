#!/usr/bin/env bash
# End-to-end test of gravelin-scanner.exe under Wine.
#
# usage: end_to_end.sh BUILD_WINDOWS_DIR GRAVELIN_REPORT TABLES_DIR
#
# Each run happens in a scratch directory, with Wine's browser setting pointed at a stub
# that records what it is asked to open. The page the scanner leaves is unsealed with the
# Linux gravelin-report and checked by check_report.py:
#   - the registry value imported from real tables (smbios-tables/*.rsmb through .reg files):
#     the SMBIOS nodes equal the Linux decode of the same table, with the structure counts of
#     MANIFEST.tsv; the WMI classes Wine answers; "No data found" for the others; the
#     Application block; the submit page for the result endpoint; one browser call;
#   - the registry key absent: the WMI table source (MSSmBios_RawSMBiosTables) is tried;
#   - neither source (registry key absent, WMI unavailable): "Unable to query SMBIOS device
#     data! " and a "No data found" entry for every query line;
#   - the OS description from the version record for Windows 10, 11 and Server 2016-2025.
# Uses $WINEPREFIX when set (with its wineserver running); otherwise makes its own prefix.
# GRAVELIN_E2E_TABLES: the names of the tables to run (default: all of MANIFEST.tsv).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
report_tool=$2
tables_dir=$3
scanner="$build/bin/gravelin-scanner.exe"
probe="$build/tests/scanner/windows/windows_probe.exe"
host=$(sed -n 's/^GRAVELIN_RESULT_HOST:[A-Z]*=//p' "$build/CMakeCache.txt")
version=$(sed -n 's/^#define GRAVELIN_VERSION "\(.*\)"$/\1/p' "$build/generated/gravelin_config.h")

if [ ! -f "$tables_dir/MANIFEST.tsv" ]; then
  echo "no SMBIOS tables in $tables_dir" >&2
  exit 1
fi
for f in "$scanner" "$probe" "$report_tool"; do
  [ -e "$f" ] || { echo "missing $f" >&2; exit 1; }
done

export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree=}
scratch=$(mktemp -d)
own_prefix=""
cleanup() {
  if [ -n "$own_prefix" ]; then wine_session_stop; fi
  rm -rf "$scratch"
}
trap cleanup EXIT
if [ -z "${WINEPREFIX:-}" ]; then
  # shellcheck source=tests/scanner/windows/wine_session.sh
  . "$here/wine_session.sh"
  own_prefix=yes
  wine_session_start "$scratch/prefix"
fi

smbios_key='HKLM\SYSTEM\CurrentControlSet\Services\mssmbios\Data'
# Z: is the host's root in every Wine prefix (winpath).
# shellcheck source=tests/scanner/windows/smbios_registry.sh
. "$here/smbios_registry.sh"

cat >"$scratch/browser.sh" <<STUB
#!/bin/sh
printf '%s\n' "\$*" >>"$scratch/browser-calls"
STUB
chmod +x "$scratch/browser.sh"
wine reg add 'HKCU\Software\Wine\WineBrowser' /v Browsers /d "$scratch/browser.sh" /f >/dev/null 2>&1

wine "$probe" os "$(winpath "$scratch/os.txt")" 2>/dev/null
os_text=$(cat "$scratch/os.txt")

wmi_answered="Win32_BaseBoard,Win32_Processor,Win32_OperatingSystem,Win32_DiskDrive,Win32_LogicalDisk,Win32_ComputerSystemProduct"
failed=0
ran=0

# run_scanner NAME [ENV...]: runs the scanner in $scratch/NAME, waits for the browser call,
# unseals the page into $scratch/NAME.xml.
run_scanner() {
  local name=$1
  shift
  local dir="$scratch/$name"
  mkdir "$dir"
  : >"$scratch/browser-calls"
  local status=0
  (cd "$dir" && env "$@" WINEDEBUG=-all,trace+wbemprox wine "$scanner" 2>"$scratch/$name.trace") ||
    status=$?
  if [ "$status" -ne 0 ]; then
    echo "FAIL: $name: exit code $status"
    return 1
  fi
  # The shell starts the browser on its own (winebrowser): wait for its call, then for
  # winebrowser to end, so that a second call, if any, is in the file too.
  for _ in $(seq 1 200); do
    [ -s "$scratch/browser-calls" ] && ! pgrep -f 'winebrowser' >/dev/null && break
    sleep 0.05
  done
  local extra
  extra=$(find "$dir" -mindepth 1 ! -name gravelin-scanner.html)
  if [ -n "$extra" ]; then
    echo "FAIL: $name: the scanner left other files: $extra"
    return 1
  fi
  "$report_tool" unseal "$dir/gravelin-scanner.html" >"$scratch/$name.xml"
}

# check NAME ARGS...: check_report.py over run NAME.
check() {
  local name=$1
  shift
  if python3 "$here/check_report.py" --report "$scratch/$name.xml" \
      --page "$scratch/$name/gravelin-scanner.html" --page-path "$scratch/$name/gravelin-scanner.html" \
      --browser-calls "$scratch/browser-calls" --trace "$scratch/$name.trace" \
      --host "$host" --os "$os_text" --version "$version" "$@"; then
    echo "ok: $name"
  else
    echo "FAILED: $name"
    failed=$((failed + 1))
  fi
  ran=$((ran + 1))
}

# import_table FILE: the registry value SMBiosData from a raw table file, read back through
# the probe and compared byte for byte.
import_table() {
  import_smbios_table "$1" "$scratch" || return 1
  if ! wine "$probe" registry "$(winpath "$scratch/registry.bin")" 2>"$scratch/probe.err"; then
    echo "the probe could not read the value: $(tail -n 3 "$scratch/probe.err")" >&2
    return 1
  fi
  cmp "$1" "$scratch/registry.bin" >&2
}

# --- the registry source, real tables ---------------------------------------------------
selection=${GRAVELIN_E2E_TABLES:-all}
if [ "$selection" = all ]; then
  selection=$(cut -f1 "$tables_dir/MANIFEST.tsv" | tail -n +2)
fi
for table in $selection; do
  rsmb="$tables_dir/$table.rsmb"
  counts=$(awk -F'\t' -v n="$table" '$1 == n { print $10 }' "$tables_dir/MANIFEST.tsv")
  if ! import_table "$rsmb"; then
    echo "FAIL: $table: the registry value read back differs from the table"
    failed=$((failed + 1))
    continue
  fi
  run_scanner "$table" || { failed=$((failed + 1)); continue; }
  LC_ALL=C "$report_tool" decode "$rsmb" >"$scratch/$table.expected.xml" 2>/dev/null
  check "$table" --expected-smbios "$scratch/$table.expected.xml" --type-counts "$counts" \
    --wmi-answered "$wmi_answered" --raw-table-queried never
done

# --- the registry key absent: the WMI table source ----------------------------------------
wine reg delete "$smbios_key" /f >/dev/null 2>&1 || true
if wine "$probe" registry "$(winpath "$scratch/none.bin")" 2>/dev/null; then
  echo "FAIL: the registry key is still there"
  failed=$((failed + 1))
fi
wmi_status=0
wine "$probe" wmi-table "$(winpath "$scratch/wmi-table.bin")" 2>/dev/null || wmi_status=$?
if run_scanner registry-absent; then
  if [ "$wmi_status" -eq 0 ]; then
    echo "  (Wine's WMI holds a table of $(stat -c %s "$scratch/wmi-table.bin") bytes)"
    LC_ALL=C "$report_tool" decode "$scratch/wmi-table.bin" >"$scratch/wmi.expected.xml" 2>/dev/null
    check registry-absent --expected-smbios "$scratch/wmi.expected.xml" \
      --wmi-answered "$wmi_answered" --raw-table-queried yes
  else
    echo "  (Wine's WMI holds no table here: the source is tried and fails)"
    check registry-absent --wmi-answered "$wmi_answered" --raw-table-queried yes
  fi
else
  failed=$((failed + 1))
fi

# --- neither source: no registry key, WMI unavailable -------------------------------------
if run_scanner no-source WINEDLLOVERRIDES="$WINEDLLOVERRIDES;wbemprox=d"; then
  check no-source
else
  failed=$((failed + 1))
fi

# --- the OS description from the version record -------------------------------------------
version_key='HKLM\Software\Microsoft\Windows NT\CurrentVersion'
product_key='HKLM\System\CurrentControlSet\Control\ProductOptions'
while IFS='|' read -r build product expected; do
  wine reg add "$version_key" /v CurrentVersion /d 10.0 /f >/dev/null 2>&1
  wine reg add "$version_key" /v CurrentBuild /d "$build" /f >/dev/null 2>&1
  wine reg add "$version_key" /v CurrentBuildNumber /d "$build" /f >/dev/null 2>&1
  wine reg add "$version_key" /v CSDVersion /d "" /f >/dev/null 2>&1
  wine reg add "$product_key" /v ProductType /d "$product" /f >/dev/null 2>&1
  wine "$probe" os "$(winpath "$scratch/os.txt")" 2>/dev/null
  got=$(cat "$scratch/os.txt")
  ran=$((ran + 1))
  if [ "$got" = "$expected" ]; then
    echo "ok: version 10.0.$build $product"
  else
    echo "FAIL: version 10.0.$build $product: \"$got\", expected \"$expected\""
    failed=$((failed + 1))
  fi
done <<'CASES'
19045|WinNT|Windows 10 Professional 64Bit  (build: 10.0.19045)
21999|WinNT|Windows 10 Professional 64Bit  (build: 10.0.21999)
22000|WinNT|Windows 11 Professional 64Bit  (build: 10.0.22000)
26100|WinNT|Windows 11 Professional 64Bit  (build: 10.0.26100)
14393|ServerNT|Windows Server 2016 Professional 64Bit  (build: 10.0.14393)
17763|ServerNT|Windows Server 2019 Professional 64Bit  (build: 10.0.17763)
20348|LanmanNT|Windows Server 2022 Professional 64Bit  (build: 10.0.20348)
26100|ServerNT|Windows Server 2025 Professional 64Bit  (build: 10.0.26100)
CASES

echo "end-to-end: $ran checks, $failed failed"
[ "$failed" -eq 0 ]
