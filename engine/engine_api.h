// One loaded instance of the download engine: its module and its bound entry points.
#pragma once

#include "engine/pp_task_status.h"

#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <type_traits>

// Export names of the engine, in the order of EngineApi's entry table.
inline constexpr std::size_t kEngineEntryCount = 33;
inline constexpr std::array<const char*, kEngineEntryCount> kEngineExportNames = {
    "PPInit",
    "PPInit2",
    "PPClose",
    "PPSetConfig",
    "PPGetConfig",
    "PPDownload",
    "PPStopTask",
    "PPRestart",
    "PPRemoveTask",
    "PPStopSeed",
    "PPCloseHandle",
    "PPQueryTask",
    "PPQueryTaskEx",
    "PPStartTask",
    "PPStartTaskEx",
    "_GetTasks",
    "_StartRun",
    "_StopRun",
    "_Run",
    "_EnableP2P",
    "_SetKeep",
    "_SetKeepEx",
    "_IsStopped",
    "_PPQueryTask2",
    "__PPSetModulePath2",
    "StartLan",
    "StopLan",
    "_PPQueryIPPort",
    "_PPSetLocalLog",
    "_P2SPUpdateRegInfo",
    "_P2SPCheckProxy",
    "_P2SPCancelCheckProxy",
    "_P2SPSetOption"};

// Client identifier presented to the engine at initialisation.
inline constexpr const wchar_t* kEngineClientId = L"Varnelmobilemgr";

// Types of the six entry points the library calls; all cdecl. A one-byte truth value is returned
// as unsigned char: only the low byte of the result register counts.
using PPInit2Fn = unsigned char(__cdecl*)(const wchar_t* clientId, std::uint32_t, std::uint32_t);
using PPCloseFn = std::uint32_t(__cdecl*)();
using PPRemoveTaskFn = std::uint32_t(__cdecl*)(std::uint32_t handle);
using PPCloseHandleFn = std::uint32_t(__cdecl*)(std::uint32_t handle);
using PPQueryTaskExFn = unsigned char(__cdecl*)(std::uint32_t handle, PP_TASK_STATUS* status);
using PPStartTaskExFn = std::uint32_t(__cdecl*)(const wchar_t* url, const wchar_t* targetPath,
                                                std::uint32_t, std::uint32_t, std::uint32_t,
                                                std::uint32_t, std::uint32_t, std::uint32_t);

// The module handle followed by the 33 entry points in export-table order; a missing export
// leaves its entry null. Written only while it is bound; read-only afterwards, so any number of
// threads may call through it at once. Destroying it tears the instance down: PPClose (when
// present), then FreeLibrary.
struct EngineApi {
    HMODULE module = nullptr;
    std::array<FARPROC, kEngineEntryCount> entries{};

    EngineApi() = default;
    ~EngineApi();
    EngineApi(const EngineApi&) = delete;
    EngineApi& operator=(const EngineApi&) = delete;

    // Resolves every entry of `module` by exact export name, missing ones left null.
    void Bind(HMODULE loaded);

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

// Entry indices of the operations the library calls.
inline constexpr std::size_t kPPInit2 = 1;
inline constexpr std::size_t kPPClose = 2;
inline constexpr std::size_t kPPRemoveTask = 8;
inline constexpr std::size_t kPPCloseHandle = 10;
inline constexpr std::size_t kPPQueryTaskEx = 12;
inline constexpr std::size_t kPPStartTaskEx = 14;

// Users of an engine instance share it; the last one to let go tears it down.
using EngineRef = std::shared_ptr<const EngineApi>;

enum class EngineLoadStatus {
    Ready,       // loaded, bound and initialised
    NoFile,      // no engine file beside the library's folder
    NoMemory,    // the record could not be allocated
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
// the process ends (see MOBILEDRV_EXIT_ENGINE_DAMAGED in the public header).
EngineLoad LoadEngine();

// Full path of the engine file for the library in g_szModuleDir.
void EnginePath(wchar_t (&path)[MAX_PATH]);

// The record is the module handle followed by the entries, pointer-sized, with no gaps.
static_assert(offsetof(EngineApi, module) == 0);
static_assert(offsetof(EngineApi, entries) == sizeof(void*));
static_assert(sizeof(EngineApi) == (kEngineEntryCount + 1) * sizeof(void*));

// The called entries use the caller-cleans convention; on x86 that is part of the type.
static_assert(std::is_same_v<PPStartTaskExFn,
                             std::uint32_t(__attribute__((cdecl)) *)(
                                 const wchar_t*, const wchar_t*, std::uint32_t, std::uint32_t,
                                 std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t)>);
static_assert(std::is_same_v<PPInit2Fn, unsigned char(__attribute__((cdecl)) *)(
                                            const wchar_t*, std::uint32_t, std::uint32_t)>);
static_assert(std::is_same_v<PPQueryTaskExFn, unsigned char(__attribute__((cdecl)) *)(
                                                  std::uint32_t, PP_TASK_STATUS*)>);
static_assert(
    std::is_same_v<PPRemoveTaskFn, std::uint32_t(__attribute__((cdecl)) *)(std::uint32_t)>);
static_assert(
    std::is_same_v<PPCloseHandleFn, std::uint32_t(__attribute__((cdecl)) *)(std::uint32_t)>);
static_assert(std::is_same_v<PPCloseFn, std::uint32_t(__attribute__((cdecl)) *)()>);
static_assert(kEngineExportNames[kPPInit2] == std::string_view("PPInit2") &&
              kEngineExportNames[kPPClose] == std::string_view("PPClose") &&
              kEngineExportNames[kPPRemoveTask] == std::string_view("PPRemoveTask") &&
              kEngineExportNames[kPPCloseHandle] == std::string_view("PPCloseHandle") &&
              kEngineExportNames[kPPQueryTaskEx] == std::string_view("PPQueryTaskEx") &&
              kEngineExportNames[kPPStartTaskEx] == std::string_view("PPStartTaskEx"));
