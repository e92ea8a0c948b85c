#!/usr/bin/env bash
# The whole failure sweep: like the sweep tests of scripts/test.sh, but every import of the library
# fails at every one of its calls in each scenario, not only at its first and last (both
# architectures; x86 only where this machine executes 32-bit code). Exits non-zero on a finding.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
for preset in win32 win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target sweep_tests arch_probe
done

source scripts/wine-env.sh
wine_start "$PWD/build/wineprefix"

status=0
presets=(win64)
if wine_runs_x86 build/win32/bin/arch_probe.exe; then
  presets=(win32 win64)
else
  echo "x86: NOT RUN - this machine cannot execute 32-bit code; only the x64 sweep runs"
fi
for preset in "${presets[@]}"; do
  echo "== $preset: every call of every import"
  DRVDOWN_SWEEP_ALL_K=1 ctest --preset "$preset" -L sweep || status=1
done
exit $status
