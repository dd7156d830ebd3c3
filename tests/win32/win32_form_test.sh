#!/usr/bin/env bash
# The Win32 window under Wine on a display of its own (Xvfb), against virtual devices of the
# Linux build behind Wine's COM ports:
#   COM5   a virtual device at address 1 (contents below)
#   COM6   a virtual device that answers nothing: a silent line
#   COM7   a silent virtual device stopped when the test makes the file OXA_WIN32_LOST_SIGNAL
#   tcp    the same device as a serial device server (OXA_WIN32_TCP)
# The window program is copied into a folder of its own, where the settings file lies beside it.
#
# Usage: win32_form_test.sh MODE FULSIM PREFIX FORM PROGRAM [ARGUMENTS...]
#   test   runs PROGRAM, the end-to-end tests (win32_form_tests.exe)
#   bench  runs PROGRAM, the benchmark, with COM5 paced at 57600 baud; ARGUMENTS is the minimal
#          window program it measures the window against
#   shot   shows the window and writes a screenshot to ARGUMENTS (a PNG file); PROGRAM unused
#   plot   runs PROGRAM, the plot's benchmark (win32_plot_bench.exe), with ARGUMENTS; FORM unused
# PREFIX is a Wine prefix for windows on a display: its Wine server is started here with this
# display and stopped at the end.
set -euo pipefail
mode="$1" fulsim="$2" prefix="$3" form="$4" program="$5"
shift 5
here=$(cd "$(dirname "$0")" && pwd)
wine_run="$here/../../scripts/wine-run.sh"
if [ ! -x "$fulsim" ]; then
  echo "win32_form: no virtual device at $fulsim; build it first:" \
    "cmake --preset default && cmake --build --preset default --target fulsim" >&2
  exit 1
fi
command -v Xvfb >/dev/null || { echo "win32_form: no Xvfb (scripts/setup.sh)" >&2; exit 1; }

work=$(mktemp -d /tmp/oxa-win32-form.XXXXXX)
pids=()
xvfb=
cleanup() {
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  for pid in "${pids[@]}" $xvfb; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# The prefix and its port folder (made on first use), then a server of its own for this
# display: a server started without one would keep every window off the screen.
"$wine_run" "$prefix" cmd /c exit </dev/null >/dev/null 2>&1
# No window manager runs on the display: Wine draws the windows' frames itself, and does not
# wait for a manager to take a closed window off the screen.
if [ ! -e "$prefix/.unmanaged" ]; then
  WINEPREFIX="$prefix" WINEDEBUG=-all wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed \
    /t REG_SZ /d N /f </dev/null >/dev/null 2>&1
  touch "$prefix/.unmanaged"
fi
WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
WINEPREFIX="$prefix" wineserver -w
ports="$prefix/ports"

# A display of its own: Xvfb picks a free number and writes it once it accepts clients.
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
[ -s "$work/display" ] || { echo "win32_form: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -n 1 "$work/display")"

# The device's contents the tests look for: a Cyrillic identification, integrators the
# device's clock does not move, a dose, and a stamp record.
cat >"$work/device.ini" <<'INI'
[modbus]
identification = FUL-05.08 Дозатор
[registers]
2020 = float:1
2090 = u32:4294967295
2201 = 12345
[memory]
1496 = DE 85 25 20 12 05 31 AD
INI

start_device() {  # LINK [OPTIONS...]
  local link="$1"
  shift
  rm -f "$link"
  "$fulsim" --link "$link" --config "$work/device.ini" "$@" >/dev/null 2>>"$work/fulsim.log" &
  pids+=($!)
  for _ in $(seq 50); do [ -e "$link" ] && break; sleep 0.1; done
  [ -e "$link" ] || { echo "win32_form: no virtual device at $link" >&2; exit 1; }
}
if [ "$mode" = bench ]; then
  start_device "$ports/com5" --baud 57600
else
  start_device "$ports/com5"
  start_device "$ports/com6" --no-answer 1000000
  # COM7: a silent device that goes away, as an adapter pulled, once the test asks for it.
  start_device "$ports/com7" --no-answer 1000000
  doomed=${pids[-1]}
  signal="$work/stop-com7"
  (while [ ! -e "$signal" ]; do sleep 0.05; done; kill "$doomed") &
  pids+=($!)
  export OXA_WIN32_LOST_COM=7 OXA_WIN32_LOST_SIGNAL="Z:${signal//\//\\}"
  "$fulsim" --tcp 127.0.0.1:0 --config "$work/device.ini" >"$work/tcp" 2>>"$work/fulsim.log" &
  pids+=($!)
  for _ in $(seq 50); do [ -s "$work/tcp" ] && break; sleep 0.1; done
fi

cp "$form" "$work/ful03test.exe"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEARCH=win64
export OXA_WIN32_FORM="Z:${work//\//\\}\\ful03test.exe"
export OXA_WIN32_DEVICE_COM=5 OXA_WIN32_SILENT_COM=6
export OXA_WIN32_TCP="$(head -n 1 "$work/tcp" 2>/dev/null || true)"

# The screen's dots per inch, read when the Wine server starts: the server is started anew.
start_wine() {  # DPI
  wineserver -k 2>/dev/null || true
  wineserver -w
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f \
    </dev/null >/dev/null 2>&1
  wineserver -k 2>/dev/null || true
  wineserver -w
  wineserver -p </dev/null >/dev/null 2>&1
}
start_wine 96

case "$mode" in
  test)
    wine "$program" "$@"
    # The window on a screen of 144 dots per inch: the controls where the design puts them,
    # scaled, and the keys as before.
    start_wine 144
    OXA_WIN32_DPI=144 wine "$program" --gtest_filter='*ControlsAreWhere*:*TabVisits*' "$@"
    ;;
  bench)
    cp "$1" "$work/minimal.exe"
    OXA_WIN32_MINIMAL="Z:${work//\//\\}\\minimal.exe" wine "$program"
    ;;
  plot)
    wine "$program" "$@"
    ;;
  shot)
    printf '[Signature]\r\nPort=5\r\nBaud=2\r\nNetAddr=1\r\n' >"$work/ful03test.ini"
    wine "$work/ful03test.exe" </dev/null >/dev/null 2>&1 &
    sleep 4
    import -window root "$1"
    ;;
  *)
    echo "win32_form: unknown mode $mode" >&2
    exit 2
    ;;
esac
