# Import libraries in Microsoft's format, which lld-link and Microsoft's linker read, made from a
# module-definition file with llvm-dlltool.
#
# drvdown_msvc_import_library(OUTPUT <lib> DEF <def> [DEPENDS <file-or-target>...])
#   A custom command that builds <lib> from <def> for this build's architecture. On x86 the .def
#   names each stdcall function with its decoration (CreateInstance@8): the import library then
#   defines the symbols a Microsoft-ABI caller references (__imp__CreateInstance@8), and `-k`
#   makes the imported name the undecorated export name. On x64 the .def must name the functions
#   without decoration.
#
# drvdown_add_import_library(<target> OUTPUT <lib> DEF <def> [DEPENDS <file-or-target>...])
#   The same, as a target built by default. Its property DRVDOWN_IMPORT_LIBRARY holds <lib>, so
#   drvdown_add_msvc_host(... LIBRARIES <target>) can link against it.

find_program(DRVDOWN_LLVM_DLLTOOL llvm-dlltool REQUIRED)

function(drvdown_msvc_import_library)
  cmake_parse_arguments(ARG "" "OUTPUT;DEF" "DEPENDS" ${ARGN})
  if(NOT ARG_OUTPUT OR NOT ARG_DEF)
    message(FATAL_ERROR "drvdown_msvc_import_library: OUTPUT and DEF are required")
  endif()
  if(DRVDOWN_ARCH STREQUAL "x86")
    set(machine -m i386 -k)
  else()
    set(machine -m i386:x86-64)
  endif()
  get_filename_component(name ${ARG_OUTPUT} NAME)
  add_custom_command(
    OUTPUT ${ARG_OUTPUT}
    COMMAND ${DRVDOWN_LLVM_DLLTOOL} ${machine} -d ${ARG_DEF} -l ${ARG_OUTPUT}
    DEPENDS ${ARG_DEF} ${ARG_DEPENDS}
    COMMENT "Import library ${name} (Microsoft format, ${DRVDOWN_ARCH})"
    VERBATIM)
endfunction()

function(drvdown_add_import_library target)
  cmake_parse_arguments(ARG "" "OUTPUT;DEF" "DEPENDS" ${ARGN})
  drvdown_msvc_import_library(OUTPUT ${ARG_OUTPUT} DEF ${ARG_DEF} DEPENDS ${ARG_DEPENDS})
  add_custom_target(${target} ALL DEPENDS ${ARG_OUTPUT})
  set_target_properties(${target} PROPERTIES DRVDOWN_IMPORT_LIBRARY ${ARG_OUTPUT})
endfunction()
