#!/usr/bin/env bash
# Builds the tool and starts its window. Unless the settings file maps a COM port to a device
# that is there, the window serves a virtual FUL device inside itself for this run and every
# port of its list leads to it. Nothing of the run is written to the settings file.
# The command-line tool (build/default/app/fulctl), the virtual device (build/default/sim/fulsim)
# and the manual pages (build/default/packaging/*.1.gz, read with man -l) are built too.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
targets=(ful03test fulctl fulsim)
# The manual pages are made where scdoc is installed (scripts/setup.sh installs it).
if ninja -C build/default -t targets all 2>/dev/null | grep -q '^man_pages:'; then
  targets+=(man_pages)
fi
cmake --build --preset default --target "${targets[@]}"
ini=build/default/app/ful03test.ini
# The paths of COMn=PATH lines (a TCP address counts as there).
for path in $(sed -n 's/^[[:space:]]*[Cc][Oo][Mm][0-9]\+[[:space:]]*=[[:space:]]*\([^[:space:]]\+\).*/\1/p' "$ini" 2>/dev/null); do
  if [[ -e "$path" || "$path" == *://* ]]; then exec build/default/app/ful03test "$@"; fi
done
exec build/default/app/ful03test --virtual-device "$@"
