# Sourced by the scripts: one Wine prefix for both architectures and one persistent wineserver.
# Usage: wine_start PREFIX   starts the server, which wine_stop stops, as the script's exit does
#                            (scripts/at-exit.sh)
#        wine_runs_x86 PROBE_EXE  (after wine_start): true when this machine executes 32-bit code
# Wine programs run without address-space randomization (setarch -R): see scripts/wine-run.sh.
source "$(dirname "${BASH_SOURCE[0]}")/at-exit.sh"

wine_start() {
  at_exit wine_stop
  export WINEPREFIX="$1"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "creating the Wine prefix in $WINEPREFIX"
    mkdir -p "$(dirname "$WINEPREFIX")"
    setarch -R /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1 || true
    /usr/lib/wine/wineserver64 -w
  fi
  # A server still serving this prefix (an earlier run that was cut short) is simply reused. The
  # server and Wine's background services run in a session of their own, so that nothing which
  # ends the caller's process group takes them down while others still use them.
  setsid /usr/lib/wine/wineserver64 -p 2>/dev/null || true
  # Start Wine's background services now, detached from any output pipe: a test whose process
  # started them would hand them its stdout, and whoever reads that pipe would wait for ever.
  setsid setarch -R /usr/lib/wine/wine64 wineboot >/dev/null 2>&1 </dev/null || true
}

wine_stop() {
  /usr/lib/wine/wineserver64 -k 2>/dev/null || true
}

# The probe is an i686 program that prints its pointer width; only "32" counts as running.
# DRVDOWN_WINE32 names another 32-bit loader (a missing one shows what a machine without 32-bit
# support prints).
wine_runs_x86() {
  local loader=${DRVDOWN_WINE32:-/usr/lib/wine/wine}
  [ -x "$loader" ] || return 1
  local answer
  answer=$(timeout 60 setarch -R "$loader" "$1" 2>/dev/null </dev/null | tr -d '\r') || return 1
  [ "$answer" = 32 ]
}

# The line the scripts print, at the start and at the end, when x86 programs cannot run here.
X86_NOT_RUN_LINE="x86: NOT RUN - this machine cannot execute 32-bit code (32-bit Wine failed to run an i686 program); only the x86 binary checks ran"
