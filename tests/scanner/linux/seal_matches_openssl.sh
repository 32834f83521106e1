#!/usr/bin/env bash
# gravelin-report seal against an independent Blowfish: OpenSSL's bf-ecb (legacy provider)
# over the same zero-padded bytes under the same key must give the same hex text.
# Arguments: gravelin-scanner gravelin-report tables-dir
set -euo pipefail
report=$2
command -v openssl >/dev/null || { echo "SKIP: openssl not installed"; exit 77; }
key=$(printf '%s' 'Qm7#vK2p!Lx9@Tz4' | od -An -tx1 | tr -d ' \n')
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

check() {  # $1: file holding the report text (ASCII, so its code-page bytes are the same)
  local n pad ours theirs
  n=$(stat -c %s "$1")
  pad=$(( (n + 7) / 8 * 8 - n ))
  [ "$n" -eq 0 ] && pad=8
  cp "$1" "$scratch/padded"
  head -c "$pad" /dev/zero >> "$scratch/padded"
  theirs=$(openssl enc -bf-ecb -provider legacy -provider default -K "$key" -nopad -nosalt \
             -in "$scratch/padded" | od -An -tx1 | tr -d ' \n' | tr a-f A-F)
  ours=$("$report" seal "$1")
  if [ "$ours" != "$theirs" ]; then
    echo "FAIL: $(basename "$1") ($n bytes): ours ${ours:0:32}... openssl ${theirs:0:32}..."
    exit 1
  fi
  echo "ok: $(basename "$1") ($n bytes, ${#ours} hex characters)"
}

: > "$scratch/empty"; check "$scratch/empty"
printf 'x' > "$scratch/one"; check "$scratch/one"
printf '12345678' > "$scratch/block"; check "$scratch/block"
printf '<?xml version="1.0" encoding="utf-8"?>\r\n<HWInfo />\r\n' > "$scratch/fresh"; check "$scratch/fresh"
head -c 786431 /dev/urandom | base64 -w 76 > "$scratch/large"; check "$scratch/large"
