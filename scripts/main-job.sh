#!/usr/bin/env bash
# The main job: builds everything and reports what the shipped library exports.
# (Downloading a driver package end to end comes with the engine and the host program.)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
for preset in win32 win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

dll=build/win32/bin/MobileDrvDown.dll
echo
echo "== $dll"
i686-w64-mingw32-objdump -p "$dll" | grep -E "file format|DLL Name:"
echo "exports:"
i686-w64-mingw32-objdump -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | tail -n +2
