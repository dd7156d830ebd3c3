#!/usr/bin/env bash
# Builds everything and runs every test (the window's tests on Qt's offscreen platform).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default
QT_QPA_PLATFORM=offscreen ctest --preset default
