// One loaded instance of the download engine: its module and its bound entry points.
#pragma once

#include "base/shared_handle.h"
#include "base/unique_handle.h"
#include "engine_abi/engine_abi.h"

#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>

// Client identifier presented to the engine at initialisation.
inline constexpr const wchar_t* kEngineClientId = L"Varnelmobilemgr";

// The module handle followed by the 33 entry points in export-table order; a missing export
// leaves its entry null. Written only while it is bound; read-only afterwards, so any number of
// threads may call through it at once. Destroying it tears the instance down: PPClose (when
// present), then FreeLibrary.
struct EngineApi {
    unique_hmodule module;
    std::array<FARPROC, kEngineEntryCount> entries{};

    EngineApi() = default;
    ~EngineApi();
    EngineApi(const EngineApi&) = delete;
    EngineApi& operator=(const EngineApi&) = delete;

    // Takes over `loaded` and resolves every entry by exact export name, missing ones left null.
    void Bind(unique_hmodule loaded);

    // Forwarding operations: each calls its entry when present and otherwise yields the zero
    // result (false, handle 0).
    bool PPInit2(const wchar_t* clientId, std::uint32_t a, std::uint32_t b) const;
    std::uint32_t PPStartTaskEx(const wchar_t* url, const wchar_t* targetPath) const;
    bool PPQueryTaskEx(std::uint32_t handle, PP_TASK_STATUS* status) const;
    void PPRemoveTask(std::uint32_t handle) const;
    void PPCloseHandle(std::uint32_t handle) const;
    void PPClose() const;

    bool Has(std::size_t index) const { return entries[index] != nullptr; }

    template <class Fn>
    Fn Entry(std::size_t index) const {
        return reinterpret_cast<Fn>(reinterpret_cast<void*>(entries[index]));
    }
};

// Users of an engine instance share it; the last one to let go tears it down.
using EngineRef = shared_handle<EngineApi>;

enum class EngineLoadStatus {
    Ready,       // loaded, bound and initialised
    NoFile,      // no engine file beside the library's folder
    NoMemory,    // memory (or the system's hashing or cryptography) ran short: the record could
                 // not be allocated, or the file could not be checked for want of it
    NotLoadable, // the file could not be opened or read for the check, or the system could not
                 // load it
    InitFailed,  // PPInit2 missing or false; the instance was torn down again
};

struct EngineLoad {
    EngineLoadStatus status;
    EngineRef engine; // set only when status is Ready
};

// Finds the engine file (Tolvek.dll in the parent of the library's folder), verifies it, loads,
// binds and initialises it. A file that fails verification never returns: the user is told and
// the process ends with kExitEngineDamaged (engine/verify.h).
EngineLoad LoadEngine();

// Where the engine's dependencies are looked for: the engine's own folder, the host's folder and
// System32.
inline constexpr DWORD kEngineSearchFlags = LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR |
                                            LOAD_LIBRARY_SEARCH_APPLICATION_DIR |
                                            LOAD_LIBRARY_SEARCH_SYSTEM32;

using LoadLibraryExWFn = HMODULE(WINAPI*)(LPCWSTR, HANDLE, DWORD);

// Maps the engine file at the full `path` with its dependencies resolved from kEngineSearchFlags
// only, through `load` (LoadLibraryExW; tests pass their own). Where the system does not know
// these flags (ERROR_INVALID_PARAMETER), it loads with LOAD_WITH_ALTERED_SEARCH_PATH instead.
HMODULE LoadEngineModule(const wchar_t* path, LoadLibraryExWFn load = &LoadLibraryExW);

// Full path of the engine file for the library in g_szModuleDir.
void EnginePath(wchar_t (&path)[MAX_PATH]);

// The record is the module handle followed by the entries, pointer-sized, with no gaps.
static_assert(offsetof(EngineApi, module) == 0);
static_assert(offsetof(EngineApi, entries) == sizeof(void*));
static_assert(sizeof(EngineApi) == (kEngineEntryCount + 1) * sizeof(void*));
