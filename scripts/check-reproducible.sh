#!/usr/bin/env bash
# Builds one commit twice, in two folders of different names and depths, for both architectures
# (presets win32 and win64, without the test suite), and compares the SHA-256 digests of what
# ships: MobileDrvDown.dll and its PDB, drvget.exe and its PDB, and the stand-in Tolvek.dll (whose
# digest the library holds). Prints one line per file and exits non-zero when any differ.
#   scripts/check-reproducible.sh [COMMIT]     (default HEAD; uncommitted changes are not built)
# The two source trees and builds lie under build/reproducible/.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
commit=$(git rev-parse --verify "${1:-HEAD}^{commit}")

scripts/install-deps.sh

work=$PWD/build/reproducible
folders=("$work/one/src" "$work/second-build/checkout/MobileDrvDown")
rm -rf "$work"
for folder in "${folders[@]}"; do
    mkdir -p "$folder"
    git archive "$commit" | tar -x -C "$folder"
    for preset in win32 win64; do
        echo "== building $commit ($preset) in $folder"
        (cd "$folder" && cmake --preset "$preset" -DDRVDOWN_BUILD_TESTS=OFF >/dev/null &&
            cmake --build --preset "$preset" -j2 --target MobileDrvDown drvget Tolvek >/dev/null)
    done
done

different=0
echo
echo "== SHA-256 of the shipped files, built in ${folders[0]} and ${folders[1]}"
for preset in win32 win64; do
    for file in MobileDrvDown.dll MobileDrvDown.pdb drvget.exe drvget.pdb Tolvek.dll; do
        one=$(sha256sum "${folders[0]}/build/$preset/bin/$file" | cut -d' ' -f1)
        two=$(sha256sum "${folders[1]}/build/$preset/bin/$file" | cut -d' ' -f1)
        if [ "$one" = "$two" ]; then
            echo "same      $preset/$file  $one"
        else
            echo "DIFFERENT $preset/$file  $one  $two"
            different=$((different + 1))
        fi
    done
done
echo
if [ "$different" -ne 0 ]; then
    echo "NOT reproducible: $different file(s) differ ($((SECONDS - started)) s)"
    exit 1
fi
echo "reproducible: every shipped file is byte-identical in both builds ($((SECONDS - started)) s)"
