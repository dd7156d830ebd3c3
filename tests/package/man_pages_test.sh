#!/usr/bin/env bash
# The manual pages keep up with the programs: every long option a program's --help lists is
# described in its page's source, and fulctl's page lists every exit status of its --help.
# Usage: man_pages_test.sh PAGES_FOLDER PROGRAM...
set -euo pipefail
pages="$1"; shift
status=0
for program in "$@"; do
  name="$(basename "$program")"
  source="$pages/$name.1.scd"
  for option in $("$program" --help | grep -oE -- '--[a-z0-9][a-z0-9-]+' | sort -u); do
    if ! grep -qF -- "*$option*" "$source"; then
      echo "$source: $option of '$name --help' is not described"; status=1
    fi
  done
  # Exit statuses: lines "  N  text" after "Exit status:".
  for code in $("$program" --help | sed -n '/^Exit status:/,/^$/s/^  \([0-9]\+\)  .*/\1/p'); do
    if ! sed -n '/^# EXIT STATUS/,/^# /p' "$source" | grep -qx "\*$code\*"; then
      echo "$source: exit status $code of '$name --help' is not listed"; status=1
    fi
  done
done
exit $status
