#!/usr/bin/env bash
# Builds the fuzz harnesses and runs each for a bounded time, starting from its seed corpus.
# Usage: scripts/fuzz.sh [seconds per harness, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
scripts/setup.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
shopt -s nullglob
status=0
for src in fuzz/fuzz_*.cpp; do
  name="$(basename "$src" .cpp)"
  seeds="fuzz/corpus/${name#fuzz_}"
  work="build/fuzz/corpus/${name#fuzz_}"
  mkdir -p "$work"
  args=("$work")
  [ -d "$seeds" ] && args+=("$seeds")
  echo "fuzz: $name for ${seconds}s"
  if ! "build/fuzz/fuzz/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 "${args[@]}" >"build/fuzz/$name.log" 2>&1; then
    echo "fuzz: $name FAILED"; tail -n 60 "build/fuzz/$name.log"; status=1
  else
    grep -E "stat::number_of_executed_units" "build/fuzz/$name.log" || true
  fi
done
exit $status
