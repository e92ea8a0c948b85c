#!/usr/bin/env bash
# Checks the shipped x86 library as a host built with Microsoft's tools meets it, from the binary
# alone (the DLL may be stripped) and the link map of the same link:
#   check_x86_dll.sh OBJDUMP DLL MAP
# OBJDUMP is i686-w64-mingw32-objdump. Checks: a PE32 image for i386; exactly the exports
# CreateInstance, DownLoadFile and ExtractZipFile, undecorated; imports from Windows system DLLs
# only; no C runtime (no import of msvcrt.dll, no TLS directory whose callbacks would run before
# the entry point); and every stdcall boundary
# function removes its own arguments: the `ret` of each export and of each IMobileDrvDown
# operation, found through the vtable of CDrvDownloader, carries the size of its arguments.
# Prints one line per check; exits 1 when any failed, 2 on bad usage or unreadable input.
set -uo pipefail

if [ $# -ne 3 ]; then
    echo "usage: check_x86_dll.sh OBJDUMP DLL MAP" >&2
    exit 2
fi
objdump=$1
dll=$2
map=$3
for file in "$dll" "$map"; do
    if [ ! -r "$file" ]; then
        echo "cannot read $file" >&2
        exit 2
    fi
done

failures=0
report() { # report OK|FAILED TEXT
    echo "$1: $2"
    [ "$1" = ok ] || failures=$((failures + 1))
}

headers=$("$objdump" -p "$dll") || exit 2

# --- the image ---
if "$objdump" -f "$dll" | grep -q "file format pei-i386" &&
    grep -Eq "^Magic[[:space:]]+010b" <<<"$headers"; then
    report ok "PE32 image for i386"
else
    report FAILED "not a PE32 image for i386"
fi

# --- exports: exactly three, undecorated ---
# "[Ordinal/Name Pointer] Table" lists "[index] name", the index into the export address table.
names=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$headers" |
    sed -n 's/^[[:space:]]*\[ *\([0-9]*\)\] \(.*\)$/\1 \2/p')
actual=$(cut -d' ' -f2 <<<"$names" | sort | tr '\n' ' ')
if [ "$actual" = "CreateInstance DownLoadFile ExtractZipFile " ]; then
    report ok "exports exactly CreateInstance, DownLoadFile, ExtractZipFile"
else
    report FAILED "exports are: $actual"
fi

# --- imports: Windows system DLLs only ---
allowed=" kernel32.dll msvcrt.dll shlwapi.dll user32.dll advapi32.dll ntdll.dll bcrypt.dll crypt32.dll "
imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr 'A-Z' 'a-z' | sort -u)
foreign=""
for name in $imports; do
    [[ "$allowed" == *" $name "* ]] || foreign+=" $name"
done
if [ -n "$imports" ] && [ -z "$foreign" ]; then
    report ok "imports only system DLLs: $(tr '\n' ' ' <<<"$imports")"
else
    report FAILED "imports DLLs that are not part of Windows:${foreign:- (no imports found)}"
fi

# --- no C runtime: the library's own code alone runs, from its entry point on ---
if grep -qx "msvcrt.dll" <<<"$imports"; then
    report FAILED "runtime: imports the C runtime msvcrt.dll"
else
    report ok "runtime: no import of msvcrt.dll"
fi
tls=$(sed -n 's/^Entry 9 [0-9a-f]* \([0-9a-f]*\) Thread Storage Directory.*/\1/p' <<<"$headers")
if [ "$tls" = "00000000" ]; then
    report ok "runtime: no TLS directory, so no callback runs before the entry point"
else
    report FAILED "runtime: a TLS directory (${tls:-not found}), whose callbacks run before the entry point"
fi

# --- the link map must belong to this very image ---
# lld's map lists "RVA SIZE ALIGN NAME" for output sections, input sections and symbols; symbols
# are demangled, except stdcall C++ functions, which keep their decorated names
# ("__ZN14CDrvDownloader4InitEP22IMobileDrvDownCallback@8").
image_base=$(sed -n 's/^ImageBase[[:space:]]*\([0-9a-fA-F]*\)$/\1/p' <<<"$headers" | tr 'A-F' 'a-f')
text_image=$("$objdump" -h "$dll" | awk '$2 == ".text" { print $3, $4 }')
text_map=$(awk '$4 == ".text" && NF == 4 { print $2, $1 }' "$map" | head -n 1)
if [ -z "$image_base" ] || [ -z "$text_map" ] ||
    [ "${text_image% *}" != "${text_map% *}" ] ||
    [ "$((16#${text_image#* }))" != "$((16#$image_base + 16#${text_map#* }))" ]; then
    report FAILED "the map (.text: $text_map) is not from the link of this DLL (.text: $text_image)"
    exit 1
fi

