#!/usr/bin/env bash
# Runs the packaging step of scripts/package.sh (CPack, from the x86 tree's configuration, which
# gathers the x86 and the x64 tree) into WORKDIR, signing with the test PKI, and checks the ZIP:
#   check_package.sh --cpack CPACK --config CONFIG --work WORKDIR --version VERSION
#                    --x86-tree DIR --x64-tree DIR --with-drvget 0|1 --objdump OBJDUMP
#                    --osslsigncode OSSLSIGNCODE --signing SIGNING_DIR
# --with-drvget is 1 when the build has the drvget program; --signing holds the test PKI
# (tests/signing: maker A's code-signing certificate, key and CA). Checks: exactly the expected
# files; the x86 library passes check_x86_dll.sh as shipped and has no symbol table; the x64
# library is an x86-64 image; the library and drvget of both architectures carry a SHA-256
# Authenticode signature that verifies, and a copy with one byte changed does not; each stand-in
# engine is byte for byte the one the library's allowlist was made from; each .def carries the
# names of its architecture; SHA256SUMS holds the digests of the files as shipped (signed), and
# the ZIP's checksum file matches.
# Prints one line per check; exits 1 when any failed.
set -uo pipefail

here=$(dirname "$0")
source "$here/package_checks.sh"
read_options "usage: check_package.sh --cpack CPACK --config CONFIG --work WORKDIR \
--version VERSION --x86-tree DIR --x64-tree DIR --with-drvget 0|1 --objdump OBJDUMP \
--osslsigncode OSSLSIGNCODE --signing SIGNING_DIR" \
    cpack config work version x86-tree x64-tree with-drvget objdump osslsigncode signing -- "$@"
cpack=${option[cpack]}
config=${option[config]}
work=${option[work]}
version=${option[version]}
x86_tree=${option[x86-tree]}
x64_tree=${option[x64-tree]}
with_drvget=${option[with-drvget]}
objdump=${option[objdump]}
osslsigncode=${option[osslsigncode]}
signing=${option[signing]}

for tree in "$x86_tree" "$x64_tree"; do
    if [ ! -f "$tree/cmake_install.cmake" ] || [ ! -f "$tree/bin/MobileDrvDown.dll" ]; then
        echo "FAILED: $tree is not a built tree (set DRVDOWN_PACKAGE_TREES)"
        exit 1
    fi
done

DRVDOWN_SIGN_CERT="$signing/makerA-codesign-chain.pem" \
    DRVDOWN_SIGN_KEY="$signing/makerA-codesign.key" \
    make_package "$cpack" "$config" "$version" "$work"

# --- the file list ---
expected="README.md SHA256SUMS docs/host-integration.md docs/standin-engine.md"
expected+=" docs/example_host.cpp docs/example_host_clang.cpp docs/example_host_mingw.cpp"
expected+=" docs/engine_load_error_mingw.h"
signed=""
for arch in x86 x64; do
    expected+=" $arch/Tolvek.dll $arch/bin/MobileDrvDown.dll $arch/bin/MobileDrvDown.pdb"
    expected+=" $arch/include/MobileDrvDown.h $arch/include/MobileDrvDownHost.h"
    expected+=" $arch/lib/MobileDrvDown.def $arch/lib/MobileDrvDown.lib $arch/lib/libMobileDrvDown.dll.a"
    expected+=" $arch/lib/cmake/MobileDrvDown/MobileDrvDownConfig.cmake"
    expected+=" $arch/lib/cmake/MobileDrvDown/MobileDrvDownConfigVersion.cmake"
    signed+=" $arch/bin/MobileDrvDown.dll"
    if [ "$with_drvget" = 1 ]; then
        expected+=" $arch/bin/drvget.exe $arch/bin/drvget.pdb"
        signed+=" $arch/bin/drvget.exe"
    fi
done
expected=$(tr ' ' '\n' <<<"$expected" | sort)
actual=$(python3 -c 'import sys, zipfile; print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))' \
    "$zip" | grep -v '/$' | sort)
missing=$(comm -23 <(echo "$expected") <(echo "$actual") | tr '\n' ' ')
extra=$(comm -13 <(echo "$expected") <(echo "$actual") | tr '\n' ' ')
if [ -z "$missing" ] && [ -z "$extra" ]; then
    report ok "the package holds exactly: $(tr '\n' ' ' <<<"$expected")"
else
    report FAILED "missing from the package: [${missing% }]; not expected in it: [${extra% }]"
fi

