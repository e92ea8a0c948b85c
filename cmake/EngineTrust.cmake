# drvdown_add_engine_trust(TARGET [DIGESTS <digest>...|none] [SIGNERS <digest>...]
#                          [SIGNER_FILES <file>...] [DEPENDS <target>...])
#
# An object library TARGET that holds one build's engine trust (engine/engine_trust.cpp): the
# digests of trusted engine files, and the SubjectPublicKeyInfo digests of pinned signers, all
# lowercase hex SHA-256. DIGESTS left empty lists the stand-in engines built in the same tree;
# `none` lists no file at all, so that only signatures are trusted. SIGNER_FILES names files made
# at build time (by the DEPENDS targets) that each hold one signer digest. Link TARGET into each
# binary beside drvdown_core.
function(drvdown_add_engine_trust target)
  cmake_parse_arguments(ARG "" "" "DIGESTS;SIGNERS;SIGNER_FILES;DEPENDS" ${ARGN})
  set(dir ${CMAKE_BINARY_DIR}/generated/${target})
  file(MAKE_DIRECTORY ${dir})
  set(script ${CMAKE_SOURCE_DIR}/cmake/EngineAllowlist.cmake)

  set(allowlist ${dir}/engine_allowlist.inc)
  if(NOT ARG_DIGESTS)
    get_property(standins GLOBAL PROPERTY DRVDOWN_STANDIN_ENGINES)
    set(files "")
    foreach(engine IN LISTS standins)
      list(APPEND files "$<TARGET_FILE:${engine}>")
    endforeach()
    string(JOIN "|" files_arg ${files})
    add_custom_command(
      OUTPUT ${allowlist}
      COMMAND ${CMAKE_COMMAND} "-DOUTPUT=${allowlist}" "-DFILES=${files_arg}" -P ${script}
      DEPENDS ${standins} ${script}
      COMMENT "Listing the digests of the stand-in engines for ${target}"
      VERBATIM)
  elseif(ARG_DIGESTS STREQUAL "none")
    drvdown_write_digest_list(${allowlist} "")
  else()
    drvdown_write_digest_list(${allowlist} "${ARG_DIGESTS}" DRVDOWN_ENGINE_SHA256)
  endif()

  set(signers ${dir}/engine_signers.inc)
  if(ARG_SIGNER_FILES)
    string(JOIN "|" files_arg ${ARG_SIGNER_FILES})
    add_custom_command(
      OUTPUT ${signers}
      COMMAND ${CMAKE_COMMAND} "-DOUTPUT=${signers}" "-DDIGEST_FILES=${files_arg}" -P ${script}
      DEPENDS ${ARG_SIGNER_FILES} ${ARG_DEPENDS} ${script}
      COMMENT "Listing the pinned signers for ${target}"
      VERBATIM)
  else()
    drvdown_write_digest_list(${signers} "${ARG_SIGNERS}" DRVDOWN_ENGINE_SIGNER_SPKI_SHA256)
  endif()

  if(ARG_DIGESTS STREQUAL "none" AND NOT ARG_SIGNERS AND NOT ARG_SIGNER_FILES)
    message(FATAL_ERROR "${target}: DRVDOWN_ENGINE_SHA256 is 'none' and no signer is pinned "
                        "(DRVDOWN_ENGINE_SIGNER_SPKI_SHA256): such a library trusts no engine")
  endif()

  add_library(${target} OBJECT ${CMAKE_SOURCE_DIR}/engine/engine_trust.cpp ${allowlist} ${signers})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR} ${dir})
  drvdown_release_build(${target} RUNTIME none STACK_PROTECTION)
  if(ARG_DEPENDS)
    add_dependencies(${target} ${ARG_DEPENDS})
  endif()
endfunction()

# drvdown_write_digest_list(FILE DIGESTS [OPTION]): writes the digests as C string literals, one a
# line, after checking that each is a SHA-256 digest in hex (OPTION names the setting they came
# from in the error). The file is rewritten only when its content changes.
function(drvdown_write_digest_list file digests)
  set(option "${ARGN}")
  string(TOLOWER "${digests}" digests)
  set(content "")
  foreach(digest IN LISTS digests)
    if(NOT digest MATCHES "^[0-9a-f]+$" OR NOT digest MATCHES "^................................................................$")
      message(FATAL_ERROR "${option}: '${digest}' is not a SHA-256 digest in hex")
    endif()
    string(APPEND content "\"${digest}\",\n")
  endforeach()
  file(CONFIGURE OUTPUT ${file} CONTENT "${content}")
endfunction()
