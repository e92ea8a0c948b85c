# Builds Windows programs in Microsoft's ABI with clang and lld-link, on a machine that has neither
# Microsoft's headers nor its C runtime libraries; the host project supplies what its examples use
# of them (sdk/ and msvc_start.cpp, which check_package_host.sh copies from tests/msvc_hosts/).
#   MSVC_HOST_TRIPLE: i686-pc-windows-msvc (x86) or x86_64-pc-windows-msvc (x64)
#   MSVC_HOST_SYSTEM_LIBRARIES: the import libraries that stand in for the SDK's (kernel32.lib,
#   msvcrt.lib), made by llvm-dlltool from .def files.
set(CMAKE_SYSTEM_NAME Windows)
if(MSVC_HOST_TRIPLE MATCHES "^x86_64")
  set(CMAKE_SYSTEM_PROCESSOR AMD64)
else()
  set(CMAKE_SYSTEM_PROCESSOR x86)
endif()
set(CMAKE_C_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET ${MSVC_HOST_TRIPLE})
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET ${MSVC_HOST_TRIPLE})
set(CMAKE_LINKER lld-link)
set(CMAKE_AR llvm-ar)
set(CMAKE_RC_COMPILER llvm-rc)
set(CMAKE_MT llvm-mt)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MSVC_HOST_TRIPLE MSVC_HOST_SYSTEM_LIBRARIES)

# The compiler check cannot link a program without the runtime libraries.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

set(CMAKE_CXX_FLAGS_INIT "-fms-extensions -fexceptions -fcxx-exceptions")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Xlinker /nodefaultlib -Xlinker /entry:mainCRTStartup")
# They take the place of the SDK's default libraries on every link line (a command-line string).
set(system_libraries "")
foreach(library IN LISTS MSVC_HOST_SYSTEM_LIBRARIES)
  string(APPEND system_libraries " \"${library}\"")
endforeach()
set(CMAKE_C_STANDARD_LIBRARIES "${system_libraries}")
set(CMAKE_CXX_STANDARD_LIBRARIES "${system_libraries}")
