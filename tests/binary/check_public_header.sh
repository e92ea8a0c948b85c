#!/usr/bin/env bash
# Compiles each SOURCE, which includes one public header (MobileDrvDown.h, or the hosts' helpers
# of MobileDrvDownHost.h) and nothing else, with every compiler a host may use and every C++
# standard from C++11 on, warnings as errors:
#   check_public_header.sh INCLUDE_DIR CLANG MINGW_X86_CXX MINGW_X64_CXX SOURCE...
# Prints one line per compilation; exits 1 when any failed.
set -uo pipefail

if [ $# -lt 5 ]; then
    echo "usage: check_public_header.sh INCLUDE_DIR CLANG MINGW_X86_CXX MINGW_X64_CXX SOURCE..." >&2
    exit 2
fi
include=$1
clang=$2
compilers=(
    "$clang --target=i686-pc-windows-msvc -fms-extensions -fms-compatibility"
    "$clang --target=x86_64-pc-windows-msvc -fms-extensions -fms-compatibility"
    "$3"
    "$4"
)
shift 4
failures=0
for source in "$@"; do
    for compiler in "${compilers[@]}"; do
        for standard in c++11 c++14 c++17 c++20; do
            # shellcheck disable=SC2086 # the compiler entries carry their own options
            if output=$($compiler -std=$standard -Wall -Wextra -Werror -fsyntax-only \
                -I "$include" "$source" 2>&1); then
                echo "ok: $(basename "$source"): $compiler -std=$standard"
            else
                echo "FAILED: $(basename "$source"): $compiler -std=$standard"
                echo "$output"
                failures=$((failures + 1))
            fi
        done
    done
done
exit $((failures == 0 ? 0 : 1))
