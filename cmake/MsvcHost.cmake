# Host programs built in Microsoft's C++ ABI, as the real hosts are: clang compiles them for the
# *-pc-windows-msvc target and lld-link links them. The project's own compiler is MinGW, so this
# runs beside it with custom commands.
#
# drvdown_add_msvc_host(<name> [SHARED] SOURCES <file>... [INCLUDES <dir>...] IMPORTS <file.def>...)
#   Builds ${CMAKE_BINARY_DIR}/bin/<name>.exe, a console program, and a target <name> for it;
#   with SHARED ${CMAKE_BINARY_DIR}/bin/<name>.dll instead, a DLL without an entry point that
#   exports what its sources mark __declspec(dllexport).
#   SOURCES: C++ files. No Microsoft headers or runtime libraries exist here: a host declares what
#     it calls, is its own entry point (`extern "C" void __cdecl mainCRTStartup()`), and defines
#     `??_7type_info@@6B@` when it uses exceptions. The public header folder is on the include path.
#   INCLUDES: more folders for the include path, relative to the calling CMakeLists.txt.
#   IMPORTS: one .def per DLL the host imports from (LIBRARY <dll>, then EXPORTS). Write each name
#     with its x86 stdcall decoration (LoadLibraryW@4): x86 import libraries need it and drop it
#     from the imported name; x64 ones get the names without it.
#   LIBRARIES: import-library targets made by drvdown_add_import_library (ImportLibrary.cmake),
#     such as the library's own MobileDrvDown_msvc_lib.
# The tests run such hosts under Wine: x86 ones with the 32-bit loader, x64 ones with wine64.

include(${CMAKE_CURRENT_LIST_DIR}/ImportLibrary.cmake)

find_program(DRVDOWN_CLANG clang REQUIRED)
find_program(DRVDOWN_LLD_LINK lld-link REQUIRED)

function(drvdown_add_msvc_host name)
  cmake_parse_arguments(ARG "SHARED" "" "SOURCES;INCLUDES;IMPORTS;LIBRARIES" ${ARGN})
  if(NOT ARG_SOURCES)
    message(FATAL_ERROR "drvdown_add_msvc_host(${name}): no SOURCES")
  endif()
  if(DRVDOWN_ARCH STREQUAL "x86")
    set(triple i686-pc-windows-msvc)
  else()
    set(triple x86_64-pc-windows-msvc)
  endif()
  set(work ${CMAKE_CURRENT_BINARY_DIR}/${name}.msvc)
  if(ARG_SHARED)
    set(output ${CMAKE_BINARY_DIR}/bin/${name}.dll)
    set(kind /dll /noentry)
  else()
    set(output ${CMAKE_BINARY_DIR}/bin/${name}.exe)
    set(kind /entry:mainCRTStartup /subsystem:console)
  endif()

  set(libs)
  foreach(def IN LISTS ARG_IMPORTS)
    get_filename_component(def_path ${def} ABSOLUTE)
    get_filename_component(def_name ${def} NAME_WE)
    # x64 has no stdcall decoration: the .def is rewritten without it. The copy is replaced only
    # when its text changes, and an edited .def makes CMake configure again.
    file(READ ${def_path} def_text)
    if(NOT DRVDOWN_ARCH STREQUAL "x86")
      string(REGEX REPLACE "@[0-9]+" "" def_text "${def_text}")
    endif()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def_path})
    file(WRITE ${work}/${def_name}.def.tmp "${def_text}")
    configure_file(${work}/${def_name}.def.tmp ${work}/${def_name}.def COPYONLY)
    set(lib ${work}/${def_name}.lib)
    drvdown_msvc_import_library(OUTPUT ${lib} DEF ${work}/${def_name}.def)
    list(APPEND libs ${lib})
  endforeach()
  set(lib_targets)
  foreach(target IN LISTS ARG_LIBRARIES)
    get_target_property(lib ${target} DRVDOWN_IMPORT_LIBRARY)
    if(NOT lib)
      message(FATAL_ERROR "drvdown_add_msvc_host(${name}): ${target} is no import library target")
    endif()
    list(APPEND libs ${lib})
    list(APPEND lib_targets ${target})
  endforeach()

  set(includes -I${CMAKE_SOURCE_DIR}/include)
  foreach(dir IN LISTS ARG_INCLUDES)
    get_filename_component(dir_path ${dir} ABSOLUTE)
    list(APPEND includes -I${dir_path})
  endforeach()

  set(objs)
  foreach(src IN LISTS ARG_SOURCES)
    get_filename_component(src_path ${src} ABSOLUTE)
    get_filename_component(src_name ${src} NAME_WE)
    set(obj ${work}/${src_name}.obj)
    add_custom_command(
      OUTPUT ${obj}
      COMMAND ${DRVDOWN_CLANG} --target=${triple} -fms-extensions -fexceptions -fcxx-exceptions
              -std=c++20 -O2 -Wall -Wextra ${includes}
              -MD -MF ${obj}.d -c ${src_path} -o ${obj}
      DEPENDS ${src_path}
      DEPFILE ${obj}.d
      COMMENT "Compiling ${src} for ${triple}"
      VERBATIM)
    list(APPEND objs ${obj})
  endforeach()

  # No default libraries: the objects ask for Microsoft's static runtime, which does not exist here.
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${DRVDOWN_LLD_LINK} /nologo /nodefaultlib ${kind} /out:${output} ${objs} ${libs}
    DEPENDS ${objs} ${libs} ${lib_targets}
    COMMENT "Linking ${name} (Microsoft ABI)"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS ${output})
  if(lib_targets)
    add_dependencies(${name} ${lib_targets})
  endif()
endfunction()
