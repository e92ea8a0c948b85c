# Which C++ runtime (libstdc++, libgcc) each target compiles and links against: the binaries that
# ship (the library, the stand-in engines, drvget) take the one of GCC's Windows thread model,
# DRVDOWN_MINGW_GCC_WIN32_DIR; every other target (tests, GoogleTest, tools) the posix one,
# DRVDOWN_MINGW_GCC_DIR. The posix runtime carries a threading layer (winpthreads) whose start-up
# work can end the process when a thread-local slot or a handle cannot be had, and which keeps a
# record per thread that used it until that thread exits, so a module unloaded while its callers'
# threads live on leaves a handle pair per thread behind; the Windows one has neither.
#
# Included from the top-level CMakeLists.txt before any target: the options below are directory
# options that every target inherits, evaluated per target from its DRVDOWN_CXX_RUNTIME property.
set(_drvdown_win32 "$<STREQUAL:$<TARGET_PROPERTY:DRVDOWN_CXX_RUNTIME>,win32>")
set(_drvdown_gcc "$<IF:${_drvdown_win32},${DRVDOWN_MINGW_GCC_WIN32_DIR},${DRVDOWN_MINGW_GCC_DIR}>")
# (-isystem joined to its folder: CMake would fold repeated "-isystem" options into one.)
add_compile_options(
  "$<$<COMPILE_LANGUAGE:CXX>:-nostdinc++;-isystem${_drvdown_gcc}/include/c++;-isystem${_drvdown_gcc}/include/c++/${MINGW_TRIPLE};-isystem${_drvdown_gcc}/include/c++/backward>")
# libstdc++ and libgcc of the posix thread model call winpthreads: -lpthread (lld resolves
# archives in any order, so it may stand before the objects).
add_link_options("-L${_drvdown_gcc}" "$<$<NOT:${_drvdown_win32}>:-lpthread>")

# drvdown_windows_runtime(TARGET...): the targets ship, so they take the Windows thread model's
# runtime. Object libraries among them are compiled for it; a program of the posix runtime links
# their _posix twin (drvdown_posix_twin).
function(drvdown_windows_runtime)
  foreach(target IN LISTS ARGN)
    if(TARGET ${target})
      set_property(TARGET ${target} PROPERTY DRVDOWN_CXX_RUNTIME win32)
    endif()
  endforeach()
endfunction()

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
