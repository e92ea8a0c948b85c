# Run by CPack over the staged package, before it is zipped (CPACK_PRE_BUILD_SCRIPTS):
# - signs each architecture's bin/MobileDrvDown.dll and bin/drvget.exe (Authenticode, SHA-256,
#   osslsigncode) when the environment names a code-signing certificate and its key:
#     DRVDOWN_SIGN_CERT  the certificate, PEM, followed by the certificates of its chain
#     DRVDOWN_SIGN_KEY   its private key, PEM, not encrypted
#     DRVDOWN_SIGN_TIMESTAMP_URL  (optional) an RFC 3161 time-stamping service
#   and leaves them unsigned, saying so, when not. The stand-in engine is never signed: the
#   library trusts it by the digest of the file as built.
# - writes SHA256SUMS at the top of the package: the digest of every file in it, the signed
#   binaries as signed.
set(stage "${CPACK_TEMPORARY_DIRECTORY}")
file(GLOB binaries "${stage}/*/bin/MobileDrvDown.dll" "${stage}/*/bin/drvget.exe")

if(NOT "$ENV{DRVDOWN_SIGN_CERT}" STREQUAL "" AND NOT "$ENV{DRVDOWN_SIGN_KEY}" STREQUAL "")
  find_program(osslsigncode osslsigncode REQUIRED)
  set(timestamp "")
  if(NOT "$ENV{DRVDOWN_SIGN_TIMESTAMP_URL}" STREQUAL "")
    set(timestamp -ts "$ENV{DRVDOWN_SIGN_TIMESTAMP_URL}")
  endif()
  foreach(file IN LISTS binaries)
    file(REMOVE "${file}.signed")
    execute_process(COMMAND ${osslsigncode} sign -h sha256 -certs "$ENV{DRVDOWN_SIGN_CERT}"
                            -key "$ENV{DRVDOWN_SIGN_KEY}" -n MobileDrvDown ${timestamp}
                            -in "${file}" -out "${file}.signed"
                    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "signing ${file} failed: ${output}")
    endif()
    file(RENAME "${file}.signed" "${file}")
    file(RELATIVE_PATH name "${stage}" "${file}")
    message(STATUS "signed (Authenticode, SHA-256): ${name}")
  endforeach()
else()
  message(STATUS "UNSIGNED: MobileDrvDown.dll and drvget.exe are not signed "
                 "(set DRVDOWN_SIGN_CERT and DRVDOWN_SIGN_KEY to sign them)")
endif()

file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${stage}" "${stage}/*")
list(REMOVE_ITEM files SHA256SUMS)
list(SORT files)
set(sums "")
foreach(name IN LISTS files)
  file(SHA256 "${stage}/${name}" digest)
  string(APPEND sums "${digest}  ${name}\n")
endforeach()
file(WRITE "${stage}/SHA256SUMS" "${sums}")
