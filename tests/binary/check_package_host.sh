#!/usr/bin/env bash
# Uses the release package the way a host team does:
#   check_package_host.sh --cmake CMAKE --cpack CPACK --config CONFIG --work WORKDIR
#       --version VERSION --source-dir DIR --make-program MAKE --llvm-dlltool LLVM_DLLTOOL
#       --arch-probe ARCH_PROBE --wineprefix PREFIX
#       --x86-objdump OBJDUMP --x86-loader LOADER --x86-unloadable DLL --x86-gxx GXX
#       --x64-objdump OBJDUMP --x64-loader LOADER --x64-unloadable DLL --x64-gxx GXX
# Makes the package with CPack (from the x86 tree's configuration, as scripts/package.sh does)
# and unpacks it in WORKDIR; checks that its README is the one for hosts and that the guide shows
# the MinGW handler of docs/engine_load_error_mingw.h as it is. Then, for x86 and x64, builds the
# guide's example hosts from the package's docs/ with CMake through find_package(MobileDrvDown
# CONFIG): in Microsoft's ABI (clang, lld-link) the one for Microsoft's compiler and the one for
# clang in Microsoft mode; with MinGW-w64, clang and GCC (--*-gxx), the one for MinGW and drvget
# from its own sources (hosts/drvget), which must build on the package's headers alone. Each
# build lays out an application folder as the package describes (the programs in bin/ beside
# MobileDrvDown.dll, Tolvek.dll in the parent folder). Under Wine (--*-loader) every example and the
# package's drvget download a file from a loopback HTTP server, which must arrive equal to the
# served file; the clang and MinGW examples run once more with --*-unloadable (an engine file the
# library trusts but Windows refuses to load) as Tolvek.dll and must report the engine-load error
# of both calls and end normally. Each example's output is printed.
# Prints one line per check. Exit code: 0 when every check passed, 1 when one failed, 77 when
# nothing failed but this machine cannot execute 32-bit code, so the x86 programs did not run
# (ctest: skipped).
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source "$here/package_checks.sh"
read_options "usage: check_package_host.sh --cmake CMAKE --cpack CPACK --config CONFIG \
--work WORKDIR --version VERSION --source-dir DIR --make-program MAKE --llvm-dlltool DLLTOOL \
--arch-probe PROBE --wineprefix PREFIX, and for x86 and x64 each: --x86-objdump OBJDUMP \
--x86-loader LOADER --x86-unloadable DLL --x86-gxx GXX" \
    cmake cpack config work version source-dir make-program llvm-dlltool arch-probe wineprefix \
    x86-objdump x86-loader x86-unloadable x86-gxx x64-objdump x64-loader x64-unloadable x64-gxx \
    -- "$@"
cmake=${option[cmake]}
cpack=${option[cpack]}
config=${option[config]}
work=${option[work]}
version=${option[version]}
source_dir=${option[source-dir]}
make_program=${option[make-program]}
llvm_dlltool=${option[llvm-dlltool]}
arch_probe=${option[arch-probe]}
wineprefix=${option[wineprefix]}
declare -A objdump=([x86]=${option[x86-objdump]} [x64]=${option[x64-objdump]})
declare -A loader=([x86]=${option[x86-loader]} [x64]=${option[x64-loader]})
declare -A unloadable=([x86]=${option[x86-unloadable]} [x64]=${option[x64-unloadable]})
declare -A gxx=([x86]=${option[x86-gxx]} [x64]=${option[x64-gxx]})
declare -A msvc_triple=([x86]=i686-pc-windows-msvc [x64]=x86_64-pc-windows-msvc)
declare -A dlltool_machine=([x86]=i386 [x64]=i386:x86-64)
declare -A mingw_toolchain=([x86]=mingw-i686.cmake [x64]=mingw-x86_64.cmake)

# --- the package, unpacked where nothing else of the build lies ---
make_package "$cpack" "$config" "$version" "$work"
package=$unpacked
# Nothing may lead back to the files CPack staged: the package must work from where it lies.
rm -rf "$work/cpack"
report ok "unpacked $(basename "$zip") in $package"

