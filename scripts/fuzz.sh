#!/usr/bin/env bash
# Fuzzes each parser target of the engine file for SECONDS seconds, one after the other, from its
# corpus in the tree (fuzz/corpus/TARGET; new inputs go to build/fuzz/work, not to the tree), and
# prints how far each got: executions, coverage and features, corpus size, and any finding with
# the sanitizer's report. Exits non-zero when a target found something.
#   scripts/fuzz.sh SECONDS [TARGET...]     (targets: der authenticode)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: scripts/fuzz.sh SECONDS [TARGET...]}
shift
targets=("$@")
((${#targets[@]})) || targets=(der authenticode)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null

status=0
for target in "${targets[@]}"; do
  work=build/fuzz/work/$target
  findings=build/fuzz/findings/$target
  rm -rf "$work" "$findings"
  mkdir -p "$work" "$findings"
  log=build/fuzz/$target.log
  echo "== $target: ${seconds} s from fuzz/corpus/$target"
  rc=0
  build/fuzz/bin/fuzz_"$target" -max_total_time="$seconds" -max_len=16384 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$findings/" "$work" "fuzz/corpus/$target" \
    >"$log" 2>&1 || rc=$?
  # libFuzzer's last status line (#runs, cov, ft, corp) and its final statistics.
  grep -E '^#[0-9]+' "$log" | tail -n 1 || true
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)' \
    "$log" || true
  if ((rc != 0)) || compgen -G "$findings/*" >/dev/null; then
    status=1
    echo "$target: FINDING (exit $rc)"
    grep -E 'ERROR: (AddressSanitizer|UndefinedBehaviorSanitizer|libFuzzer)|runtime error|property failed|^    #[0-9] |SUMMARY|Test unit written' \
      "$log" | head -n 30 || true
  else
    echo "$target: nothing found"
  fi
done
exit $status
