#!/usr/bin/env bash
# The SMBIOS decoders against dmidecode on every real firmware table, and the report of each
# table through xmllint and two namespace-aware XML parsers. The comparison, its
# normalisation rules and its list of intended differences are in peer_dmidecode.py.
#
#   peer_dmidecode.sh SCANNER REPORT_TOOL TABLES_DIR
set -euo pipefail

if [ $# -lt 3 ]; then
  echo "usage: $0 SCANNER REPORT_TOOL TABLES_DIR" >&2
  exit 2
fi
if ! command -v python3 >/dev/null; then
  echo "SKIP: python3 is not installed (scripts/install-deps.sh installs it)"
  exit 77
fi
exec python3 "$(dirname "$0")/peer_dmidecode.py" "$2" "$3"
