#!/usr/bin/env bash
# Runs a Windows program under Wine in a prefix of its own: no display, no debug output, 64-bit.
# Usage: scripts/wine-run.sh PREFIX PROGRAM [ARGUMENTS...]
#
# The first run makes the prefix (a few seconds) and maps COM5 to COM8 to the paths
# PREFIX/ports/com5 .. com8, where a test puts links to pseudo-terminals. Every run makes sure
# a Wine server is up for the prefix, started apart from the caller's output so that nothing
# (CTest) waits for it; it ends 30 s after its last program, or at `wineserver -k`.
set -euo pipefail
prefix="$1"
shift
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEARCH=win64
unset DISPLAY WAYLAND_DISPLAY

mkdir -p "$(dirname "$prefix")"
# One run at a time sets the prefix up. The programs started meanwhile must not inherit the
# lock (9>&-): a Wine server that kept it would hold every later run until it ends.
exec 9>"$prefix.lock"
flock 9
if [ ! -e "$prefix/.ready" ]; then
  wineboot -i </dev/null >/dev/null 2>&1 9>&-
  mkdir -p "$prefix/ports"
  for n in 5 6 7 8; do
    wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /t REG_SZ /d "$prefix/ports/com$n" /f \
      </dev/null >/dev/null 2>&1 9>&-
  done
  # The port mapping is read when the server starts.
  wineserver -k 9>&- || true
  wineserver -w 9>&-
  touch "$prefix/.ready"
fi
wineserver -p30 </dev/null >/dev/null 2>&1 9>&- || true
wine cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
exec 9>&-
exec wine "$@"
