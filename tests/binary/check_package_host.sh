#!/usr/bin/env bash
# Uses the release package the way a host team does:
#   check_package_host.sh CMAKE CPACK CONFIG WORKDIR VERSION SOURCE_DIR MAKE_PROGRAM LLVM_DLLTOOL
#                         OBJDUMP ARCH_PROBE WINEPREFIX WINE_LOADER
# Makes the package with CPack (from the x86 tree's configuration, as scripts/package.sh does)
# and unpacks it in WORKDIR; then builds the guide's example host from the package's docs/ with
# CMake through find_package(MobileDrvDown CONFIG), once for x86 in Microsoft's ABI (clang and
# lld-link) and once with MinGW-w64, each into an application folder laid out as the package
# describes (the program in bin/ beside MobileDrvDown.dll, Tolvek.dll in the parent folder). Under
# 32-bit Wine both hosts and the package's own x86 drvget download a file from a loopback HTTP
# server; each download must equal the served file.
# Prints one line per check. Exit code: 0 when every check passed, 1 when one failed, 77 when the
# builds passed but this machine cannot execute 32-bit code, so nothing ran (ctest: skipped).
set -uo pipefail

if [ $# -ne 12 ]; then
    echo "usage: check_package_host.sh CMAKE CPACK CONFIG WORKDIR VERSION SOURCE_DIR" \
        "MAKE_PROGRAM LLVM_DLLTOOL OBJDUMP ARCH_PROBE WINEPREFIX WINE_LOADER" >&2
    exit 2
fi
cmake=$1
cpack=$2
config=$3
work=$4
version=$5
source_dir=$6
make_program=$7
llvm_dlltool=$8
objdump=$9
arch_probe=${10}
wineprefix=${11}
loader=${12}
here=$(cd "$(dirname "$0")" && pwd)

failures=0
report() { # report ok|FAILED TEXT...
    local result=$1
    shift
    echo "$result: $*"
    [ "$result" = ok ] || failures=$((failures + 1))
}
finish() {
    if [ "$failures" -ne 0 ]; then
        echo "$failures check(s) failed"
        exit 1
    fi
    echo "all checks passed"
    exit 0
}
# show_log FILE: the end of a step's log, when the step failed.
show_log() { tail -n 40 "$1" | sed 's/^/  | /'; }

rm -rf "$work"
mkdir -p "$work"

# --- the package, unpacked where nothing else of the build lies ---
if ! "$cpack" --config "$config" -B "$work/cpack" >"$work/cpack.log" 2>&1; then
    show_log "$work/cpack.log"
    report FAILED "cpack"
    finish
fi
zip="$work/cpack/MobileDrvDown-$version.zip"
package="$work/unpacked"
if [ ! -f "$zip" ] || ! python3 -m zipfile -e "$zip" "$package"; then
    report FAILED "cpack made a ZIP that unpacks"
    finish
fi
# Nothing may lead back to the files CPack staged: the package must work from where it lies.
rm -rf "$work/cpack"
report ok "unpacked $(basename "$zip") in $package"

# --- a host project: the guide's example host from the package, and a CMakeLists.txt ---
src="$work/host-src"
mkdir -p "$src"
cp "$here/package_host/CMakeLists.txt" "$package/docs/example_host.cpp" "$src/"

# The import libraries that stand in for the Windows SDK's in the Microsoft-ABI build.
syslibs="$work/system-libs"
mkdir -p "$syslibs"
for def in kernel32 msvcrt; do
    "$llvm_dlltool" -m i386 -k -d "$source_dir/hosts/msvc/$def.def" -l "$syslibs/$def.lib" ||
        report FAILED "llvm-dlltool $def.def"
done

# build_host NAME PREFIX_PATH CMAKE_ARGS...: configures and builds the host project in
# $work/NAME; the configure log is $work/NAME.configure.log.
build_host() {
    local name=$1 prefix_path=$2
    shift 2
    "$cmake" -G Ninja -S "$src" -B "$work/$name" "-DCMAKE_MAKE_PROGRAM=$make_program" \
        -DCMAKE_BUILD_TYPE=Release "-DCMAKE_PREFIX_PATH=$prefix_path" "$@" \
        >"$work/$name.configure.log" 2>&1 || return 1
    "$cmake" --build "$work/$name" >"$work/$name.build.log" 2>&1
}

# check_host NAME IMPORT_LIBRARY DESCRIPTION: the build's find_package took the x86 folder and the
# expected import library, and its application folder is complete.
check_host() {
    local name=$1 implib=$2 what=$3
    local found="MobileDrvDown $version from $package/x86/lib/cmake/MobileDrvDown"
    found+=", import library $package/x86/lib/$implib"
    local app="$work/$name/app"
    if ! grep -qF -- "-- $found" "$work/$name.configure.log"; then
        grep -F "MobileDrvDown" "$work/$name.configure.log" | sed 's/^/  | /'
        report FAILED "$what: find_package took the x86 folder of the unpacked package and $implib"
    elif [ ! -f "$app/bin/example_host.exe" ] ||
        ! cmp -s "$app/bin/MobileDrvDown.dll" "$package/x86/bin/MobileDrvDown.dll" ||
        ! cmp -s "$app/Tolvek.dll" "$package/x86/Tolvek.dll"; then
        find "$app" | sed 's/^/  | /'
        report FAILED "$what: the application folder holds bin/example_host.exe," \
            "the package's bin/MobileDrvDown.dll and its Tolvek.dll"
    else
        report ok "$what: built through find_package with x86/lib/$implib into app/bin/," \
            "Tolvek.dll in app/"
    fi
    # The x86 compilers reference the decorated names; the program must import the exported one.
    local imported
    imported=$("$objdump" -p "$app/bin/example_host.exe" 2>/dev/null |
        sed -n '/DLL Name: MobileDrvDown.dll/,/^$/p' |
        sed -n 's/^[[:space:]]*[0-9a-f]\+[[:space:]]\+[0-9]\+[[:space:]]\+\(\S\+\)$/\1/p' |
        tr '\n' ' ')
    if [ "$imported" = "CreateInstance " ]; then
        report ok "$what: the program imports CreateInstance from MobileDrvDown.dll, undecorated"
    else
        report FAILED "$what: the program imports [${imported% }] from MobileDrvDown.dll"
    fi
}

# Microsoft's ABI: both architectures' folders on the prefix path, the x64 one first; its version
# file must turn the 32-bit host away.
if build_host msvc "$package/x64;$package/x86" \
    --toolchain "$here/package_host/clang-msvc-i686.cmake" \
    "-DMSVC_HOST_SYSTEM_LIBRARIES=$syslibs/kernel32.lib;$syslibs/msvcrt.lib"; then
    check_host msvc MobileDrvDown.lib "x86 Microsoft ABI (clang, lld-link)"
else
    show_log "$work/msvc.configure.log"
    [ -f "$work/msvc.build.log" ] && show_log "$work/msvc.build.log"
    report FAILED "x86 Microsoft ABI (clang, lld-link): the host project configures and builds"
fi

if build_host mingw "$package/x86" --toolchain "$source_dir/cmake/mingw-i686.cmake"; then
    check_host mingw libMobileDrvDown.dll.a "x86 MinGW-w64"
else
    show_log "$work/mingw.configure.log"
    [ -f "$work/mingw.build.log" ] && show_log "$work/mingw.build.log"
    report FAILED "x86 MinGW-w64: the host project configures and builds"
fi

# The x64 folder alone: find_package must refuse it to an x86 host.
if build_host refused "$package/x64" --toolchain "$source_dir/cmake/mingw-i686.cmake"; then
    report FAILED "find_package accepted the x64 package for an x86 host"
elif grep -qF "x64/lib/cmake/MobileDrvDown/MobileDrvDownConfig.cmake, version: $version (64bit)" \
    "$work/refused.configure.log"; then
    report ok "find_package refuses the x64 package to an x86 host (version $version (64bit))"
else
    show_log "$work/refused.configure.log"
    report FAILED "find_package refuses the x64 package to an x86 host for its pointer width"
fi

# --- running the x86 programs under 32-bit Wine ---
source "$source_dir/scripts/wine-env.sh"
export WINEPREFIX=$wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if ! wine_runs_x86 "$arch_probe"; then
    echo "$X86_NOT_RUN_LINE"
    echo "NOT RUN: the example hosts and drvget from the package (x86)"
    if [ "$failures" -ne 0 ]; then
        finish
    fi
    exit 77
fi

# A file of random bytes, served over loopback as fast as the connection takes it.
mkdir -p "$work/www" "$work/downloads"
served="$work/www/driver-package.zip"
head -c $((3 * 1024 * 1024)) /dev/urandom >"$served"
served_sha=$(sha256sum "$served" | cut -d' ' -f1)
source "$source_dir/scripts/local-server.sh"
trap serve_stop_all EXIT
if ! serve_start "$work/www" "$work/port" "$work/server.log"; then
    report FAILED "the loopback HTTP server starts"
    finish
fi
url="$served_url/driver-package.zip"
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# download WHAT PROGRAM NAME: runs PROGRAM URL TARGET under 32-bit Wine and compares the result.
download() {
    local what=$1 program=$2 name=$3
    local target="$work/downloads/$name.zip" log="$work/$name.run.log" status=0
    if [ ! -f "$program" ]; then
        report FAILED "$what: $program exists"
        return
    fi
    timeout 120 setarch -R "$loader" "$program" "$url" "$(windows_path "$target")" >"$log" 2>&1 </dev/null ||
        status=$?
    local got=""
    [ -f "$target" ] && got=$(sha256sum "$target" | cut -d' ' -f1)
    if [ "$status" -eq 0 ] && [ "$got" = "$served_sha" ]; then
        report ok "$what: downloaded $(stat -c %s "$target") bytes under 32-bit Wine," \
            "SHA-256 equal to the served file"
    else
        show_log "$log"
        report FAILED "$what: exit code $status, SHA-256 ${got:-(no file)}, served $served_sha"
    fi
}

download "example host, x86 Microsoft ABI" "$work/msvc/app/bin/example_host.exe" msvc
download "example host, x86 MinGW-w64" "$work/mingw/app/bin/example_host.exe" mingw
download "the package's x86 drvget" "$package/x86/bin/drvget.exe" drvget

finish
