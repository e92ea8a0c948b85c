#!/usr/bin/env bash
# Builds both presets with their test suites and runs them: the x86 build (the product) under
# 32-bit Wine, the x64 build under wine64, one after the other in one prefix and one wineserver.
# Then the native fuzz build (preset fuzz) replays the parsers' corpus in fuzz/corpus.
# A machine that cannot execute 32-bit code runs only the x86 binary checks and says so at the
# start and at the end; the x86 suite then counts as not run. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS

scripts/install-deps.sh

for preset in win32 win64 fuzz; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

source scripts/wine-env.sh
wine_start "$PWD/build/wineprefix"

x86_runs=1
if ! wine_runs_x86 build/win32/bin/arch_probe.exe; then
  x86_runs=0
  echo "$X86_NOT_RUN_LINE"
fi

# run_suite NAME CTEST_ARGS...: runs ctest, keeps its log, and records its counts.
summary=()
status=0
run_suite() {
  local name=$1
  shift
  local log=build/ctest-$name.log
  echo
  echo "== $name: ctest $*"
  ctest "$@" 2>&1 | tee "$log" || status=1
  local counts passed failed skipped
  counts=$(sed -n 's/^[0-9]*% tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\)$/\1 \2/p' "$log" | tail -n 1)
  if [ -z "$counts" ]; then
    summary+=("$name: no ctest summary")
    status=1
    return
  fi
  # ctest counts a skipped test (one that could not run here) among the passed ones; it is not.
  skipped=$(grep -c ' (Skipped)$' "$log" || true)
  failed=${counts% *}
  passed=$((${counts#* } - failed - skipped))
  summary+=("$name: $passed passed, $failed failed, $skipped skipped")
  total_passed=$((total_passed + passed))
  total_failed=$((total_failed + failed))
  total_skipped=$((total_skipped + skipped))
}
total_passed=0
total_failed=0
total_skipped=0

if [ "$x86_runs" = 1 ]; then
  run_suite x86 --preset win32
else
  run_suite x86-binary-checks --preset win32 -L binary
fi
run_suite x64 --preset win64

# Each fuzz target over its corpus, once: an input that now fails a property or trips a sanitizer
# fails the test command. Counted one per target.
run_replay() {
  local passed=0 failed=0 target log inputs replay_started
  echo
  echo "== replay: the parsers' fuzz targets over fuzz/corpus"
  replay_started=$(date +%s%N)
  for target in der authenticode; do
    log=build/fuzz/replay-$target.log
    if build/fuzz/bin/fuzz_"$target" -runs=0 -artifact_prefix=build/fuzz/ "fuzz/corpus/$target" \
      >"$log" 2>&1; then
      passed=$((passed + 1))
      inputs=$(sed -n 's/^INFO: seed corpus: files: \([0-9]*\).*/\1/p' "$log")
      echo "$target: ${inputs:-?} inputs, no finding"
    else
      failed=$((failed + 1))
      status=1
      echo "$target: FAILED (log: $log)"
      grep -E 'ERROR|runtime error|property failed|SUMMARY' "$log" | head -n 10 || true
    fi
  done
  echo "replay took $((($(date +%s%N) - replay_started) / 1000000)) ms"
  summary+=("replay: $passed passed, $failed failed, 0 skipped")
  total_passed=$((total_passed + passed))
  total_failed=$((total_failed + failed))
}
run_replay

echo
echo "== summary ($((SECONDS - started)) s)"
[ "$x86_runs" = 1 ] || echo "$X86_NOT_RUN_LINE"
for line in "${summary[@]}"; do
  echo "$line"
done
echo "total: $total_passed passed, $total_failed failed, $total_skipped skipped"
exit $status
