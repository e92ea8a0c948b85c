// Checking that an engine file is one the build trusts, before it is ever loaded.
#pragma once

#include "base/unique_handle.h"
#include "engine/engine_file.h"

#include <span>

// Opens `path` for reading with read sharing only: while the handle is open nobody can write,
// replace, rename or delete the file, so what was checked is what gets loaded. Null on failure.
unique_hfile OpenEngineFileForVerification(const wchar_t* path);

enum class EngineFileCheck {
    Trusted,     // its SHA-256 digest is listed, or it carries a valid signature by a pinned signer
    Untrusted,   // read through, and not a file the build trusts: damaged
    Unreadable,  // could not be read through: no sign of damage, just no answer
    NoResources, // memory, the system's hash or its cryptography ran short: no answer either
};

// What a build trusts: engine files by their digest, and files signed by a pinned signer. Both
// lists hold lowercase hex SHA-256 digests; a signer's is that of the DER SubjectPublicKeyInfo of
// its certificate.
struct EngineTrust {
    std::span<const char* const> fileDigests;
    std::span<const char* const> signerKeys;
};

// The lists this build was configured with (DRVDOWN_ENGINE_SHA256 and
// DRVDOWN_ENGINE_SIGNER_SPKI_SHA256, made into engine_trust.cpp at build time).
const EngineTrust& BuiltInEngineTrust();

// Checks the file against `trust`: a listed digest trusts it; otherwise a valid Authenticode
// signature by a pinned signer does. An empty list is not consulted.
EngineFileCheck CheckEngineImage(EngineFileReader& file, const EngineTrust& trust);

// Checks the open file against the build's own trust.
EngineFileCheck CheckEngineFile(HANDLE file);

// Exit code of a process whose engine file is damaged; the public header gives hosts the same
// value as MOBILEDRV_EXIT_ENGINE_DAMAGED.
inline constexpr UINT kExitEngineDamaged = 0xE0DD0001u;

// Tells the user that the engine file is damaged (a message box where the process can show one,
// the debugger output and standard error always) and ends the process with kExitEngineDamaged.
[[noreturn]] void ReportDamagedEngineAndExit(const wchar_t* path);
