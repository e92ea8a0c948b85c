#!/usr/bin/env bash
# A release that trusts its engine by the maker's signature only, shown end to end: builds the
# library with DRVDOWN_ENGINE_SHA256=none and the test maker A's key pinned
# (DRVDOWN_ENGINE_SIGNER_SPKI_SHA256), then runs drvget with it once per engine file: the stand-in
# signed by A, a second build signed by A, and each file the library must refuse (damaged after
# signing, signed by another maker, unsigned, A's key without code signing). The signed files and
# the test PKI come from the test build (build/win32, made at build time). Prints drvget's exit
# code for each; exits non-zero when one differs from what is expected.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
source scripts/wine-env.sh
source scripts/local-server.sh

preset=win32 loader=/usr/lib/wine/wine
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target signed_engines arch_probe >/dev/null
wine_start "$PWD/build/wineprefix"
if ! wine_runs_x86 build/win32/bin/arch_probe.exe; then
  echo "$X86_NOT_RUN_LINE"
  echo "signer demo: running the x64 build instead of the shipped x86 one"
  preset=win64 loader=/usr/lib/wine/wine64
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target signed_engines >/dev/null
fi
signed=build/$preset/bin/signing
pin=$(cat "$signed/makerA.spki.sha256")

# The release build: no engine digests, maker A's key pinned.
demo=build/signer-demo-$preset
cmake --preset "$preset" -B "$demo" -DDRVDOWN_BUILD_TESTS=OFF -DDRVDOWN_ENGINE_SHA256=none \
  "-DDRVDOWN_ENGINE_SIGNER_SPKI_SHA256=$pin" >/dev/null
cmake --build "$demo" --target MobileDrvDown drvget >/dev/null
echo "== $demo: DRVDOWN_ENGINE_SHA256=none, DRVDOWN_ENGINE_SIGNER_SPKI_SHA256=$pin"
echo "   (maker A: openssl x509 -in makerA-codesign.pem -pubkey -noout | openssl pkey -pubin -outform DER | sha256sum)"

work=$PWD/$demo/run
rm -rf "$work"
mkdir -p "$work/www"
head -c $((3 * 1024 * 1024)) /dev/urandom >"$work/www/driver-package.zip"
serve_start "$work/www" "$work/port" "$work/server.log" ||
  { echo "signer demo: the package server did not start" >&2; exit 1; }
url="$served_url/driver-package.zip"
served=$(sha256sum "$work/www/driver-package.zip" | cut -d' ' -f1)

# run_drvget NAME ENGINE EXPECTED: lays out <work>/NAME as an application folder with ENGINE as
# its Tolvek.dll, runs drvget there and compares its exit code (as Windows reports it) with
# EXPECTED.
failures=0
run_drvget() {
  local name=$1 engine=$2 expected=$3 app=$work/$1
  mkdir -p "$app/bin"
  cp "$demo/bin/MobileDrvDown.dll" "$demo/bin/drvget.exe" "$app/bin/"
  cp "$engine" "$app/Tolvek.dll"
  # cmd reports the full 32-bit exit code; Wine hands the shell only its low byte.
  local output code
  output=$(cd "$app" && setarch -R "$loader" cmd /c \
    "bin\\drvget.exe $url driver-package.zip & call echo drvget-exit %errorlevel%" 2>&1 |
    tr -d '\r') || true
  code=$(sed -n 's/^drvget-exit \(-\{0,1\}[0-9]*\)$/\1/p' <<<"$output")
  code=$(printf '0x%08x' $((${code:-999} & 0xffffffff)))
  local verdict=ok
  if [ "$code" != "$expected" ]; then
    verdict=UNEXPECTED
  elif [ "$expected" = 0x00000000 ] &&
    [ "$(sha256sum "$app/driver-package.zip" | cut -d' ' -f1)" != "$served" ]; then
    verdict="UNEXPECTED (the download differs from the served file)"
  fi
  [ "$verdict" = ok ] || failures=$((failures + 1))
  printf '%-28s exit %s, expected %s: %s\n' "$name" "$code" "$expected" "$verdict"
  grep -v '^drvget-exit' <<<"$output" | grep -E "damaged|succeeded|failed|Tolvek" | sed 's/^/    /' || true
}

echo
echo "== drvget ($preset) $url"
run_drvget signed-by-A "$signed/Tolvek_signedA.dll" 0x00000000
run_drvget second-build-signed-by-A "$signed/Tolvek_rebuilt_signedA.dll" 0x00000000
run_drvget code-byte-changed "$signed/Tolvek_signedA_tampered.dll" 0xe0dd0001
run_drvget signed-digest-patched "$signed/Tolvek_signedA_patched.dll" 0xe0dd0001
run_drvget signature-byte-flipped "$signed/Tolvek_signedA_badsig.dll" 0xe0dd0001
run_drvget bytes-appended "$signed/Tolvek_signedA_appended.dll" 0xe0dd0001
run_drvget signed-by-B "$signed/Tolvek_signedB.dll" 0xe0dd0001
run_drvget unsigned "build/$preset/bin/Tolvek.dll" 0xe0dd0001
run_drvget A-key-not-for-code-signing "$signed/Tolvek_signedA_nocodesign.dll" 0xe0dd0001

echo
if [ "$failures" -ne 0 ]; then
  echo "signer demo: $failures unexpected result(s)"
  exit 1
fi
echo "signer demo: the signed builds downloaded the package intact; every other file ended drvget with 0xe0dd0001"
