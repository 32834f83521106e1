#!/usr/bin/env bash
# clang-tidy over the C++ files the latest change touched (scripts/tidy.sh, with build/'s
# compile database; scripts/test.sh has configured build/ before this stage runs).
#
# "The latest change" is everything since the merge base of HEAD with the commit before
# main's tip: on a clean clone of main that is main's last commit (for a merge, the whole
# branch it brought in); on a branch, the branch's own commits and main's last one. Without
# a main (a clone of another branch) it is HEAD~1..HEAD; a clone of one commit has nothing
# to compare with and checks nothing. GRAVELIN_TIDY_BASE names another base; `scripts/tidy.sh
# --all` checks the whole tree (docs/testing.md).
set -euo pipefail
cd "$(dirname "$0")/../.."

base=${GRAVELIN_TIDY_BASE:-}
if [ -z "$base" ]; then
  for main in main origin/main; do
    if git rev-parse -q --verify "$main~1^{commit}" >/dev/null &&
      base=$(git merge-base HEAD "$main~1"); then
      break
    fi
    base=""
  done
fi
if [ -z "$base" ]; then
  if git rev-parse -q --verify 'HEAD~1^{commit}' >/dev/null; then
    base=HEAD~1
  else
    echo "20-tidy: no commit before HEAD to compare with: nothing to check"
    exit 0
  fi
fi
echo "20-tidy: files changed since $(git rev-parse --short "$base") ($(git log -1 --format=%s "$base"))"
exec scripts/tidy.sh "$base"
