#!/usr/bin/env bash
# Checks what an x86 host built in Microsoft's ABI imports from the library:
#   check_x86_host_imports.sh OBJDUMP HOST_EXE
# The host was compiled against the public header and linked against MobileDrvDown.lib, so its
# references carry the stdcall decoration (_CreateInstance@8); what it imports must be the names
# the library exports, undecorated. This machine cannot start the x86 host, so a mismatch would
# otherwise show only on Windows, as a host that does not load.
set -uo pipefail

if [ $# -ne 2 ]; then
    echo "usage: check_x86_host_imports.sh OBJDUMP HOST_EXE" >&2
    exit 2
fi
headers=$("$1" -p "$2") || exit 2

# The member names listed under "DLL Name: MobileDrvDown.dll", up to the next DLL.
imported=$(sed -n '/DLL Name: MobileDrvDown.dll/,/^$/p' <<<"$headers" |
    sed -n 's/^[[:space:]]*[0-9a-f]\+[[:space:]]\+[0-9]\+[[:space:]]\+\(\S\+\)$/\1/p' |
    sort | tr '\n' ' ')
if [ "$imported" = "CreateInstance DownLoadFile ExtractZipFile " ]; then
    echo "ok: $2 imports CreateInstance, DownLoadFile and ExtractZipFile from MobileDrvDown.dll"
    exit 0
fi
echo "FAILED: $2 imports from MobileDrvDown.dll: [${imported% }]"
exit 1
