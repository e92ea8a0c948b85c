#!/usr/bin/env bash
# Builds both presets and runs the whole test suite (the x64 build under wine64).
# Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

for preset in win32 win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

source scripts/wine-env.sh
wine_start "$PWD/build/win64"
trap wine_stop EXIT

status=0
ctest --test-dir build/win32 --output-on-failure --no-tests=ignore || status=1
ctest --preset win64 || status=1
exit $status
