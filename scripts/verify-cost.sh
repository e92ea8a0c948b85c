#!/usr/bin/env bash
# Prints what the engine check adds to Init, x86 and x64: a signature check by a pinned key and,
# for comparison, a digest check, for a small signed engine and one of about 8 MiB (median and
# fastest of 15 runs each). Builds what it needs of both presets.
#   scripts/verify-cost.sh [repetitions]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-15}

scripts/install-deps.sh
for preset in win32 win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target bench_verify_cost arch_probe >/dev/null
done

source scripts/wine-env.sh
wine_start "$PWD/build/wineprefix"
if wine_runs_x86 build/win32/bin/arch_probe.exe; then
  setarch -R /usr/lib/wine/wine build/win32/bin/bench_verify_cost.exe "$runs" | tr -d '\r'
else
  echo "$X86_NOT_RUN_LINE"
fi
setarch -R /usr/lib/wine/wine64 build/win64/bin/bench_verify_cost.exe "$runs" | tr -d '\r'
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(/usr/lib/wine/wine64 --version)"
