#!/usr/bin/env bash
# Fails when a C++ source of the project's (every tracked .cpp and .h) is not
# as clang-format (14, Debian 12's) would write it by .clang-format; names
# each such file and shows the change. `clang-format -i FILE` mends one.
#
#   scripts/check-format.sh
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if clang-format --dry-run --Werror "${files[@]}" 2>/dev/null; then
  echo "check-format: ${#files[@]} files as clang-format writes them"
  exit 0
fi
for f in "${files[@]}"; do
  clang-format "$f" | diff -u --label "$f" --label "$f (clang-format)" "$f" - || true
done
echo "check-format: not as clang-format writes them (clang-format -i FILE):" >&2
clang-format --dry-run "${files[@]}" 2>&1 | sed -n 's/^\([^:]*\):.*warning:.*/  \1/p' | sort -u >&2
exit 1
