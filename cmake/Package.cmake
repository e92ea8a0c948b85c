# The release package: one ZIP holding, for x86 and x64 in folders x86/ and x64/, what a host's
# developers need, laid out the way the library finds its engine:
#   <arch>/bin/MobileDrvDown.dll    the library, and drvget.exe when the build has it, each with
#                                   its PDB beside it (the images carry no symbols of their own)
#   <arch>/Tolvek.dll               the stand-in engine, in the parent of the library's folder
#   <arch>/include/MobileDrvDown.h  the public header
#   <arch>/lib/MobileDrvDown.def    the exports, with their x86 stdcall decoration on x86
#   <arch>/lib/MobileDrvDown.lib    the import library for Microsoft's linker
#   <arch>/lib/libMobileDrvDown.dll.a  the import library for MinGW-w64's linker
#   <arch>/lib/cmake/MobileDrvDown/ the CMake package: find_package(MobileDrvDown CONFIG) gives
#                                   the imported target MobileDrvDown::MobileDrvDown
# and at the top README.md (docs/package-readme.md, for host teams), docs/ (the host-integration
# guide, its example hosts for Microsoft's compiler, clang in Microsoft mode and MinGW-w64, the
# MinGW hosts' handler of the engine-load error, and the stand-in engine's status values) and
# SHA256SUMS, the digest of every file. The library and drvget are signed when a code-signing
# certificate is given (PackageSign.cmake).
#
# Each build tree installs its own architecture's folder; CPack gathers the trees listed in
# DRVDOWN_PACKAGE_TREES into one ZIP. scripts/package.sh builds both and runs CPack.

if(DRVDOWN_ARCH STREQUAL "x86")
  set(default_trees "${CMAKE_BINARY_DIR};${CMAKE_SOURCE_DIR}/build/win64")
else()
  set(default_trees "${CMAKE_SOURCE_DIR}/build/win32;${CMAKE_BINARY_DIR}")
endif()
set(DRVDOWN_PACKAGE_TREES "${default_trees}" CACHE STRING
    "Build trees (one x86, one x64) whose install rules the release ZIP gathers")

set(arch ${DRVDOWN_ARCH})

install(TARGETS MobileDrvDown RUNTIME DESTINATION ${arch}/bin)
install(FILES $<TARGET_PROPERTY:MobileDrvDown,DRVDOWN_PDB> DESTINATION ${arch}/bin)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/ DESTINATION ${arch}/include
        FILES_MATCHING PATTERN "*.h")
get_target_property(msvc_import_library MobileDrvDown_msvc_lib DRVDOWN_IMPORT_LIBRARY)
install(FILES ${CMAKE_BINARY_DIR}/MobileDrvDown.def ${msvc_import_library}
        DESTINATION ${arch}/lib)
# MinGW hosts link the import library of the MinGW build: on x86 the one dlltool made again from
# the decorated .def (dll/CMakeLists.txt), which the x86 MinGW compiler's references need. It
# gets the name MinGW's linker looks for first (-lMobileDrvDown).
install(FILES $<TARGET_LINKER_FILE:MobileDrvDown> DESTINATION ${arch}/lib
        RENAME libMobileDrvDown.dll.a)

# The CMake package. The config file finds everything relative to its own folder, so the package
# works wherever it is unpacked; the version file accepts hosts of this build's pointer width
# only (CMAKE_SIZEOF_VOID_P), so an x64 host never picks up the x86 folder or the reverse.
include(CMakePackageConfigHelpers)
set(package_config_dir ${CMAKE_BINARY_DIR}/package-config)
configure_file(${CMAKE_CURRENT_LIST_DIR}/MobileDrvDownConfig.cmake.in
               ${package_config_dir}/MobileDrvDownConfig.cmake @ONLY)
write_basic_package_version_file(${package_config_dir}/MobileDrvDownConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${package_config_dir}/MobileDrvDownConfig.cmake
              ${package_config_dir}/MobileDrvDownConfigVersion.cmake
        DESTINATION ${arch}/lib/cmake/MobileDrvDown)

# The stand-in engine, byte for byte as built: the library accepts engine files by their digest,
# so it must not be stripped (install(FILES) never strips). A build that pins the real engine's
# digest would refuse the stand-in and end the host process, so such a package leaves it out.
if(DRVDOWN_ENGINE_SHA256 STREQUAL "")
  install(FILES $<TARGET_FILE:Tolvek> DESTINATION ${arch})
else()
  message(STATUS "Package: the build trusts only pinned engines; the stand-in engine is left out")
endif()

# The command-line host, when the build has it: a program of the MinGW build or one built in
# Microsoft's ABI by drvdown_add_msvc_host (a custom target whose program lies in bin/).
if(TARGET drvget)
  get_target_property(drvget_type drvget TYPE)
  if(drvget_type STREQUAL "EXECUTABLE")
    install(TARGETS drvget RUNTIME DESTINATION ${arch}/bin)
    install(FILES $<TARGET_PROPERTY:drvget,DRVDOWN_PDB> DESTINATION ${arch}/bin)
  else()
    install(PROGRAMS ${CMAKE_BINARY_DIR}/bin/drvget.exe DESTINATION ${arch}/bin)
  endif()
endif()

# The package's README is written for host teams; the repository's README is the developers'.
install(FILES ${CMAKE_SOURCE_DIR}/docs/package-readme.md DESTINATION . RENAME README.md)
install(FILES ${CMAKE_SOURCE_DIR}/docs/host-integration.md ${CMAKE_SOURCE_DIR}/docs/example_host.cpp
              ${CMAKE_SOURCE_DIR}/docs/example_host_clang.cpp
              ${CMAKE_SOURCE_DIR}/docs/example_host_mingw.cpp
              ${CMAKE_SOURCE_DIR}/docs/engine_load_error_mingw.h
              ${CMAKE_SOURCE_DIR}/docs/standin-engine.md DESTINATION docs)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME MobileDrvDown)
set(CPACK_PACKAGE_VENDOR MobileDrvDown)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME MobileDrvDown-${PROJECT_VERSION})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_PACKAGE_CHECKSUM SHA256)
# Nothing is stripped: the images hold no symbol table and no DWARF (their symbols are in the
# PDBs), so they ship byte for byte as built, the same bytes from every build of the commit.
set(CPACK_STRIP_FILES FALSE)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/PackageSign.cmake)
set(CPACK_INSTALL_CMAKE_PROJECTS "")
foreach(tree IN LISTS DRVDOWN_PACKAGE_TREES)
  list(APPEND CPACK_INSTALL_CMAKE_PROJECTS ${tree} MobileDrvDown ALL /)
endforeach()
include(CPack)
