# What every Windows binary of the build carries, so that the shipped ones are what a host team
# can put into its installer: hardening flags that the binary checks verify (tests/binary/
# check_hardening.py), and reproducible output, the same bytes from the same commit in any folder.
# Each binary that ships, and each copy of one that the tests make, states the rest of its build in
# one call beside its target: drvdown_release_build (at the end).

# --- hardening, stated explicitly so that a toolchain change cannot drop it silently ---
# ASLR and DEP everywhere. x64: high-entropy ASLR, and the mark that the image works with CET
# shadow stacks (the code never rewrites a return address; exceptions unwind through SEH tables,
# which Windows' unwinder keeps in step with the shadow stack). x86: the "no SEH" mark. No code
# of the image registers a structured exception handler (C++ exceptions unwind through DWARF-2
# tables, and nothing pushes a frame onto fs:[0]; the check verifies that too). A SafeSEH table
# cannot be built for drvget: lld makes one only when every object declares itself SafeSEH-ready
# (@feat.00), which the GCC-built runtime archives do not. The library's DLLs, whose objects are
# all clang's, keep the mark too: they have no handler that a table could list.
add_link_options(LINKER:--dynamicbase LINKER:--nxcompat)
if(DRVDOWN_ARCH STREQUAL "x64")
  add_link_options(LINKER:--high-entropy-va LINKER:-Xlink=/cetcompat)
else()
  add_link_options(LINKER:--no-seh)
endif()
# Stack protection (canaries checked on return) on the library's own code and drvget, the targets
# whose drvdown_release_build says STACK_PROTECTION, and on every binary built on drvdown_core. The
# library's DLLs draw the canary and end the process on a changed one themselves
# (dll/image_runtime.cpp); drvget takes both from the runtime's libssp, linked statically.
set(DRVDOWN_STACK_PROTECTION -fstack-protector-strong)
# Control Flow Guard on the library's DLLs, the targets that link no runtime
# (cmake/CxxRuntime.cmake; drvget and the stand-in engines link the MinGW-w64 runtime, which has
# neither guard checks nor a load configuration). Every object checks the target of each indirect
# call, and the link makes the table of valid call targets that dll/load_config.cpp names. No jump
# tables: an indirect jump through one is not checked, and without them every indirect branch of
# the image is a guarded one, which the binary check verifies in the disassembly.
set(_drvdown_no_runtime "$<STREQUAL:$<TARGET_PROPERTY:DRVDOWN_CXX_RUNTIME>,none>")
add_compile_options("$<${_drvdown_no_runtime}:-mguard=cf;-fno-jump-tables>")
add_link_options("$<${_drvdown_no_runtime}:-mguard=cf>")

# --- reproducible output ---
# No time stamp in the PE header (lld then derives the PDB's GUID from its content), no compile
# command lines in the PDB, and no path of the folder the build ran in: source paths are recorded
# relative to the source tree (build-tree paths relative to the build tree), the compile
# directory as ".", so object names stay relative, and the PDB makes relative paths absolute
# under one fixed root. The image names its PDB by file name only.
set(DRVDOWN_PDB_SOURCE_ROOT "C:/MobileDrvDown" CACHE STRING
    "Root under which the PDBs record the relative source and object paths")
add_compile_options(-gno-codeview-command-line -fdebug-compilation-dir=.
                    -ffile-prefix-map=${CMAKE_SOURCE_DIR}/=)
file(RELATIVE_PATH _drvdown_binary_in_source ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR})
if(_drvdown_binary_in_source MATCHES "^\\.\\.")
  add_compile_options(-ffile-prefix-map=${CMAKE_BINARY_DIR}/=)
endif()
add_link_options(LINKER:--no-insert-timestamp LINKER:-Xlink=/pdbaltpath:%_PDB%
                 LINKER:-Xlink=/pdbsourcepath:${DRVDOWN_PDB_SOURCE_ROOT})

