#!/usr/bin/env bash
# The Windows build, made and tested here: installs MinGW-w64 and Wine (scripts/setup.sh
# windows), cross-builds the library and its tests (preset windows), runs the tests under Wine,
# among them the Win32 port and fulctl.exe talking through Wine's COM ports to the virtual
# device of the Linux build, prints the time per exchange of fulctl of both builds against the
# same virtual device, makes the zip and the installer (build/windows/ful03test-<version>-win64.zip
# and ful03test-<version>-win64-setup.exe) and checks both (tests/package/check_windows_packages.sh:
# the installer installs, runs and uninstalls under Wine).
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
stage() { echo "windows: $1 ($((SECONDS - start)) s)"; }

scripts/setup.sh windows
stage "toolchain and Wine ready"

# The Linux side: the virtual device, and fulctl for the figures.
cmake --preset default >/dev/null
cmake --build --preset default --target fulsim fulctl
cmake --preset windows >/dev/null
cmake --build --preset windows
stage "built"

# One Wine server for every program of the run: started and warmed up before the tests (the
# first run of wine-run.sh makes the prefix and maps its COM ports), stopped at the end.
prefix=$PWD/build/windows/wine
export WINEPREFIX=$prefix WINEDEBUG=-all WINEARCH=win64
unset DISPLAY WAYLAND_DISPLAY
scripts/wine-run.sh "$prefix" cmd /c exit </dev/null >/dev/null 2>&1
wineserver -k || true
wineserver -w
sims=()
finish() {
  for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
}
trap finish EXIT
wineserver -p </dev/null >/dev/null 2>&1
wine cmd /c exit </dev/null >/dev/null 2>&1
stage "Wine up"

ctest --preset windows
stage "tested under Wine"

# `fulctl regs 0 10 --count 100`, built for Linux and for Windows, against one virtual device
# (COM8 under Wine, the same pseudo-terminal for Linux): answers at once, and answers paced at
# 115200 baud after 3 ms, where the wait for input counts. Each prints its summary line.
link="$prefix/ports/com8"
: >"$prefix/empty.ini"  # no [Ports] map: the ports are named directly
for case in "answers at once|" "paced at 115200 baud, 3 ms delay|--baud 115200 --delay 3"; do
  label=${case%%|*}
  read -r -a options <<<"${case#*|}"
  rm -f "$link"
  build/default/sim/fulsim --link "$link" "${options[@]}" >/dev/null 2>&1 &
  sims+=($!)
  for _ in $(seq 50); do [ -e "$link" ] && break; sleep 0.1; done
  count=(--count 100 --interval 0 regs 0 10)
  linux=$(build/default/app/fulctl -p "$link" --settings "$prefix/empty.ini" "${count[@]}" |
    tail -n 1)
  wine=$(scripts/wine-run.sh "$prefix" build/windows/app/fulctl.exe -p COM8 \
    --settings "Z:${prefix//\//\\}\\empty.ini" "${count[@]}" |
    tr -d '\r' | tail -n 1)
  kill "${sims[-1]}"
  wait "${sims[-1]}" 2>/dev/null || true
  echo "fulctl regs 0 10 --count 100, $label:"
  echo "  Linux:            $linux"
  echo "  Windows (Wine):   $wine"
done

# The Win32 window (its tests ran with the others, under Wine on a display of their own): its
# start and working set against a bare window of the same size, and a register read from click
# to result at 57600 bit/s against a plain ReadFile loop on the same port.
tests/win32/win32_form_test.sh bench build/default/sim/fulsim "$PWD/build/windows/wine-gui" \
  build/windows/win32/ful03test.exe build/windows/tests/win32/win32_form_bench.exe \
  build/windows/tests/win32/win32_minimal_window.exe
stage "measured"

cpack --preset windows >/dev/null
zip=$(ls build/windows/ful03test-*-win64.zip)
echo "windows: $zip"
cmake -E tar tf "$zip" | sed 's/^/  /'
setup=$(ls build/windows/ful03test-*-win64-setup.exe)
echo "windows: $setup ($(stat -c %s "$setup") bytes)"
stage "packed"

tests/package/check_windows_packages.sh build/windows
stage "packages checked"
