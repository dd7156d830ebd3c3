#!/usr/bin/env bash
# The Win32 port on a line: the Windows test program, under Wine, talks through COM ports that
# Wine maps to pseudo-terminals, to virtual devices of the Linux build.
#   COM5  a virtual device
#   COM6  a virtual device that answers nothing: a silent line
#   COM7  a virtual device this script stops when the program asks, so that it goes away
# Usage: win32_line_test.sh FULSIM WINE_RUN PREFIX PROGRAM
set -euo pipefail
fulsim="$1" wine_run="$2" prefix="$3" program="$4"
ports="$prefix/ports"
if [ ! -x "$fulsim" ]; then
  echo "win32_line: no virtual device at $fulsim; build it first:" \
    "cmake --preset default && cmake --build --preset default --target fulsim" >&2
  exit 1
fi

work=$(mktemp -d /tmp/oxa-win32-line.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# wine-run.sh makes the prefix and its port folder on first use.
"$wine_run" "$prefix" cmd /c exit </dev/null >/dev/null 2>&1

start_device() {  # LINK [OPTIONS...]: starts a virtual device, prints nothing
  local link="$1"
  shift
  rm -f "$link"
  "$fulsim" --link "$link" "$@" >/dev/null &
  pids+=($!)
}
start_device "$ports/com5"
start_device "$ports/com6" --no-answer 1000000
start_device "$ports/com7"
doomed=${pids[-1]}
for link in "$ports"/com5 "$ports"/com6 "$ports"/com7; do
  for _ in $(seq 50); do [ -e "$link" ] && break; sleep 0.1; done
  [ -e "$link" ] || { echo "win32_line: no virtual device at $link" >&2; exit 1; }
done

# The program asks for COM7's device to go by creating this file.
signal="$work/stop-com7"
(
  while [ ! -e "$signal" ]; do sleep 0.05; done
  kill "$doomed"
) &
pids+=($!)

OXA_WIN32_DEVICE_COM=5 OXA_WIN32_SILENT_COM=6 OXA_WIN32_LOST_COM=7 \
  OXA_WIN32_LOST_SIGNAL="Z:${signal//\//\\}" \
  "$wine_run" "$prefix" "$program" --gtest_filter='Win32PortOnTheLine.*'