# drvdown_release_build(<target> RUNTIME none|windows [STACK_PROTECTION] [PDB]
#                       [VERSION_RESOURCE <description>])
#   How <target> is built, beyond what every binary carries (above):
#   RUNTIME none: the library's own code, which links no runtime (cmake/CxxRuntime.cmake) and is
#     compiled with Control Flow Guard (above). A DLL is an image of the library: it enters at
#     DllEntryPoint and links the load configuration and the functions the compiler calls on its
#     own (drvdown_load_config, drvdown_image_runtime: dll/CMakeLists.txt).
#   RUNTIME windows: the C++ runtime of GCC's Windows thread model, linked statically, so that the
#     binary needs no MinGW DLL.
#   STACK_PROTECTION: canaries on the target's code; an object library hands them on to whatever
#     is built on it, compiled and linked.
#   PDB: the CodeView debug information goes into bin/<target>.pdb beside the image. The path is
#     relative to the build tree, where the link runs, so that no folder name reaches the PDB. The
#     image keeps no symbol table and none of the DWARF sections that the prebuilt runtime objects
#     bring along: debuggers and symbolizers then read the PDB, and there is nothing left to strip.
#   VERSION_RESOURCE: the version resource, with this file description (VersionResource.cmake).
# An unknown target, an unknown argument or another runtime is an error: a binary whose build
# could not be stated would be built as a test program is, with the posix runtime.
function(drvdown_release_build target)
  cmake_parse_arguments(ARG "STACK_PROTECTION;PDB" "RUNTIME;VERSION_RESOURCE" "" ${ARGN})
  if(NOT TARGET ${target})
    message(FATAL_ERROR "drvdown_release_build: there is no target ${target}")
  endif()
  if(ARG_UNPARSED_ARGUMENTS OR ARG_KEYWORDS_MISSING_VALUES)
    message(FATAL_ERROR "drvdown_release_build(${target}): unknown or incomplete arguments: "
                        "${ARG_UNPARSED_ARGUMENTS} ${ARG_KEYWORDS_MISSING_VALUES}")
  endif()
  get_target_property(type ${target} TYPE)
  set(linked TRUE)
  if(type STREQUAL "OBJECT_LIBRARY")
    set(linked FALSE)
    if(ARG_PDB OR DEFINED ARG_VERSION_RESOURCE)
      message(FATAL_ERROR "drvdown_release_build(${target}): an object library has no image")
    endif()
  endif()

  if(ARG_RUNTIME STREQUAL "none")
    set_property(TARGET ${target} PROPERTY DRVDOWN_CXX_RUNTIME none)
    if(type STREQUAL "SHARED_LIBRARY")
      target_link_libraries(${target} PRIVATE drvdown_load_config drvdown_image_runtime)
      target_link_options(${target} PRIVATE LINKER:--entry=DllEntryPoint)
    elseif(linked)
      message(FATAL_ERROR "drvdown_release_build(${target}): only DLLs and object libraries "
                          "link no runtime")
    endif()
  elseif(ARG_RUNTIME STREQUAL "windows")
    set_property(TARGET ${target} PROPERTY DRVDOWN_CXX_RUNTIME win32)
    if(linked)
      target_link_options(${target} PRIVATE ${DRVDOWN_STATIC_RUNTIME})
    endif()
  else()
    message(FATAL_ERROR "drvdown_release_build(${target}): RUNTIME none or windows, not "
                        "'${ARG_RUNTIME}'")
  endif()

  if(ARG_STACK_PROTECTION AND linked)
    target_compile_options(${target} PRIVATE ${DRVDOWN_STACK_PROTECTION})
    target_link_options(${target} PRIVATE ${DRVDOWN_STACK_PROTECTION})
  elseif(ARG_STACK_PROTECTION)
    target_compile_options(${target} PUBLIC ${DRVDOWN_STACK_PROTECTION})
    target_link_options(${target} INTERFACE ${DRVDOWN_STACK_PROTECTION})
  endif()
  if(ARG_PDB)
    target_link_options(${target} PRIVATE LINKER:--pdb=bin/${target}.pdb LINKER:--strip-all)
    set_target_properties(${target} PROPERTIES DRVDOWN_PDB ${CMAKE_BINARY_DIR}/bin/${target}.pdb)
  endif()
  if(DEFINED ARG_VERSION_RESOURCE)
    drvdown_add_version_resource(${target} DESCRIPTION "${ARG_VERSION_RESOURCE}")
  endif()
endfunction()
