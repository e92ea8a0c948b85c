#!/usr/bin/env bash
# Compiles header_check.cpp, which includes the public header and nothing else, with every
# compiler a host may use and every C++ standard from C++11 on, warnings as errors:
#   check_public_header.sh INCLUDE_DIR SOURCE CLANG MINGW_X86_CXX MINGW_X64_CXX
# Prints one line per compilation; exits 1 when any failed.
set -uo pipefail

if [ $# -ne 5 ]; then
    echo "usage: check_public_header.sh INCLUDE_DIR SOURCE CLANG MINGW_X86_CXX MINGW_X64_CXX" >&2
    exit 2
fi
include=$1
source=$2
clang=$3
compilers=(
    "$clang --target=i686-pc-windows-msvc -fms-extensions -fms-compatibility"
    "$clang --target=x86_64-pc-windows-msvc -fms-extensions -fms-compatibility"
    "$4"
    "$5"
)
failures=0
for compiler in "${compilers[@]}"; do
    for standard in c++11 c++14 c++17 c++20; do
        # shellcheck disable=SC2086 # the compiler entries carry their own options
        if output=$($compiler -std=$standard -Wall -Wextra -Werror -fsyntax-only \
            -I "$include" "$source" 2>&1); then
            echo "ok: $compiler -std=$standard"
        else
            echo "FAILED: $compiler -std=$standard"
            echo "$output"
            failures=$((failures + 1))
        fi
    done
done
exit $((failures == 0 ? 0 : 1))