# --- the documents a host team reads first ---
if cmp -s "$package/README.md" "$source_dir/docs/package-readme.md"; then
    report ok "README.md is the README for host teams (docs/package-readme.md)"
else
    report FAILED "README.md is not docs/package-readme.md"
fi
# The guide shows the MinGW handler in full, after a marker line, for hosts to copy.
shown=$(awk '/^<!-- engine_load_error_mingw.h -->$/ { found = 1; next }
             found && /^```/ { if (inside) exit; inside = 1; next }
             inside { print }' "$package/docs/host-integration.md")
if [ -n "$shown" ] && [ "$shown" = "$(cat "$package/docs/engine_load_error_mingw.h")" ]; then
    report ok "the guide shows docs/engine_load_error_mingw.h as it is"
else
    report FAILED "the guide's MinGW handler differs from docs/engine_load_error_mingw.h"
fi

# --- a host project: the guide's example hosts from the package, and a CMakeLists.txt ---
src="$work/host-src"
mkdir -p "$src"
cp -r "$here/package_host/." "$src/"
# What the Windows SDK and Microsoft's C runtime would give the Microsoft-ABI examples, as the
# project's own build of the example takes it.
cp -r "$source_dir/tests/msvc_hosts/sdk" "$source_dir/tests/msvc_hosts/msvc_start.cpp" "$src/"
cp "$package/docs/"*.cpp "$package/docs/"*.h "$src/"
# drvget's own sources, nothing else of the tree: they must build on the package's headers alone.
mkdir -p "$src/drvget"
cp "$source_dir/hosts/drvget/"*.cpp "$source_dir/hosts/drvget/"*.h "$src/drvget/"

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

# check_host NAME ARCH IMPORT_LIBRARY DESCRIPTION PROGRAM...: the build's find_package took the
# ARCH folder and the expected import library, its application folder is complete, and each
# program imports from MobileDrvDown.dll only exported names, undecorated.
check_host() {
    local name=$1 arch=$2 implib=$3 what=$4
    shift 4
    local found="MobileDrvDown $version from $package/$arch/lib/cmake/MobileDrvDown"
    found+=", import library $package/$arch/lib/$implib"
    local app="$work/$name/app" program
    if ! grep -qF -- "-- $found" "$work/$name.configure.log"; then
        grep -F "MobileDrvDown" "$work/$name.configure.log" | sed 's/^/  | /'
        report FAILED "$what: find_package took the $arch folder of the unpacked package and $implib"
        return
    fi
    if ! cmp -s "$app/bin/MobileDrvDown.dll" "$package/$arch/bin/MobileDrvDown.dll" ||
        ! cmp -s "$app/Tolvek.dll" "$package/$arch/Tolvek.dll"; then
        find "$app" | sed 's/^/  | /'
        report FAILED "$what: the application folder holds the package's bin/MobileDrvDown.dll" \
            "and its Tolvek.dll"
        return
    fi
    report ok "$what: built through find_package with $arch/lib/$implib into app/bin/," \
        "Tolvek.dll in app/"
    for program in "$@"; do
        local imported
        imported=$("${objdump[$arch]}" -p "$app/bin/$program.exe" 2>/dev/null |
            sed -n '/DLL Name: MobileDrvDown.dll/,/^$/p' |
            sed -n 's/^[[:space:]]*[0-9a-f]\+[[:space:]]\+[0-9]\+[[:space:]]\+\(\S\+\)$/\1/p' |
            sort | tr '\n' ' ')
        # The x86 compilers reference the decorated names; the program must import exported ones.
        if [ -n "$imported" ] &&
            [ -z "$(tr ' ' '\n' <<<"$imported" | grep -vxE 'CreateInstance|DownLoadFile|')" ]; then
            report ok "$what: $program imports ${imported% } from MobileDrvDown.dll, undecorated"
        else
            report FAILED "$what: $program imports [${imported% }] from MobileDrvDown.dll"
        fi
    done
}

for arch in x86 x64; do
    other=x64
    [ "$arch" = x64 ] && other=x86
    # The import libraries that stand in for the Windows SDK's in the Microsoft-ABI build; x64
    # names carry no stdcall decoration.
    syslibs="$work/system-libs-$arch"
    mkdir -p "$syslibs"
    for def in kernel32 msvcrt; do
        if [ "$arch" = x86 ]; then
            cp "$source_dir/tests/msvc_hosts/$def.def" "$syslibs/$def.def"
        else
            sed 's/@[0-9]\+//' "$source_dir/tests/msvc_hosts/$def.def" >"$syslibs/$def.def"
        fi
        "$llvm_dlltool" -m "${dlltool_machine[$arch]}" -k -d "$syslibs/$def.def" \
            -l "$syslibs/$def.lib" || report FAILED "llvm-dlltool $def.def for $arch"
    done

    # Microsoft's ABI: both architectures' folders on the prefix path, the other one first; its
    # version file must turn the host away.
    what="$arch Microsoft ABI (clang, lld-link)"
    if build_host "msvc-$arch" "$package/$other;$package/$arch" \
        --toolchain "$here/package_host/clang-msvc.cmake" "-DMSVC_HOST_TRIPLE=${msvc_triple[$arch]}" \
        "-DMSVC_HOST_SYSTEM_LIBRARIES=$syslibs/kernel32.lib;$syslibs/msvcrt.lib"; then
        check_host "msvc-$arch" "$arch" MobileDrvDown.lib "$what" example_host example_host_clang
    else
        show_log "$work/msvc-$arch.configure.log"
        [ -f "$work/msvc-$arch.build.log" ] && show_log "$work/msvc-$arch.build.log"
        report FAILED "$what: the host project configures and builds"
    fi

    # MinGW-w64 with clang (the project's toolchain) and with GCC, which most MinGW hosts use.
    for compiler in clang gcc; do
        what="$arch MinGW-w64 ($compiler)"
        toolchain=(--toolchain "$source_dir/cmake/${mingw_toolchain[$arch]}")
        [ "$compiler" = gcc ] && toolchain=(-DCMAKE_SYSTEM_NAME=Windows "-DCMAKE_CXX_COMPILER=${gxx[$arch]}")
        if build_host "mingw-$compiler-$arch" "$package/$arch" "${toolchain[@]}"; then
            check_host "mingw-$compiler-$arch" "$arch" libMobileDrvDown.dll.a "$what" \
                example_host_mingw drvget
        else
            show_log "$work/mingw-$compiler-$arch.configure.log"
            [ -f "$work/mingw-$compiler-$arch.build.log" ] &&
                show_log "$work/mingw-$compiler-$arch.build.log"
            report FAILED "$what: the host project configures and builds"
        fi
    done
done

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

# --- running the programs under Wine ---
source "$source_dir/scripts/wine-env.sh"
export WINEPREFIX=$wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
arches="x86 x64"
if ! wine_runs_x86 "$arch_probe"; then
    echo "$X86_NOT_RUN_LINE"
    echo "NOT RUN: the example hosts and drvget from the package (x86)"
    arches=x64
fi

# A file of random bytes, served over loopback as fast as the connection takes it.
mkdir -p "$work/www" "$work/downloads"
served="$work/www/driver-package.zip"
head -c $((3 * 1024 * 1024)) /dev/urandom >"$served"
served_sha=$(sha256sum "$served" | cut -d' ' -f1)
source "$source_dir/scripts/local-server.sh"
if ! serve_start "$work/www" "$work/port" "$work/server.log"; then
    report FAILED "the loopback HTTP server starts"
    finish
fi
url="$served_url/driver-package.zip"
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# run ARCH PROGRAM LOG ARGS...: runs PROGRAM under the ARCH's Wine with ARGS, its output in LOG;
# sets status to its exit code.
run() {
    local arch=$1 program=$2 log=$3
    shift 3
    status=0
    timeout 120 setarch -R "${loader[$arch]}" "$program" "$@" >"$log" 2>&1 </dev/null || status=$?
}

# arrived FILE: FILE exists and equals the served file.
arrived() { [ -f "$1" ] && [ "$(sha256sum "$1" | cut -d' ' -f1)" = "$served_sha" ]; }

# download ARCH WHAT PROGRAM NAME: PROGRAM URL TARGET must download the served file.
download() {
    local arch=$1 what=$2 program=$3 name=$4
    local target="$work/downloads/$name.zip" log="$work/$name.run.log"
    if [ ! -f "$program" ]; then
        report FAILED "$what: $program exists"
        return
    fi
    run "$arch" "$program" "$log" "$url" "$(windows_path "$target")"
    if [ "$status" -eq 0 ] && arrived "$target"; then
        report ok "$what: downloaded $(stat -c %s "$target") bytes under $arch Wine," \
            "SHA-256 equal to the served file"
    else
        show_log "$log"
        report FAILED "$what: exit code $status; the target does not equal the served file"
    fi
}

# missing_lines LOG LINE...: the LINEs that LOG does not hold.
missing_lines() {
    local log=$1 line
    shift
    for line in "$@"; do
        tr -d '\r' <"$log" | grep -qxF -- "$line" || printf ' [%s]' "$line"
    done
}

# example ARCH WHAT BUILD NAME: the example NAME of the build BUILD downloads the served file
# twice, blocking and as a task, and with an engine Windows cannot load reports the engine-load
# error of both calls and ends normally.
example() {
    local arch=$1 what=$2 build=$3 name=$4
    local app="$work/$build/app" program="$work/$build/app/bin/$name.exe"
    local base="$work/downloads/$build-$name" log="$work/$build-$name.run.log" missing
    if [ ! -f "$program" ]; then
        report FAILED "$what: $program exists"
        return
    fi
    run "$arch" "$program" "$log" "$url" "$(windows_path "$base-blocking.zip")" \
        "$(windows_path "$base-task.zip")"
    echo "$what, $name, with the package's engine (exit code $status):"
    tr -d '\r' <"$log" | sed 's/^/  | /'
    missing=$(missing_lines "$log" "DownLoadFile: downloaded" \
        "task phone-driver: succeeded, $(windows_path "$base-task.zip")")
    if [ "$status" -eq 0 ] && [ -z "$missing" ] && arrived "$base-blocking.zip" &&
        arrived "$base-task.zip"; then
        report ok "$what: $name downloaded blocking and as a task, both equal to the served file"
    else
        report FAILED "$what: $name exit code $status, lines missing:${missing:- none};" \
            "or a download differs from the served file"
    fi

    cp "${unloadable[$arch]}" "$app/Tolvek.dll"
    run "$arch" "$program" "$log.unloadable" "$url" "$(windows_path "$base-blocking-2.zip")" \
        "$(windows_path "$base-task-2.zip")"
    echo "$what, $name, with an engine Windows cannot load (exit code $status):"
    tr -d '\r' <"$log.unloadable" | sed 's/^/  | /'
    missing=$(missing_lines "$log.unloadable" \
        "DownLoadFile: the engine could not be loaded: can not load tolvek.dll" \
        "Init: the engine could not be loaded: can not load tolvek.dll")
    if [ "$status" -eq 1 ] && [ -z "$missing" ]; then
        report ok "$what: $name caught the engine-load error of DownLoadFile and of Init"
    else
        report FAILED "$what: $name exit code $status (1 expected), lines missing:${missing:- none}"
    fi
}

for arch in $arches; do
    download "$arch" "example host, $arch Microsoft ABI" \
        "$work/msvc-$arch/app/bin/example_host.exe" "msvc-$arch"
    example "$arch" "$arch clang in Microsoft mode" "msvc-$arch" example_host_clang
    for compiler in clang gcc; do
        example "$arch" "$arch MinGW-w64 ($compiler)" "mingw-$compiler-$arch" example_host_mingw
    done
    download "$arch" "the package's $arch drvget" "$package/$arch/bin/drvget.exe" "drvget-$arch"
done

if [ "$failures" -eq 0 ] && [ "$arches" = x64 ]; then
    echo "$X86_NOT_RUN_LINE"
    exit 77
fi
finish
