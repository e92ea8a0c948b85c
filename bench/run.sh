#!/usr/bin/env bash
# The benchmark: builds both presets, serves a 64 MiB file of random bytes on 127.0.0.1 (and the
# same folder at a fixed rate from a second server, for the notification latency) and runs
# bench_drvdown of the x86 build under 32-bit Wine, then that of the x64 build under wine64, in one
# prefix (build/wineprefix); native curl, run from here, takes its turns in figure 2. It prints one
# table with a column for each (bench/side_by_side.py; bench/RESULTS.md explains it). Where this
# machine cannot execute 32-bit code it says so in one line and measures x64 only. The servers and
# the prefix's wineserver are stopped at the end.
#
#   bench/run.sh [--quick] [-- BENCH_DRVDOWN_OPTION...]
#
# --quick: fewer repetitions, for trying the script out. Options after "--" go to bench_drvdown
# after the script's own (e.g. "-- --only 2 --repeat 21": figure 2 alone, 21 rounds); such a
# partial run leaves out the cost of the engine check at the end.
#
# BENCH_BUILD_DIR=DIR builds the presets into DIR/win32 and DIR/win64 instead of build/win32 and
# build/win64; the run's files and its table go to DIR/bench-run (build/bench-run otherwise).
set -euo pipefail
cd "$(dirname "$0")/.."
export LC_ALL=C

counts=(--repeat 9 --rounds 3 --notify-rounds 2 --cpu-seconds 10)
if [ "${1:-}" = "--quick" ]; then
  counts=(--repeat 3 --rounds 1 --notify-rounds 1 --cpu-seconds 3)
  shift
fi
extra=()
if [ "${1:-}" = "--" ]; then
  shift
  extra=("$@")
elif [ $# -gt 0 ]; then
  echo "usage: bench/run.sh [--quick] [-- BENCH_DRVDOWN_OPTION...]" >&2
  exit 2
fi

scripts/install-deps.sh
builds=${BENCH_BUILD_DIR:-build}
mkdir -p "$builds"
builds=$(cd "$builds" && pwd)
for preset in win32 win64; do
  cmake --preset "$preset" -B "$builds/$preset" >/dev/null
  cmake --build "$builds/$preset" --target bench_drvdown arch_probe
done

work=$builds/bench-run
rm -rf "$work"
mkdir -p "$work/www"
file=package-64m.bin
head -c $((64 * 1024 * 1024)) /dev/urandom >"$work/www/$file"

source scripts/wine-env.sh
source scripts/local-server.sh
at_exit rm -rf "$work/www"

# start_server NAME [--rate BYTES_PER_SECOND]: serves $work/www on 127.0.0.1 (port: $work/NAME.port).
start_server() {
  local name=$1
  shift
  serve_start "$work/www" "$work/$name.port" "$work/$name.log" "$@" || exit 1
}
paced_rate=$((8 * 1024 * 1024))
start_server paced --rate "$paced_rate"
start_server fast

wine_start "$PWD/build/wineprefix"
archs=(x64)
x86_line=""
if wine_runs_x86 "$builds/win32/bin/arch_probe.exe"; then
  archs=(x86 x64)
else
  x86_line="x86: NOT RUN - this machine cannot execute 32-bit code (32-bit Wine failed to run an i686 program); only the x64 figures follow"
  echo "$x86_line"
fi

args=(--server "http://127.0.0.1:$(cat "$work/fast.port")"
  --paced-server "http://127.0.0.1:$(cat "$work/paced.port")" --paced-rate "$paced_rate"
  --www "Z:${work//\//\\}\\www" --file "$file" "${counts[@]}" "${extra[@]}")
# run_bench LOADER EXE ROWS: runs bench_drvdown, its rows to ROWS. Native curl runs here whenever
# the program asks for it ("@curl" on its output), so that it takes its turn between the program's
# own sides; the answer is curl's own time for the large file, written to a file. The program
# learns its Unix pid (the shell's, which exec keeps) for precise CPU times.
run_bench() {
  local loader=$1 exe=$2 rows=$3 line seconds status=0
  coproc BENCH { exec setarch -R "$loader" "$exe" "${args[@]}" --curl --unix-pid "$BASHPID"; }
  local pid=$BENCH_PID
  # Copies of the pipes: bash drops BENCH once the program has ended, before its output is read.
  exec {from_bench}<&"${BENCH[0]}" {to_bench}>&"${BENCH[1]}"
  : >"$rows"
  while IFS= read -r line <&"$from_bench"; do
    if [ "${line%$'\r'}" = "@curl" ]; then
      seconds=$(curl -sS -o "$work/curl.bin" -w '%{time_total}' "$url" || echo 0)
      [ "$(stat -c %s "$work/curl.bin" 2>/dev/null)" = "$size" ] || seconds=0
      rm -f "$work/curl.bin"
      echo "$seconds" >&"$to_bench"
    else
      printf '%s\n' "$line" >>"$rows"
    fi
  done
  wait "$pid" || status=$?
  exec {from_bench}<&- {to_bench}>&-
  return "$status"
}

url="http://127.0.0.1:$(cat "$work/fast.port")/$file"
size=$(stat -c %s "$work/www/$file")
tables=()
for arch in "${archs[@]}"; do
  loader=/usr/lib/wine/wine64 build=$builds/win64
  if [ "$arch" = x86 ]; then
    loader=${DRVDOWN_WINE32:-/usr/lib/wine/wine} build=$builds/win32
  fi
  echo "== $arch: bench_drvdown ${args[*]} --curl --unix-pid PID ($(uptime | sed 's/.*load/load/'))"
  run_bench "$loader" "$build/bin/bench_drvdown.exe" "$work/rows-$arch.tsv" ||
    { status=$?; echo "bench: bench_drvdown ($arch) failed with exit code $status" >&2; exit "$status"; }
  tables+=("$arch=$work/rows-$arch.tsv")
done

echo
{
  python3 bench/side_by_side.py "${tables[@]}"
  [ -z "$x86_line" ] || echo "$x86_line"
  echo
  echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(/usr/lib/wine/wine64 --version)${x86_line:+ (x64 only)}"
  echo "date:    $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "load:    $(uptime | sed 's/^ *//')"
} | tee "$work/table.txt"
echo "table:   $work/table.txt"
# What the engine check adds to Init, x86 and x64.
[ ${#extra[@]} -gt 0 ] || scripts/verify-cost.sh
