# Cross-compiles for 32-bit Windows: clang-19 and lld-19 with the MinGW-w64 sysroot and the C++
# runtime of g++-mingw-w64-i686-posix (see clang-mingw.cmake). Exceptions unwind with DWARF-2
# tables, as in that runtime's libgcc (clang's default for this target).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/clang-mingw.cmake)
