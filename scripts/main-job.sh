#!/usr/bin/env bash
# The main job: builds everything, reports what the shipped library exports, then downloads a
# sample driver package end to end the way a host does: drvget (the host program) drives
# MobileDrvDown.dll, whose engine Tolvek.dll (the stand-in) fetches the package from a loopback
# HTTP server, then once more over HTTPS from nginx in front of it. Each result's SHA-256 must
# match the served file's. Exits non-zero on any failure.
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

# A sample driver package: a ZIP of a few megabytes of random files, the same every run.
work="$PWD/build/main-job"
rm -rf "$work"
mkdir -p "$work/www" "$work/downloads"
package="$work/www/driver-package.zip"
python3 - "$package" <<'EOF'
import random, sys, zipfile
rng = random.Random(20240601)
files = [("driver/phone_usb.sys", 2_500_000), ("driver/phone_usb.inf", 40_000),
         ("driver/phone_modem.sys", 1_800_000), ("firmware/update.bin", 1_700_000)]
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_STORED) as archive:
    for name, size in files:
        archive.writestr(name, rng.randbytes(size))
EOF

source scripts/wine-env.sh
source scripts/local-server.sh
wine_start "$PWD/build/wineprefix"

# The product as shipped is x86: its drvget, library and stand-in engine run under 32-bit Wine.
# Only a machine that cannot execute 32-bit code runs the x64 build instead, and says so.
if wine_runs_x86 build/win32/bin/arch_probe.exe; then
  arch=x86 tree=build/win32 loader=/usr/lib/wine/wine
else
  echo "$X86_NOT_RUN_LINE"
  echo "main job: running the x64 build instead of the shipped x86 one"
  arch=x64 tree=build/win64 loader=/usr/lib/wine/wine64
fi

# The application folder, laid out as a host installs it.
app="$PWD/build/app"
rm -rf "$app"
mkdir -p "$app/bin"
cp "$tree/bin/MobileDrvDown.dll" "$tree/bin/drvget.exe" "$app/bin/"
cp "$tree/bin/Tolvek.dll" "$app/"
echo
echo "== application folder ($arch)"
file "$app/bin/drvget.exe" "$app/bin/MobileDrvDown.dll" "$app/Tolvek.dll" | sed 's/, [0-9]* sections$//'

# Served at about 2 MiB/s, so that the download lasts long enough to show its progress.
serve_start "$work/www" "$work/port" "$work/server.log" --rate $((2 * 1024 * 1024)) ||
  { echo "main job: the package server did not start" >&2; exit 1; }

# The same package over HTTPS: nginx in front of that server with the build's test certificate
# for 127.0.0.1, whose CA trust_test_ca.exe makes trusted in this Wine prefix only.
tls="$tree/bin/tls"
tls_start "$served_url" "$work/tls" "$tls/good.pem" "$tls/server.key" ||
  { echo "main job: the HTTPS front did not start" >&2; exit 1; }
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
# Wine programs run without address-space randomization: see scripts/wine-run.sh.
setarch -R "$loader" "$tree/bin/trust_test_ca.exe" "$(windows_path "$PWD/$tls/ca.cer")" ||
  { echo "main job: the test CA could not be trusted in $WINEPREFIX" >&2; exit 1; }

served=$(sha256sum "$package" | cut -d' ' -f1)
# download URL RESULT: drvget fetches URL to RESULT, whose SHA-256 must be the served file's.
download() {
  local url=$1 result=$2 status=0
  echo
  echo "== drvget ($arch) $url"
  setarch -R "$loader" "$app/bin/drvget.exe" "$url" "$(windows_path "$result")" || status=$?
  if [ "$status" -ne 0 ]; then
    echo "main job: drvget failed with exit code $status" >&2
    exit 1
  fi
  local downloaded
  downloaded=$(sha256sum "$result" | cut -d' ' -f1)
  echo
  echo "served:     $served  $package"
  echo "downloaded: $downloaded  $result"
  if [ "$served" != "$downloaded" ]; then
    echo "main job: the downloaded package differs from the served one" >&2
    exit 1
  fi
}

download "$served_url/driver-package.zip" "$work/downloads/driver-package.zip"
download "$served_tls_url/driver-package.zip" "$work/downloads/driver-package-https.zip"
echo "main job: the $arch drvget downloaded the driver package intact over HTTP and HTTPS to" \
  "$work/downloads"
