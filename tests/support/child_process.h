// Runs a program of the build as a child process and collects what it printed.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace drvtest {

struct ChildResult {
    DWORD exitCode = 0;
    std::string output; // standard output and standard error, interleaved
};

// Runs `program` (a full path) with `arguments`, with extra environment variables of the form
// NAME=VALUE added to this process's own; waits at most `timeoutMs` and kills it after that.
ChildResult RunChild(const std::wstring& program, const std::vector<std::wstring>& arguments,
                     const std::vector<std::wstring>& environment = {}, DWORD timeoutMs = 60000);

} // namespace drvtest
