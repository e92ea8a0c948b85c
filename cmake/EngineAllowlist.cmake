# Writes the digests of the given files as C string literals, one a line.
# cmake -DOUTPUT=<file> -DFILES=<a|b|...> -P EngineAllowlist.cmake
string(REPLACE "|" ";" files "${FILES}")
set(content "")
foreach(file IN LISTS files)
  file(SHA256 "${file}" digest)
  string(APPEND content "\"${digest}\", // ${file}\n")
endforeach()
file(WRITE "${OUTPUT}" "${content}")
