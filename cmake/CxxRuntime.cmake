# Which C++ runtime (libstdc++, libgcc) each target compiles and links against, by its property
# DRVDOWN_CXX_RUNTIME, which drvdown_release_build (ReleaseBinaries.cmake) sets: the library's own
# DLLs none at all ("none", below); the other binaries that ship (the stand-in engines, drvget) the
# one of GCC's Windows thread model ("win32"), DRVDOWN_MINGW_GCC_WIN32_DIR; every other target
# (tests, GoogleTest, tools; the property unset) the posix one, DRVDOWN_MINGW_GCC_DIR. The posix
# runtime carries a threading layer (winpthreads) whose start-up work can end the process when a
# thread-local slot or a handle cannot be had, and which keeps a record per thread that used it
# until that thread exits, so a module unloaded while its callers' threads live on leaves a handle
# pair per thread behind; the Windows one has neither.
#
# The library's DLLs link no runtime and no start-up object: all of their code is the library's
# own (dll/image_runtime.cpp has the few functions the compiler calls on its own, dll_main.cpp the
# entry point), compiled with Control Flow Guard (cmake/ReleaseBinaries.cmake), with a load
# configuration of their own (dll/load_config.cpp). They use the C++ headers of the Windows thread
# model for templates only, and neither throw nor ask an object for its type (no RTTI). Module-wide
# objects that need a constructor or a destructor are refused by the compiler, since nothing would
# run them.
#
# Included from the top-level CMakeLists.txt before any target: the options below are directory
# options that every target inherits, evaluated per target from its DRVDOWN_CXX_RUNTIME property.
set(_drvdown_runtime "$<TARGET_PROPERTY:DRVDOWN_CXX_RUNTIME>")
set(_drvdown_none "$<STREQUAL:${_drvdown_runtime},none>")
set(_drvdown_posix "$<NOT:$<OR:$<STREQUAL:${_drvdown_runtime},win32>,${_drvdown_none}>>")
set(_drvdown_gcc "$<IF:${_drvdown_posix},${DRVDOWN_MINGW_GCC_DIR},${DRVDOWN_MINGW_GCC_WIN32_DIR}>")
# (-isystem joined to its folder: CMake would fold repeated "-isystem" options into one.)
add_compile_options(
  "$<$<COMPILE_LANGUAGE:CXX>:-nostdinc++;-isystem${_drvdown_gcc}/include/c++;-isystem${_drvdown_gcc}/include/c++/${MINGW_TRIPLE};-isystem${_drvdown_gcc}/include/c++/backward>"
  "$<${_drvdown_none}:-fno-exceptions;-fno-rtti>"
  "$<${_drvdown_none}:-Werror=global-constructors;-Werror=exit-time-destructors>")
# libstdc++ and libgcc of the posix thread model call winpthreads: -lpthread (lld resolves
# archives in any order, so it may stand before the objects).
add_link_options("-L${_drvdown_gcc}" "$<${_drvdown_posix}:-lpthread>"
                 "$<${_drvdown_none}:-nostdlib>")

# drvdown_posix_twin(TARGET): TARGET_posix, a second compilation of the object library TARGET for
# the posix runtime, with its sources, include directories, definitions and link libraries.
function(drvdown_posix_twin target)
  get_target_property(sources ${target} SOURCES)
  add_library(${target}_posix OBJECT ${sources})
  foreach(property INCLUDE_DIRECTORIES COMPILE_DEFINITIONS COMPILE_OPTIONS LINK_LIBRARIES LINK_OPTIONS
                   INTERFACE_INCLUDE_DIRECTORIES INTERFACE_COMPILE_DEFINITIONS
                   INTERFACE_LINK_LIBRARIES INTERFACE_LINK_OPTIONS)
    get_target_property(value ${target} ${property})
    if(value)
      set_property(TARGET ${target}_posix PROPERTY ${property} "${value}")
    endif()
  endforeach()
  # Generated sources are made for the original.
  add_dependencies(${target}_posix ${target})
endfunction()
