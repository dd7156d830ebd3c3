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

for tool in git clang-format; do
  if ! command -v "$tool" >/dev/null; then
    echo "check-style: $tool is not installed (scripts/setup.sh installs it)" >&2
    exit 1
  fi
done
if ! git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  echo "check-style: $(pwd) is not a git checkout: the files to check are those git tracks" >&2
  exit 1
fi

mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--fix" ]; then
  clang-format -i "${files[@]}"
  exit 0
fi

status=0
report="$(mktemp)"
trap 'rm -f "$report"' EXIT
if ! clang-format --dry-run -Werror "${files[@]}" 2>"$report"; then
  unformatted="$(grep -E '^[^ ]+:[0-9]+:[0-9]+: (error|warning)' "$report" | cut -d: -f1 |
    sort -u || true)"
  if [ -n "$unformatted" ]; then
    sed 's/^/check-style: not formatted: /' <<<"$unformatted" >&2
    echo "check-style: run scripts/check-style.sh --fix" >&2
  else
    # clang-format failed for another reason (an unreadable file, a bad .clang-format): its own
    # words say which.
    echo "check-style: clang-format failed:" >&2
    cat "$report" >&2
  fi
  status=1
fi

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
