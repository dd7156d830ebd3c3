#!/usr/bin/env bash
# Builds the Debian package of the window, fulctl and the virtual device from the default build
# tree and prints its path: build/default/packages/ful03test_<version>_<architecture>.deb.
# Install it with `sudo apt install ./build/default/packages/ful03test_1.0_amd64.deb`;
# tests/package/check_package.sh checks it without installing it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target ful03test fulctl fulsim man_pages
rm -f build/default/packages/*.deb
(cd build/default && cpack -G DEB >/dev/null)
ls build/default/packages/*.deb
