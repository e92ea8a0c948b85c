#!/bin/sh
# Runs a Windows program under Wine in the given prefix with the given loader
# (/usr/lib/wine/wine for x86 programs, /usr/lib/wine/wine64 for x64 ones):
#   wine-run.sh PREFIX LOADER PROGRAM [ARGS...]
WINEPREFIX=$1
loader=$2
shift 2
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="
exec "$loader" "$@"
