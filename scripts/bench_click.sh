#!/usr/bin/env bash
# Prints the window's click-to-result times for Button3 and Button5 at 57600 baud, against the
# virtual device on a pseudo-terminal and against the window's own in memory, next to the wire
# time of the same frames.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target app_click_bench >/dev/null
QT_QPA_PLATFORM=offscreen build/default/bench/app_click_bench
