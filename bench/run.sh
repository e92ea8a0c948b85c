#!/usr/bin/env bash
# The benchmark: builds both presets, serves a 64 MiB file of random bytes on 127.0.0.1 (and, for
# the notification latency, the same folder at a fixed rate from a second server) and runs
# bench_drvdown of the x86 build under 32-bit Wine, then that of the x64 build under wine64,
# against the same servers, in one prefix (build/wineprefix) served by one wineserver. It prints
# one table with a column for each (bench/side_by_side.py; bench/RESULTS.md explains it). Where
# this machine cannot execute 32-bit code it says so in one line and measures x64 only. Native
# curl runs here, timed by this shell, whenever a program asks for it ("@curl" on its output), so
# that its figure is measured between the program's own, like every other side. Both servers and
# the wineserver this script starts are stopped when it exits.
#
#   bench/run.sh [--quick]        --quick: fewer repetitions, for trying the script out
#
# BENCH_BUILD_DIR=DIR builds the presets into DIR/win32 and DIR/win64 instead of build/win32 and
# build/win64; the run's files and its table go to DIR/bench-run (build/bench-run otherwise).
set -euo pipefail
cd "$(dirname "$0")/.."
export LC_ALL=C

repeat=9 rounds=3 notify_rounds=2 cpu_seconds=10
if [ "${1:-}" = "--quick" ]; then
  repeat=3 rounds=1 notify_rounds=1 cpu_seconds=3
elif [ $# -gt 0 ]; then
  echo "usage: bench/run.sh [--quick]" >&2
  exit 2
fi

scripts/install-deps.sh
builds=${BENCH_BUILD_DIR:-build}
mkdir -p "$builds"
builds=$(cd "$builds" && pwd)
for preset in win32 win64; do
  cmake --preset "$preset" -B "$builds/$preset" >/dev/null
  cmake --build "$builds/$preset"
done
prefix=$PWD/build/wineprefix

work=$builds/bench-run
rm -rf "$work"
mkdir -p "$work/www"
file=package-64m.bin
head -c $((64 * 1024 * 1024)) /dev/urandom >"$work/www/$file"

source scripts/wine-env.sh
server_pids=()
wine_started=""
cleanup() {
  for pid in "${server_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  if [ -n "$wine_started" ]; then
    wine_stop
  fi
  rm -rf "$work/www" "$work/x86/out" "$work/x64/out"
}
trap cleanup EXIT

# start_server NAME [--rate BYTES_PER_SECOND]: serves $work/www on 127.0.0.1 and sets $server to
# its address.
start_server() {
  local name=$1
  shift
  python3 scripts/serve_package.py --root "$work/www" --port-file "$work/$name.port" "$@" \
    2>"$work/$name.log" &
  server_pids+=($!)
  for _ in $(seq 100); do
    [ -s "$work/$name.port" ] && break
    kill -0 "${server_pids[-1]}" 2>/dev/null || { cat "$work/$name.log" >&2; exit 1; }
    sleep 0.1
  done
  [ -s "$work/$name.port" ] || { echo "bench: the $name server did not start" >&2; exit 1; }
  server="http://127.0.0.1:$(cat "$work/$name.port")"
}
# The large file as fast as the connection takes it; and, for the notification latency, files
# sent at a fixed rate, so that their transfers last a known time.
paced_rate=$((8 * 1024 * 1024))
start_server paced --rate "$paced_rate"
paced_server=$server
start_server fast

# wineserver_of PREFIX: the pid of the wineserver that serves PREFIX, if one runs.
wineserver_of() {
  local process
  for process in /proc/[0-9]*; do
    [[ "$(cat "$process/comm" 2>/dev/null)" == wineserver* ]] || continue
    if tr '\0' '\n' <"$process/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$1"; then
      echo "${process#/proc/}"
      return
    fi
  done
}
# A wineserver that already serves this prefix (a test run in the same tree) is used as it is and
# left running; its CPU time is then not reported, since others use it too.
wineserver_pid=""
running=$(wineserver_of "$prefix")
if [ -n "$running" ]; then
  echo "bench: wineserver $running already serves $prefix; using it" >&2
  wine_start "$prefix" 2>/dev/null || true
else
  wine_started=1
  wine_start "$prefix"
  wineserver_pid=$(wineserver_of "$WINEPREFIX")
fi
archs=(x64)
x86_line=""
if wine_runs_x86 "$builds/win32/bin/arch_probe.exe"; then
  archs=(x86 x64)
else
  x86_line="x86: NOT RUN - this machine cannot execute 32-bit code (32-bit Wine failed to run an i686 program); only the x64 figures follow"
  echo "$x86_line"
fi

windows_path() { printf 'Z:%s' "${1//\//\\}"; }
args=(--server "$server" --paced-server "$paced_server" --paced-rate "$paced_rate"
  --www "$(windows_path "$work/www")" --file "$file"
  --repeat "$repeat" --rounds "$rounds" --notify-rounds "$notify_rounds"
  --cpu-seconds "$cpu_seconds" --curl --rows)
if [ -n "$wineserver_pid" ]; then
  args+=(--wineserver-pid "$wineserver_pid")
fi

# run_bench ARCH LOADER BUILD: runs BUILD's bench_drvdown under LOADER with its own --work folder
# and keeps its rows in $work/rows-ARCH.tsv.
run_bench() {
  local arch=$1 loader=$2 exe=$3/bin/bench_drvdown.exe
  local rows=$work/rows-$arch.tsv
  echo "== $arch: bench_drvdown ${args[*]}"
  : >"$rows"
  coproc BENCH { exec "$loader" "$exe" "${args[@]}" --work "$(windows_path "$work/$arch")"; }
  local bench_pid=$BENCH_PID
  # Copies of the pipes: bash drops BENCH once the program has ended, before its output is read.
  local from_bench to_bench line
  exec {from_bench}<&"${BENCH[0]}" {to_bench}>&"${BENCH[1]}"
  while IFS= read -r line <&"$from_bench"; do
    line=${line%$'\r'}
    if [ "$line" = "@curl" ]; then
      started=$EPOCHREALTIME
      curl -sS -o /dev/null "$server/$file"
      ended=$EPOCHREALTIME
      echo $((${ended/./} - ${started/./})) >&"$to_bench"
    else
      printf '%s\n' "$line" >>"$rows"
    fi
  done
  local status=0
  wait "$bench_pid" || status=$?
  exec {from_bench}<&- {to_bench}>&-
  if [ "$status" -ne 0 ]; then
    echo "bench: bench_drvdown ($arch) failed with exit code $status" >&2
    exit "$status"
  fi
}
tables=()
for arch in "${archs[@]}"; do
  if [ "$arch" = x86 ]; then
    run_bench x86 "${DRVDOWN_WINE32:-/usr/lib/wine/wine}" "$builds/win32"
  else
    run_bench x64 /usr/lib/wine/wine64 "$builds/win64"
  fi
  tables+=("$arch=$work/rows-$arch.tsv")
done

table=$work/table.txt
echo
python3 bench/side_by_side.py "${tables[@]}" | tee "$table"
{
  [ -z "$x86_line" ] || echo "$x86_line"
  echo
  echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(/usr/lib/wine/wine64 --version)${x86_line:+ (x64 only)}"
  echo "date:    $(date -u '+%Y-%m-%d %H:%M UTC')"
} | tee -a "$table"
echo "table:   $table"
scripts/verify-cost.sh # what the engine check adds to Init, x86 and x64
