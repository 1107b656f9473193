#!/bin/sh
# Checks that the C++ files changed since BASE (default: the commit that
# formatted the whole tree) are as clang-format would write them. Prints the
# files that are not and exits 1; with no argument it reads the base from
# tools/format-base.
set -e
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null 2>&1 || { echo "format-check: clang-format is missing" >&2; exit 1; }
base=${1:-$(cat tools/format-base 2>/dev/null || true)}
if [ -n "$base" ] && git cat-file -e "$base^{commit}" 2>/dev/null; then
  files=$(git diff --name-only --diff-filter=d "$base" -- '*.cc' '*.h')
else
  files=$(git ls-files '*.cc' '*.h')
fi
bad=0
for f in $files; do
  [ -f "$f" ] || continue
  if ! clang-format --dry-run --Werror "$f" >/dev/null 2>&1; then
    echo "format-check: $f is not formatted (clang-format -i $f)"
    bad=1
  fi
done
n=$(echo "$files" | grep -c . || true)
echo "format-check: $n changed files checked"
exit $bad
