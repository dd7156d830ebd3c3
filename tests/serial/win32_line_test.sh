#!/usr/bin/env bash
# The Win32 port on a line: the Windows test program, under Wine, talks through COM ports that
# Wine maps to pseudo-terminals, to virtual devices of the Linux build.
#   COM5  a virtual device
#   COM6  a virtual device that answers nothing: a silent line
#   COM7  a virtual device this script stops when the program asks, so that it goes away
# Then fulctl.exe, as a technician runs it in a Windows console, against the same lines.
# Usage: win32_line_test.sh FULSIM WINE_RUN PREFIX PROGRAM FULCTL
set -euo pipefail
fulsim="$1" wine_run="$2" prefix="$3" program="$4" fulctl="$5"
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

# fulctl.exe: what it prints and its exit status, on COM5 (a device) and COM6 (silent), with an
# empty settings file of the test's own.
: >"$work/empty.ini"
settings="Z:${work//\//\\}\\empty.ini"
failed=0
expect() {  # EXPECTED_STATUS EXPECTED_OUTPUT ARGS...: runs fulctl.exe, compares
  local want_status="$1" want="$2"
  shift 2
  local got status=0
  got=$("$wine_run" "$prefix" "$fulctl" --settings "$settings" "$@" 2>"$work/err") ||
    status=$?
  got=${got//$'\r'/}
  if [ "$status" != "$want_status" ] || [ "$got" != "$want" ]; then
    echo "win32_line: fulctl $* gave status $status (wanted $want_status):" >&2
    printf '%s\n--- wanted:\n%s\n--- stderr:\n' "$got" "$want" >&2
    cat "$work/err" >&2
    failed=1
  fi
}
expect 0 $'OK\nID = FUL-05.08 virtual device' -p COM5 id
expect 0 $'OK\n=Data=\n41 48 00 00 41 04 00 00 \n0: 16712 (0x4148)\n1: 0 (0x0000)\n2: 16644 (0x4104)\n3: 0 (0x0000)' \
  -p COM5 regs 0 4
expect 0 '0042 2024.03.05' -p COM5 stamp
expect 1 $'Failed\nErrCode=2' -p COM6 -t 100 -r 1 id

# Files through the Win32 side of the output files: an archive made whole, a trace, and a
# folder at the path refused (status 7).
windows_path() { local path="$1"; echo "Z:${path//\//\\}"; }
mkdir "$work/folder"
expect 0 '' -p COM5 archive 0 1 -o "$(windows_path "$work/archive.bin")"
expect 0 $'OK\nID = FUL-05.08 virtual device' -p COM5 --trace="$(windows_path "$work/trace.txt")" id
expect 7 '' -p COM5 archive 0 1 -o "$(windows_path "$work/folder")"
if [ "$(stat -c %s "$work/archive.bin" 2>/dev/null)" != 256 ] || [ -e "$work/archive.bin.part" ] ||
  [ "$(grep -c ' TX \| RX ' "$work/trace.txt" 2>/dev/null)" != 2 ]; then
  echo "win32_line: fulctl.exe's archive or trace file is not as written" >&2
  ls -l "$work" >&2
  failed=1
fi
exit "$failed"
