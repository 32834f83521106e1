# Shared by the Windows end-to-end scripts (sourced): Wine paths, and a real SMBIOS table
# put where the Windows program reads it.

# winpath PATH: the Unix path as Wine's Z: drive shows it.
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# import_smbios_table FILE SCRATCH: the registry value SMBiosData from a raw table file,
# through a .reg file written in SCRATCH (reg add cannot take values this long). Fails, with
# reg's own words on stderr, when reg does.
import_smbios_table() {
  python3 - "$1" "$2/table.reg" <<'PY'
import sys
data = open(sys.argv[1], "rb").read()
items = ["%02x" % b for b in data]
lines, line = [], '"SMBiosData"=hex:'
for i, item in enumerate(items):
    piece = item + ("," if i + 1 < len(items) else "")
    if len(line) + len(piece) > 77:
        lines.append(line + "\\")
        line = "  "
    line += piece
lines.append(line)
text = ("Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\mssmbios\\Data]\r\n"
        + "\r\n".join(lines) + "\r\n")
open(sys.argv[2], "w", newline="").write(text)
PY
  if ! wine reg import "$(winpath "$2/table.reg")" >"$2/reg.out" 2>&1; then
    echo "reg import $(basename "$1") failed: $(tr -d '\r' <"$2/reg.out" | tail -n 3)" >&2
    return 1
  fi
}
