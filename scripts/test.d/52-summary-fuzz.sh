#!/usr/bin/env bash
# Fuzzes the summariser, the differ and the JSON form (fuzz/summary_fuzzer.cpp) and fails on
# any finding. Shares the fuzz build directory with 50-fuzz.sh (GRAVELIN_FUZZ_BUILD_DIR,
# default build-fuzz/); GRAVELIN_FUZZ_RUNS runs (default 20000), or
# GRAVELIN_SUMMARY_FUZZ_SECONDS of fuzzing; the real tables: tests/data/smbios-tables.
#
# Seeds, written here: the reports the report tool decodes from a few real tables (memory
# devices, processors, slots, enclosures of a desktop, a server and a virtual machine) and a
# small report with the WMI classes and an error text. A finding leaves its input in
# build-fuzz/summary-findings/.
set -euo pipefail
cd "$(dirname "$0")/../.."
# shellcheck source=scripts/lib/fuzz.sh
. scripts/lib/fuzz.sh
fuzz_prepare GRAVELIN_SUMMARY_FUZZ_SECONDS summary_fuzzer gravelin-report

fuzz_fresh_corpus summary-
cat >"$corpus/wmi" <<'XML'
<HWInfo><Application><i0 OS="Windows 10 64Bit " Name="gravelin-scanner.exe " Version="1.0.0.0 " Errors="Unable to query SMBIOS device data! No data found for &quot;SELECT * FROM CIM_Controller&quot;, Skipped invalid XML name &quot;1x&quot;, " /></Application>
<Win32_ComputerSystemProduct><i0 Vendor="Dell Inc. " Name="Precision " IdentifyingNumber="7KNZBH2 " UUID="4C4C4544-004B-4E10-805A-B7C04F424832 " /></Win32_ComputerSystemProduct>
<Win32_Processor><i0 Name="Xeon " SocketDesignation="CPU1 " NumberOfCores="4 " NumberOfLogicalProcessors="8 " MaxClockSpeed="3300 " /></Win32_Processor>
<Win32_DiskDrive><i1 DeviceID="\\.\PHYSICALDRIVE1 " SerialNumber="S2 " Size="1000 " /><i0 DeviceID="\\.\PHYSICALDRIVE0 " SerialNumber="S1 " Size="500 " Model="SSD " /></Win32_DiskDrive>
<Win32_LogicalDisk><i0 DeviceID="C: " Size="400 " FreeSpace="100 " DriveType="3 " VolumeSerialNumber="A2B4 " /></Win32_LogicalDisk>
<Win32_USBController><i0 CreationClassName="Win32_USBController " DeviceID="PCI\VEN_8086 " Name="xHCI " /><i1 CreationClassName="Win32_VideoController " DeviceID="VideoController1 " PNPDeviceID="PCI\VEN_10DE " /></Win32_USBController>
<Win32_OperatingSystem><i0 Caption="Windows 10 " Version="10.0.19045 " TotalVisibleMemorySize="16000000 " /></Win32_OperatingSystem>
</HWInfo>
XML
for table in jcreekmore-Dell-Precision-3620 siderolabs-Beelink-EQ12 infrasim-dell_r630 \
             qemu-pc-seabios-2s uroot-Toshiba-SatellitePro-L70; do
  if [ -f "$tables/$table.bin" ]; then
    "$build/bin/gravelin-report" decode "$tables/$table.bin" >"$corpus/$table" 2>/dev/null
  fi
done

fuzz_run summary summary- summary_fuzzer 16384
