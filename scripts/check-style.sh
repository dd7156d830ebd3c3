#!/usr/bin/env bash
# Checks the habits a reviewer would otherwise check by hand: every C++ file as the root's
# .clang-format lays it out, and commit subjects of at most 72 characters (from the commit on
# which this check began; older subjects stay as they were written).
#
# Usage: scripts/check-style.sh [--fix]
#   --fix  reformats the files in place instead of failing on them
set -euo pipefail
cd "$(dirname "$0")/.."

first_checked=f9494ec  # the last commit before the subject rule was checked

mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
  exit 0
fi

status=0
if ! clang-format --dry-run -Werror "${files[@]}" 2>/tmp/check-style.$$; then
  grep -E '^[^ ]+:[0-9]+:[0-9]+: (error|warning)' /tmp/check-style.$$ | cut -d: -f1 | sort -u |
    sed 's/^/check-style: not formatted: /' >&2
  echo "check-style: run scripts/check-style.sh --fix" >&2
  status=1
fi
rm -f /tmp/check-style.$$

# A clone without that commit (a shallow one) has nothing of the rule's history to check.
if git cat-file -e "$first_checked^{commit}" 2>/dev/null; then
  long=$(git log --format='%h %s' "$first_checked..HEAD" | awk 'length($0) - 8 > 72')
  if [ -n "$long" ]; then
    echo "check-style: commit subjects longer than 72 characters:" >&2
    echo "$long" >&2
    status=1
  fi
fi

[ "$status" -eq 0 ] && echo "check-style: ${#files[@]} files formatted, commit subjects short"
exit "$status"
