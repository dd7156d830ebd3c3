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
# The harnesses run side by side, as many at once as there are cores (each is one process on
# one core), so the step takes the time of a few harnesses, not of all of them.
at_once=$(nproc)
run() {
  local name=$1 seeds=$2 work=$3
  local args=("$work")
  [ -d "$seeds" ] && args+=("$seeds")
  "build/fuzz/fuzz/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 "${args[@]}" >"build/fuzz/$name.log" 2>&1
}
status=0
names=()
pids=()
# Waits for the harnesses started and says each one's outcome, in the order they started.
finish() {
  for i in "${!names[@]}"; do
    if ! wait "${pids[$i]}"; then
      echo "fuzz: ${names[$i]} FAILED"; tail -n 60 "build/fuzz/${names[$i]}.log"; status=1
    else
      echo "fuzz: ${names[$i]}: $(grep -E "stat::number_of_executed_units" \
        "build/fuzz/${names[$i]}.log" || true)"
    fi
  done
  names=()
  pids=()
}
for src in fuzz/fuzz_*.cpp; do
  name="$(basename "$src" .cpp)"
  work="build/fuzz/corpus/${name#fuzz_}"
  mkdir -p "$work"
  echo "fuzz: $name for ${seconds}s"
  run "$name" "fuzz/corpus/${name#fuzz_}" "$work" &
  names+=("$name")
  pids+=($!)
  ((${#pids[@]} < at_once)) || finish
done
finish
exit $status
