# The shared part of the two toolchain files: clang-19 and lld-19 cross-compile for Windows
# against the MinGW-w64 sysroot (/usr/<triple>) and the C++ runtime (libstdc++, libgcc, libssp) of
# one GCC install dir of the g++-mingw-w64 packages. The including file sets MINGW_TRIPLE.
#
# Debian installs two GCC install dirs per target, <ver>-posix (threads through winpthreads;
# std::thread and std::mutex exist) and <ver>-win32 (Windows threads; no std::thread or std::mutex
# in GCC 12), and clang's MinGW driver always picks the win32 one on its own (it ignores
# --gcc-install-dir for MinGW). So the C++ headers (-nostdinc++ -isystem) and the libraries (-L,
# searched before clang's own choice) are given explicitly, per target (cmake/CxxRuntime.cmake):
# the binaries that ship take DRVDOWN_MINGW_GCC_WIN32_DIR, the rest (tests, GoogleTest, tools)
# DRVDOWN_MINGW_GCC_DIR. Only crtbegin.o and crtend.o still come from clang's choice; both dirs
# carry the same code in them (they differ in the GCC ident string only).
set(CMAKE_SYSTEM_NAME Windows)

# drvdown_gcc_install_dir(VARIABLE MODEL DOC): the cache variable VARIABLE names a GCC install dir
# of the thread model MODEL, by default the newest /usr/lib/gcc/<triple>/<version>-MODEL; an error
# when it holds no C++ headers.
function(drvdown_gcc_install_dir variable model doc)
  file(GLOB dirs LIST_DIRECTORIES true /usr/lib/gcc/${MINGW_TRIPLE}/*-${model})
  list(SORT dirs COMPARE NATURAL ORDER DESCENDING)
  set(newest "")
  if(dirs)
    list(GET dirs 0 newest)
  endif()
  set(${variable} "${newest}" CACHE PATH "${doc}")
  if(NOT EXISTS "${${variable}}/include/c++")
    message(FATAL_ERROR "${variable}=${${variable}}: no C++ headers there "
                        "(install g++-mingw-w64-*-${model})")
  endif()
endfunction()
drvdown_gcc_install_dir(DRVDOWN_MINGW_GCC_DIR posix
  "GCC install dir whose libstdc++, libgcc and libssp the build links (<ver>-posix or <ver>-win32)")
drvdown_gcc_install_dir(DRVDOWN_MINGW_GCC_WIN32_DIR win32
  "GCC install dir of the Windows thread model, whose runtime the shipped binaries link")
# try_compile projects see the same choice.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES DRVDOWN_MINGW_GCC_DIR DRVDOWN_MINGW_GCC_WIN32_DIR)

set(CMAKE_C_COMPILER clang-19)
set(CMAKE_CXX_COMPILER clang++-19)
set(CMAKE_C_COMPILER_TARGET ${MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${MINGW_TRIPLE})
# Resource scripts are made complete by CMake (numbers, no macros), so they need no preprocessor.
set(CMAKE_RC_COMPILER llvm-windres-19)
set(CMAKE_AR llvm-ar-19)
set(CMAKE_RANLIB llvm-ranlib-19)
set(CMAKE_DLLTOOL ${MINGW_TRIPLE}-dlltool)
# The binary checks parse GNU objdump's output.
set(CMAKE_OBJDUMP ${MINGW_TRIPLE}-objdump)
set(CMAKE_STRIP llvm-strip-19)

if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86")
  set(CMAKE_RC_FLAGS_INIT "--target=pe-i386 --no-preprocess")
else()
  set(CMAKE_RC_FLAGS_INIT "--target=pe-x86-64 --no-preprocess")
endif()

# CodeView debug information, which lld writes into a PDB (-Wl,--pdb=).
string(APPEND CMAKE_C_FLAGS_INIT " -g -gcodeview")
string(APPEND CMAKE_CXX_FLAGS_INIT " -g -gcodeview")
foreach(kind EXE SHARED MODULE)
  # -gcodeview reaches the link line too, where it means nothing.
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-fuse-ld=lld-19 -Wno-unused-command-line-argument")
endforeach()

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