# --- the x86 library as shipped ---
dll="$unpacked/x86/bin/MobileDrvDown.dll"
if [ -f "$dll" ]; then
    if "$objdump" -t "$dll" | grep -q "no symbols"; then
        report ok "the x86 library has no symbol table (its symbols are in the PDB)"
    else
        report FAILED "the x86 library has a symbol table"
    fi
    if "$here/check_x86_dll.sh" "$objdump" "$dll" "$x86_tree/MobileDrvDown.map" \
        >"$work/x86_dll.log"; then
        report ok "the shipped x86 library passes check_x86_dll.sh"
    else
        cat "$work/x86_dll.log"
        report FAILED "the shipped x86 library fails check_x86_dll.sh"
    fi
fi

# --- the x64 library: PE machine 0x8664 ---
machine() { # machine FILE: the PE header's machine field, 4 hex digits
    local offset
    offset=$(od -An -t u4 -j 60 -N 4 "$1" | tr -d ' ')
    od -An -t x2 -j $((offset + 4)) -N 2 "$1" | tr -d ' '
}
dll64="$unpacked/x64/bin/MobileDrvDown.dll"
if [ -f "$dll64" ] && [ "$(machine "$dll64")" = 8664 ]; then
    report ok "the x64 library is an x86-64 image"
else
    report FAILED "the x64 library is not an x86-64 image"
fi

# --- the stand-in engines: the library accepts engine files by their SHA-256 digest ---
for pair in "x86:$x86_tree" "x64:$x64_tree"; do
    arch=${pair%%:*}
    tree=${pair#*:}
    if cmp -s "$unpacked/$arch/Tolvek.dll" "$tree/bin/Tolvek.dll"; then
        report ok "$arch/Tolvek.dll is the engine the $arch library trusts"
    else
        report FAILED "$arch/Tolvek.dll differs from the built $tree/bin/Tolvek.dll"
    fi
done

# --- the signatures: SHA-256 Authenticode by the test maker, broken by a changed byte ---
for name in $signed; do
    file="$unpacked/$name"
    log="$work/verify-$(tr '/' '_' <<<"$name").log"
    if "$osslsigncode" verify -CAfile "$signing/makerA-ca.pem" -in "$file" >"$log" 2>&1 &&
        grep -q "Message digest algorithm *: SHA256" "$log" &&
        grep -q "Signature verification: ok" "$log"; then
        report ok "$name: SHA-256 Authenticode signature verifies"
    else
        sed 's/^/  | /' "$log"
        report FAILED "$name: no valid SHA-256 Authenticode signature"
    fi
    # One byte in the middle of the first section (the code) changed after signing.
    tampered="$work/tampered.bin"
    offset=$(python3 -c '
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
pe = struct.unpack_from("<I", data, 0x3C)[0]
table = pe + 24 + struct.unpack_from("<H", data, pe + 20)[0]
size, start = struct.unpack_from("<II", data, table + 16)
offset = start + size // 2
data[offset] ^= 0x01
open(sys.argv[2], "wb").write(data)
print(offset)' "$file" "$tampered")
    if "$osslsigncode" verify -CAfile "$signing/makerA-ca.pem" -in "$tampered" >/dev/null 2>&1; then
        report FAILED "$name: still verifies with byte $offset changed"
    else
        report ok "$name: with byte $offset changed, verification fails"
    fi
done

# --- the module-definition files ---
if grep -qx "    CreateInstance@8" "$unpacked/x86/lib/MobileDrvDown.def" 2>/dev/null &&
    grep -qx "    CreateInstance" "$unpacked/x64/lib/MobileDrvDown.def" 2>/dev/null; then
    report ok "x86/lib/MobileDrvDown.def is decorated, x64/lib/MobileDrvDown.def is not"
else
    report FAILED "the .def files do not carry their architecture's names"
fi

# --- SHA256SUMS: the files as shipped, so the signed binaries as signed ---
sums="$unpacked/SHA256SUMS"
listed=$(cut -d' ' -f3 "$sums" 2>/dev/null | sort)
if (cd "$unpacked" && sha256sum --quiet --strict -c SHA256SUMS) &&
    [ "$listed" = "$(grep -vx SHA256SUMS <<<"$actual")" ]; then
    report ok "SHA256SUMS lists every file of the package with the digest it has as shipped"
else
    report FAILED "SHA256SUMS does not match the package's files"
fi
for name in $signed; do
    tree=$x86_tree
    [ "${name%%/*}" = x64 ] && tree=$x64_tree
    if cmp -s "$unpacked/$name" "$tree/bin/$(basename "$name")"; then
        report FAILED "$name is shipped as built, not signed"
    fi
done

# --- the checksum CPack writes beside the package ---
if (cd "$(dirname "$zip")" && sha256sum --quiet -c "$(basename "$zip").sha256"); then
    report ok "$(basename "$zip").sha256 matches"
else
    report FAILED "$(basename "$zip").sha256 does not match"
fi

finish
