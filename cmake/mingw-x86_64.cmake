# Cross-compiles for 64-bit Windows: clang-19 and lld-19 with the MinGW-w64 sysroot and the C++
# runtime of g++-mingw-w64-x86-64-posix (see clang-mingw.cmake). Exceptions unwind with SEH.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/clang-mingw.cmake)
