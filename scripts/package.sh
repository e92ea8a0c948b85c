#!/usr/bin/env bash
# Makes the release package build/package/MobileDrvDown-<version>.zip: builds both architectures
# in build/package/win32 and build/package/win64 (without the test suite), runs the binary checks
# of the x86 build, and gathers both with CPack.
# DRVDOWN_SIGN_CERT and DRVDOWN_SIGN_KEY (environment, optional): a code-signing certificate (PEM,
# with its chain) and its key; the library and drvget are then signed (Authenticode, SHA-256),
# with DRVDOWN_SIGN_TIMESTAMP_URL (optional) time-stamped. Without them they stay unsigned.
# DRVDOWN_ENGINE_SHA256 (environment, optional): the digest(s) of the real engine file, which the
# library will then trust instead of the stand-in engines; such a package leaves the stand-in out.
# `none` trusts no file by its digest, only the signers pinned by
# DRVDOWN_ENGINE_SIGNER_SPKI_SHA256 (environment, optional; see the README).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

out=$PWD/build/package
for preset in win32 win64; do
    cmake --preset "$preset" -B "$out/$preset" -DDRVDOWN_BUILD_TESTS=OFF \
        "-DDRVDOWN_PACKAGE_TREES=$out/win32;$out/win64" \
        "-DDRVDOWN_ENGINE_SHA256=${DRVDOWN_ENGINE_SHA256:-}" \
        "-DDRVDOWN_ENGINE_SIGNER_SPKI_SHA256=${DRVDOWN_ENGINE_SIGNER_SPKI_SHA256:-}" >/dev/null
    cmake --build "$out/$preset"
done

# The checks that read the shipped binaries (see tests/binary).
ctest --test-dir "$out/win32" -L binary --output-on-failure
ctest --test-dir "$out/win64" -L binary --output-on-failure

rm -f "$out"/MobileDrvDown-*.zip "$out"/MobileDrvDown-*.zip.sha256
cpack --config "$out/win32/CPackConfig.cmake" -B "$out"

package=$(ls "$out"/MobileDrvDown-*.zip)
echo
echo "== $package"
python3 -m zipfile -l "$package"
if [ -n "${DRVDOWN_SIGN_CERT:-}" ] && [ -n "${DRVDOWN_SIGN_KEY:-}" ]; then
    echo "signed: MobileDrvDown.dll and drvget.exe (x86, x64), with $DRVDOWN_SIGN_CERT"
else
    echo "UNSIGNED: set DRVDOWN_SIGN_CERT and DRVDOWN_SIGN_KEY to sign MobileDrvDown.dll and drvget.exe"
fi
if [ -z "${DRVDOWN_ENGINE_SHA256:-}" ]; then
    echo "note: this package's library trusts only the stand-in engine it carries"
fi
