#!/usr/bin/env bash
# Checks that the PDB shipped beside an image is the one a Microsoft debugger loads for it and that
# its symbols are real:
#   check_symbols.sh LLVM_BIN_SUFFIX IMAGE MAP FUNCTION BUILD_PATH...
# LLVM_BIN_SUFFIX: the suffix of the LLVM tools (-19: llvm-pdbutil-19 ...). MAP: the image's
# link map; FUNCTION: an internal function of the image (not an export), as the map names it;
# BUILD_PATH: folders of the build that must appear in neither file. Checks: llvm-pdbutil reads
# the PDB; the image's CodeView record names the PDB by file name only, with the PDB's GUID and
# age; neither file holds a build path; llvm-symbolizer turns the function's address into its name
# through the PDB. Prints one line per check; exits 1 when any failed.
set -uo pipefail

if [ $# -lt 5 ]; then
    echo "usage: check_symbols.sh LLVM_BIN_SUFFIX IMAGE MAP FUNCTION BUILD_PATH..." >&2
    exit 2
fi
suffix=$1
image=$(realpath "$2")
map=$3
function=$4
shift 4
pdb=${image%.*}.pdb

failures=0
report() { # report ok|FAILED TEXT
    echo "$1: $2"
    [ "$1" = ok ] || failures=$((failures + 1))
}

summary=$("llvm-pdbutil$suffix" dump --summary "$pdb" 2>&1)
pdb_guid=$(sed -n 's/^ *GUID: \(.*\)$/\1/p' <<<"$summary")
pdb_age=$(sed -n 's/^ *Age: \(.*\)$/\1/p' <<<"$summary")
if [ -n "$pdb_guid" ] && grep -q "Has Debug Info: true" <<<"$summary"; then
    report ok "llvm-pdbutil reads $(basename "$pdb"): GUID $pdb_guid, age $pdb_age, with debug info"
else
    report FAILED "llvm-pdbutil cannot read $pdb: $summary"
fi

record=$("llvm-readobj$suffix" --coff-debug-directory "$image")
guid=$(sed -n 's/^ *PDBGUID: \(.*\)$/\1/p' <<<"$record")
age=$(sed -n 's/^ *PDBAge: \(.*\)$/\1/p' <<<"$record")
name=$(sed -n 's/^ *PDBFileName: \(.*\)$/\1/p' <<<"$record")
if [ "$name" = "$(basename "$pdb")" ] && [ "$guid" = "$pdb_guid" ] && [ "$age" = "$pdb_age" ]; then
    report ok "the CodeView record names $name, GUID $guid, age $age: the PDB's"
else
    report FAILED "the CodeView record names '$name' GUID $guid age $age; the PDB is" \
        "$(basename "$pdb") GUID $pdb_guid age $pdb_age"
fi

for path in "$@"; do
    for file in "$image" "$pdb"; do
        if grep -qaF "$path" "$file"; then
            report FAILED "$(basename "$file") holds the build path $path"
        else
            report ok "$(basename "$file") holds no build path $path"
        fi
    done
done

# The function's address from the map ("RVA SIZE ALIGN NAME"), then the symbolizer, run from
# another folder: it finds the PDB beside the image, as a debugger does.
base=$("llvm-readobj$suffix" --file-headers "$image" | sed -n 's/^ *ImageBase: \(0x[0-9A-Fa-f]*\)$/\1/p')
rva=$(awk -v f="$function" '{ name = $0; sub(/^[0-9a-f]+ +[0-9a-f]+ +[0-9]+ +/, "", name) }
    name == f { print $1; exit }' "$map")
if [ -z "$rva" ] || [ -z "$base" ]; then
    report FAILED "the map names no $function"
else
    address=$(printf '0x%x' $((base + 16#$rva)))
    named=$(cd / && "llvm-symbolizer$suffix" --obj="$image" "$address" | head -n 2 | tr '\n' ' ')
    if [[ "$named" == "$function "* ]]; then
        report ok "llvm-symbolizer names $address from the PDB: $named"
    else
        report FAILED "llvm-symbolizer names $address '$named', expected $function"
    fi
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
