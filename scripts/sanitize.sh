#!/usr/bin/env bash
# Builds the library, the virtual device and their tests under ASan and UBSan and runs them.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset asan >/dev/null
cmake --build --preset asan
ctest --preset asan
