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
# Without address-space randomization (setarch -R, inherited by every process the program starts).
# Debian's wine64 loader has no preloader to reserve Windows' fixed addresses, and the kernel
# places the C heap of that fixed-address executable anywhere in the 1 GiB above it: about one
# start in 700 the heap covers 0x7ffe0000, where every Windows process needs its shared user
# data page, and the program ends at once with exit code 1 and no output ("failed to map the
# shared user data: c0000018", an error that WINEDEBUG=-all hides).
exec setarch -R "$loader" "$@"
