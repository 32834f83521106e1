#!/usr/bin/env bash
# Runs clang-tidy (.clang-tidy at the root) over the Linux C++ sources a change touched, with
# the compile database of build/, and fails on any finding.
#
#   scripts/tidy.sh [BASE]   the .cpp/.h files changed between BASE (default HEAD~1) and HEAD
#   scripts/tidy.sh --all    every source of the compile database (the whole Linux tree)
#
# A changed header is checked through the sources that include it. Files the Linux build does
# not compile (scanner/platform/windows, tests/scanner/windows, the fuzzers unless build/ has them) are
# skipped with a note. build/ must have been configured (cmake --preset dev, or
# scripts/test.sh) and its generated headers made; GRAVELIN_TIDY_BUILD names another tree.
# CLANG_TIDY names the program (default clang-tidy-14, else clang-tidy).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${GRAVELIN_TIDY_BUILD:-build}
tidy=${CLANG_TIDY:-$(command -v clang-tidy-14 || command -v clang-tidy || true)}
[ -n "$tidy" ] || { echo "tidy.sh: no clang-tidy (apt-get install clang-tidy)" >&2; exit 2; }
db=$build/compile_commands.json
[ -f "$db" ] || { echo "tidy.sh: no $db (configure first: cmake --preset dev)" >&2; exit 2; }

# The sources the compile database names inside the source tree (not generated ones).
mapfile -t compiled < <(python3 - "$db" "$root" <<'PY'
import json, os, sys
db, root = sys.argv[1], sys.argv[2]
seen = set()
for entry in json.load(open(db)):
    path = os.path.normpath(os.path.join(entry["directory"], entry["file"]))
    rel = os.path.relpath(path, root)
    if rel.startswith("..") or rel.split(os.sep)[0].startswith("build") or rel in seen:
        continue
    seen.add(rel)
    print(rel)
PY
)

is_compiled() {
  local f
  for f in "${compiled[@]}"; do [ "$f" = "$1" ] && return 0; done
  return 1
}

if [ "${1:-}" = "--all" ]; then
  files=("${compiled[@]}")
else
  base=${1:-HEAD~1}
  git rev-parse --verify -q "$base^{commit}" >/dev/null || { echo "tidy.sh: no commit $base" >&2; exit 2; }
  files=()
  while IFS= read -r changed; do
    case $changed in
      scanner/platform/windows/* | tests/scanner/windows/*) echo "tidy.sh: $changed: Windows only, skipped"; continue ;;
    esac
    if [[ $changed == *.h ]]; then
      # Included by its root-relative path, or by its name from its own folder.
      name=$(basename "$changed")
      dir=$(dirname "$changed")
      found=0
      for source in "${compiled[@]}"; do
        if grep -qF "#include \"$changed\"" "$source" ||
          { [ "$(dirname "$source")" = "$dir" ] && grep -qF "#include \"$name\"" "$source"; }; then
          files+=("$source")
          found=1
        fi
      done
      [ "$found" = 1 ] || echo "tidy.sh: $changed: no Linux source includes it, skipped"
    elif is_compiled "$changed"; then
      files+=("$changed")
    else
      echo "tidy.sh: $changed: not in $db, skipped"
    fi
  done < <(git diff --name-only --diff-filter=d "$base" HEAD -- '*.cpp' '*.h')
  mapfile -t files < <(printf '%s\n' "${files[@]}" | sed '/^$/d' | sort -u)
fi

if [ "${#files[@]}" -eq 0 ]; then
  echo "tidy.sh: no C++ file to check"
  exit 0
fi
echo "tidy.sh: checking ${#files[@]} file(s) with $("$tidy" --version | grep -o 'version [0-9.]*')"
# Findings in the project's own headers count; those of system and third-party headers do not.
dirs='bench|fuzz|programs|reading|receiver|scanner|shared|tests'
set +e
printf '%s\n' "${files[@]}" |
  xargs -P "${GRAVELIN_TIDY_JOBS:-$(nproc)}" -n 1 "$tidy" -p "$build" --quiet \
    --header-filter="^$root/($dirs)/" --extra-arg=-Wno-unknown-warning-option 2>&1 |
  grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$'
status=${PIPESTATUS[1]}
set -e
if [ "$status" -ne 0 ]; then
  echo "tidy.sh: findings (above)" >&2
  exit 1
fi
echo "tidy.sh: clean"
