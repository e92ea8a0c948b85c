// The download engine's binary interface, as the library, the stand-in engine, the tests and the
// benchmark all see it: export names, entry types, the status record and its states. No logic.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

// Export names of the engine, in the order of the library's entry table.
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

// Entry indices of the six exports the library calls.
inline constexpr std::size_t kPPInit2 = 1;
inline constexpr std::size_t kPPClose = 2;
inline constexpr std::size_t kPPRemoveTask = 8;
inline constexpr std::size_t kPPCloseHandle = 10;
inline constexpr std::size_t kPPQueryTaskEx = 12;
inline constexpr std::size_t kPPStartTaskEx = 14;

// The status record PPQueryTaskEx fills for one transfer: 1608 bytes, little-endian. The callers
// zero it before every query. The seven values are the engine's; the library passes them on to
// the host's progress notifications unchanged.
struct PP_TASK_STATUS {
    std::uint32_t values[6]; // bytes 0..23: the first six values
    std::uint8_t unread24[12];
    std::uint32_t value36; // byte 36: the seventh value
    std::uint32_t unread40;
    std::int32_t state; // byte 44: the transfer's state
    std::uint8_t unread48[1560];
};

static_assert(sizeof(PP_TASK_STATUS) == 1608);
static_assert(offsetof(PP_TASK_STATUS, values) == 0);
static_assert(offsetof(PP_TASK_STATUS, value36) == 36);
static_assert(offsetof(PP_TASK_STATUS, state) == 44);

// The state of a transfer that finished: the file is complete.
inline constexpr std::int32_t kTaskStateFinished = 1;

// States 5, 6 and 7 mean the transfer is still running; every other state but 1 is a failure.
constexpr bool IsRunningState(std::int32_t state) {
    return state >= 5 && state <= 7;
}

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
