# Sourced by the scripts: a Wine prefix inside the x64 build tree and one persistent wineserver.
# Usage: wine_start BUILD_DIR; ...; wine_stop
wine_start() {
  export WINEPREFIX="$1/wineprefix"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "creating the Wine prefix in $WINEPREFIX"
    /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1 || true
    /usr/lib/wine/wineserver64 -w
  fi
  # A server still serving this prefix (an earlier run that was cut short) is simply reused.
  /usr/lib/wine/wineserver64 -p 2>/dev/null || true
  # Start Wine's background services now, detached from any output pipe: a test whose process
  # started them would hand them its stdout, and whoever reads that pipe would wait for ever.
  /usr/lib/wine/wine64 wineboot >/dev/null 2>&1 </dev/null || true
}

wine_stop() {
  /usr/lib/wine/wineserver64 -k 2>/dev/null || true
}
