#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the window need. Idempotent and quiet:
# it asks apt only when something is missing.
set -euo pipefail

packages=(
  cmake ninja-build pkgconf g++ clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev libxkbcommon-dev
  libmodbus-dev mbpoll
  xvfb xauth x11-utils imagemagick
  fonts-wine fonts-liberation
  dpkg-dev lintian scdoc  # the Debian package: dependencies, its check, manual pages
)

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
