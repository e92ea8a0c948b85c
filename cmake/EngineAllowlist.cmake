# Writes SHA-256 digests as C string literals, one a line: the digests of the given files, or the
# digests the given files hold (each one lowercase hex SHA-256, as made at build time).
# cmake -DOUTPUT=<file> -DFILES=<a|b|...> -P EngineAllowlist.cmake
# cmake -DOUTPUT=<file> -DDIGEST_FILES=<a|b|...> -P EngineAllowlist.cmake
set(content "")
if(DEFINED FILES)
  string(REPLACE "|" ";" files "${FILES}")
  foreach(file IN LISTS files)
    file(SHA256 "${file}" digest)
    string(APPEND content "\"${digest}\", // ${file}\n")
  endforeach()
endif()
if(DEFINED DIGEST_FILES)
  string(REPLACE "|" ";" files "${DIGEST_FILES}")
  foreach(file IN LISTS files)
    file(STRINGS "${file}" digest LIMIT_COUNT 1)
    string(STRIP "${digest}" digest)
    if(NOT digest MATCHES "^[0-9a-f]+$" OR NOT digest MATCHES "^................................................................$")
      message(FATAL_ERROR "${file}: '${digest}' is not a SHA-256 digest in hex")
    endif()
    string(APPEND content "\"${digest}\", // ${file}\n")
  endforeach()
endif()
file(WRITE "${OUTPUT}" "${content}")
