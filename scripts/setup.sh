#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the window and each step of .ci/run need,
# on a bare Debian 12 too (debootstrap --variant=minbase). Idempotent and quiet: it asks apt
# only when something is missing.
#
# Usage: scripts/setup.sh [windows]
#   windows  also the MinGW-w64 cross compiler and Wine, for the Windows build and its tests,
#            and what makes the Windows icon and installer (scripts/windows.sh)
set -euo pipefail

packages=(
  cmake ninja-build pkgconf g++ clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev libxkbcommon-dev
  libxtst-dev libxdamage-dev  # the X-level click benchmark: XTest clicks, XDamage repaints
  libmodbus-dev mbpoll python3-pymodbus python3-serial  # Modbus peers for the interop tests
  xvfb xauth x11-utils imagemagick
  fonts-wine fonts-liberation
  dpkg-dev lintian scdoc  # the Debian package: dependencies, its check, manual pages
  man-db                  # man and groff, which render the manual pages in their check
  git clang-format        # scripts/check-style.sh: the files to check, their layout
)

for group in "$@"; do
  case "$group" in
    # googletest: its sources, which the Windows build compiles with the cross compiler;
    # librsvg2-bin and icoutils: the icon from the SVG one; nsis: the installer.
    windows) packages+=(g++-mingw-w64-x86-64-posix wine wine64 googletest
                        librsvg2-bin icoutils nsis) ;;
    *) echo "setup: unknown package group '$group' (known: windows)" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi
