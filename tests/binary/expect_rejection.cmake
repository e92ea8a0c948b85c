# Runs check_x86_dll.sh on the library built with wrong calling conventions (and the MinGW-w64
# runtime); passes only when the check fails and names each export and each interface operation,
# and the runtime, among its failures.
# cmake -DCHECK=<script> -DOBJDUMP=<objdump> -DDLL=<dll> -DMAP=<map> -P expect_rejection.cmake
execute_process(COMMAND bash ${CHECK} ${OBJDUMP} ${DLL} ${MAP}
                OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE result)
message("${output}${errors}")
if(result EQUAL 0)
  message(FATAL_ERROR "the check accepted a library with wrong calling conventions")
endif()
foreach(failure
        "FAILED: export CreateInstance" "FAILED: export DownLoadFile" "FAILED: export ExtractZipFile"
        "FAILED: slot 0 Release" "FAILED: slot 1 Init" "FAILED: slot 2 Uninit"
        "FAILED: slot 3 AddTask" "FAILED: slot 4 CancelTask" "FAILED: slot 5 DownloadNow"
        "FAILED: runtime: imports the C runtime" "FAILED: runtime: a TLS directory")
  string(FIND "${output}" "${failure}" found)
  if(found EQUAL -1)
    message(FATAL_ERROR "the check did not report \"${failure}\"")
  endif()
endforeach()
