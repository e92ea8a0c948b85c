#!/usr/bin/env bash
# The lifecycle stress with many seeds: like the stress tests of scripts/test.sh (a few seeds per
# architecture), but N seeds per architecture (both; x86 only where this machine executes 32-bit
# code), each run on its own. Prints a line per failing seed with the command that replays it,
# and the sums of seeds, operations, re-entries (calls from a window's message handlers inside
# another call of the same downloader), lifecycle calls, overlaps and violations. Exits non-zero
# on any failed seed.
#
#   scripts/stress.sh N
#
# Seeds are FIRST .. FIRST + N - 1, with FIRST from DRVDOWN_STRESS_FIRST_SEED or drawn at random
# (and printed). DRVDOWN_STRESS_JOBS runs that many seeds at once (default 3: a run mostly waits);
# DRVDOWN_STRESS_MS is handed on (see tests/stress_tests.cpp).
set -euo pipefail
cd "$(dirname "$0")/.."
seeds=${1:?usage: scripts/stress.sh N}
first=${DRVDOWN_STRESS_FIRST_SEED:-$((RANDOM * 30 + RANDOM % 30))}
jobs=${DRVDOWN_STRESS_JOBS:-3}

scripts/install-deps.sh
for preset in win32 win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target stress_tests arch_probe
done

source scripts/wine-env.sh
wine_start "$PWD/build/wineprefix"

presets=(win64)
if wine_runs_x86 build/win32/bin/arch_probe.exe; then
  presets=(win32 win64)
else
  echo "x86: NOT RUN - this machine cannot execute 32-bit code; only the x64 stress runs"
fi

# run_seed PRESET SEED: one run, its output in build/stress/PRESET/SEED.log.
run_seed() {
  local preset=$1 seed=$2 loader=/usr/lib/wine/wine64
  [ "$preset" = win32 ] && loader=${DRVDOWN_WINE32:-/usr/lib/wine/wine}
  DRVDOWN_STRESS_SEED=$seed timeout 300 scripts/wine-run.sh "$PWD/build/wineprefix" "$loader" \
    "build/$preset/bin/stress_tests.exe" --gtest_filter='*/0' >"build/stress/$preset/$seed.log" 2>&1
}
export -f run_seed

status=0
echo "seeds $first .. $((first + seeds - 1)), $jobs at a time"
for preset in "${presets[@]}"; do
  rm -rf "build/stress/$preset"
  mkdir -p "build/stress/$preset"
  started=$SECONDS
  seq "$first" $((first + seeds - 1)) | xargs -P "$jobs" -I{} bash -c "run_seed $preset {}" || true
  failed=()
  for seed in $(seq "$first" $((first + seeds - 1))); do
    grep -q '^\[  PASSED  \] 1 test' "build/stress/$preset/$seed.log" || failed+=("$seed")
  done
  # The summary lines: stress seed=S operations=O reentries=R lifecycle=L overlapping=V overlaps=P
  # violations=X. A run that a hung call ended has none: it counts as failed.
  sums=$(sed -n 's/^stress seed=[0-9]* //p' build/stress/"$preset"/*.log | tr -d '\r' | awk '
    { for (i = 1; i <= NF; ++i) { split($i, kv, "="); sum[kv[1]] += kv[2] } ++runs }
    END { printf "%d seeds reported: %d operations, %d re-entries, %d lifecycle calls, %d of them overlapping another call of the same downloader (%d overlaps), %d violations",
                 runs, sum["operations"], sum["reentries"], sum["lifecycle"], sum["overlapping"], sum["overlaps"], sum["violations"] }')
  hung=$(cat build/stress/"$preset"/*.log | grep -c 'the run ends here' || true)
  echo "== $preset: $seeds seeds in $((SECONDS - started)) s; $sums; $hung ended by a hung call; ${#failed[@]} failed"
  for seed in "${failed[@]}"; do
    echo "   failed: seed $seed (build/stress/$preset/$seed.log); replay: DRVDOWN_STRESS_SEED=$seed ctest --preset $preset -R 'LifecycleStress.*/0'"
    status=1
  done
done
exit $status