# Every address the map names (symbols, input sections), as 8 hex digits of the image's virtual
# address, then the name: a function ends at the next address.
table=$(while read -r rva size align name; do
    [[ "$rva" =~ ^[0-9a-f]{8}$ && "$size" =~ ^[0-9a-f]{8}$ ]] || continue
    printf '%08x %s\n' "$((16#$image_base + 16#$rva))" "$name"
done <"$map")
addresses=$(cut -d' ' -f1 <<<"$table" | sort -u)
symbol_at() { # symbol_at ADDR: the names the map gives that address, one a line
    sed -n "s/^$1 \(.*\)$/\1/p" <<<"$table"
}
next_address() { # next_address ADDR: the first address of the map above ADDR
    awk -v a="$1" '("x" $0) > ("x" a) { print; exit }' <<<"$addresses"
}
# ret_immediates ADDR: the operand of every ret between ADDR and the next address of the map, in
# bytes ("0" for a plain ret), one a line. Cold blocks placed elsewhere are not looked at.
ret_immediates() {
    local end
    end=$(next_address "$1")
    [ -n "$end" ] || return 0
    "$objdump" -d --no-show-raw-insn --start-address="0x$1" --stop-address="0x$end" "$dll" |
        sed -n 's/^ *[0-9a-f]*:[[:space:]]*\(repz\? \)\?ret[lw]\?[[:space:]]*\(\$0x\([0-9a-f]*\)\)\?[[:space:]]*$/x\3/p' |
        while read -r imm; do
            imm=${imm#x}
            echo "$((16#${imm:-0}))"
        done
}
check_pops() { # check_pops LABEL ADDR EXPECTED
    local rets
    rets=$(ret_immediates "$2" | sort -u | tr '\n' ' ')
    if [ "$rets" = "$3 " ]; then
        report ok "$1 at 0x$2 removes $3 bytes of arguments (ret $3)"
    else
        report FAILED "$1 at 0x$2: ret operands [${rets% }], expected only $3"
    fi
}

# --- the exports: stdcall, two pointer arguments each ---
for export in CreateInstance DownLoadFile ExtractZipFile; do
    index=$(awk -v n="$export" '$2 == n { print $1 }' <<<"$names")
    rva=$(sed -n "s/^[[:space:]]*\[ *${index:-x}\] +base\[ *[0-9]*\] \([0-9a-f]*\) Export RVA/\1/p" \
        <<<"$headers")
    if [ -z "$rva" ]; then
        report FAILED "$export: no entry in the export address table"
        continue
    fi
    address=$(printf '%08x' "$((16#$image_base + 16#$rva))")
    # The map names the function by its symbol: decorated when stdcall (the .def exports it
    # undecorated), plain when cdecl, with the leading underscore of x86 C symbols.
    if ! symbol_at "$address" | grep -Eqx "_?$export(@[0-9]+)?"; then
        report FAILED "$export: the map names 0x$address $(symbol_at "$address" | head -n 1)"
        continue
    fi
    check_pops "export $export" "$address" 8
done

# --- the interface operations, in vtable slot order ---
# The table of CDrvDownloader starts with the offset to the top and the type information; the
# slots follow, in the order IMobileDrvDown declares its operations.
vtable=$(sed -n 's/^\([0-9a-f]*\) vtable for CDrvDownloader$/\1/p' <<<"$table" | head -n 1)
if [ -z "$vtable" ]; then
    report FAILED "the map names no vtable for CDrvDownloader"
    exit 1
fi
slots_start=$(printf '%x' "$((16#$vtable + 8))")
slots_end=$(printf '%x' "$((16#$vtable + 8 + 6 * 4))")
# "-s" prints "addr word word word word  ascii"; the words are the bytes in file order.
slots=$("$objdump" -s -j .rdata --start-address="0x$slots_start" --stop-address="0x$slots_end" \
    "$dll" | sed -n 's/^ [0-9a-f]\{8\} \(\([0-9a-f]\{2,8\} \)\{1,4\}\).*/\1/p' | tr -d ' \n' |
    sed 's/\(..\)\(..\)\(..\)\(..\)/\4\3\2\1 /g')
read -r -a slot_addresses <<<"$slots"
if [ "${#slot_addresses[@]}" -ne 6 ]; then
    report FAILED "could not read the six slots of the vtable at 0x$vtable"
    exit 1
fi
operations=(Release Init Uninit AddTask CancelTask DownloadNow)
argument_bytes=(4 8 4 8 8 12) # `this` and the arguments, 4 bytes each
for slot in "${!operations[@]}"; do
    operation=${operations[$slot]}
    address=${slot_addresses[$slot]}
    if ! symbol_at "$address" | grep -Eq "^(CDrvDownloader::$operation\(|__ZN14CDrvDownloader[0-9]+${operation}E)"; then
        report FAILED "slot $slot should be $operation but is $(symbol_at "$address" | head -n 1)"
        continue
    fi
    check_pops "slot $slot $operation" "$address" "${argument_bytes[$slot]}"
done

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
