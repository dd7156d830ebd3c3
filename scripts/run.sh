#!/usr/bin/env bash
# Builds the tool and starts its window.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target ful03test
exec build/default/app/ful03test
