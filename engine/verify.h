// Checking that an engine file is one the build trusts, before it is ever loaded.
#pragma once

#include "module/handles.h"

// Opens `path` for reading with read sharing only: while the handle is open nobody can write,
// replace, rename or delete the file, so what was checked is what gets loaded. Null on failure.
UniqueHandle OpenEngineFileForVerification(const wchar_t* path);

enum class EngineFileCheck {
    Trusted,    // read through, and its SHA-256 digest is on the build's allowlist
    Untrusted,  // read through, and not a file the build trusts: damaged
    Unreadable, // could not be read through: says nothing about the file, so it is not damaged
};

// Checks the open file, read from its start.
EngineFileCheck CheckEngineFile(HANDLE file);

// Tells the user that the engine file is damaged (a message box where the process can show one,
// the debugger output and standard error always) and ends the process with
// MOBILEDRV_EXIT_ENGINE_DAMAGED.
[[noreturn]] void ReportDamagedEngineAndExit(const wchar_t* path);
