#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the main job need, when any is missing.
# The x86 programs run under Debian's 32-bit Wine (wine32:i386), so the i386 architecture is added.
#
# A package mirror in the middle of a sync must not stop a first set-up: `apt-get update` is tried
# a few times, and an install refused because the i386 and amd64 halves of a multiarch package
# would come from different suites (the security suite's index of one architecture lagging) is
# tried once more preferring the release's own suite, where both halves match.
set -euo pipefail

packages=(
  cmake ninja-build
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
  g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32
  wine64 wine32:i386
  googletest
  clang lld llvm
  clang-19 lld-19 llvm-19
  libclang-rt-19-dev
  python3 python3-pefile curl file
  openssl osslsigncode
  nginx
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
((${#missing[@]})) || exit 0

echo "installing: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages and not root: install them with apt-get" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386

log=$(mktemp)
trap 'rm -f "$log"' EXIT

# The first line apt printed that names an error, for a one-line report.
apt_error() { grep -m 1 -E '^(E|Err):' "$log" || true; }

updated=0
for attempt in 1 2 3 4; do
  if apt-get update -qq >"$log" 2>&1; then
    updated=1
    break
  fi
  echo "install-deps: apt-get update failed (attempt $attempt of 4): $(apt_error)"
  ((attempt == 4)) || sleep $((attempt * 10))
done
if ((!updated)); then
  # apt keeps the indexes that did arrive; the install below says whether they are enough.
  echo "install-deps: going on with the package indexes that did download"
fi

apt_install() { apt-get install -y -qq --no-install-recommends "$@" "${missing[@]}" >"$log" 2>&1; }

if apt_install; then
  echo "install-deps: installed from the configured suites"
  exit 0
fi

# Refused for unmatched multiarch halves ("held broken packages", "unmet dependencies"): the
# release's own suite holds both halves of every package at one version.
if grep -qE 'held broken packages|Unmet dependencies|unmet dependencies' "$log"; then
  codename=$( . /etc/os-release && echo "${VERSION_CODENAME:-}")
  if [ -z "$codename" ]; then
    echo "install-deps: install refused ($(apt_error)), and /etc/os-release names no codename" >&2
    exit 1
  fi
  if apt_install -o "APT::Default-Release=$codename"; then
    echo "install-deps: installed preferring the release's own suite ($codename): the configured suites' architectures did not match"
    exit 0
  fi
fi
echo "install-deps: apt-get install failed: $(apt_error)" >&2
tail -n 20 "$log" >&2
exit 1
