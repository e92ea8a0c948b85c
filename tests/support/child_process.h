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

// Runs `program` (a full path) with `arguments`, with environment variables of the form
// NAME=VALUE set over this process's own (replacing a variable of the same name); waits at most
// `timeoutMs` and kills it after that. The child starts in `currentDir` when one is given.
ChildResult RunChild(const std::wstring& program, const std::vector<std::wstring>& arguments,
                     const std::vector<std::wstring>& environment = {}, DWORD timeoutMs = 60000,
                     const std::wstring& currentDir = {});

} // namespace drvtest
