// Blocking downloads: the poll shared by DownLoadFile and DownloadNow.
#pragma once

#include "engine/engine_api.h"

#include <cstdint>

// Interval between two status queries of a blocking download.
inline constexpr DWORD kBlockingPollIntervalMs = 200;

// Waits for the transfer `handle` of `engine` to end: every 200 ms (watching the module stop
// event and, when given, `shutdownEvent`) it queries a zero-filled status. State 1 yields true;
// 5, 6 and 7 poll again; any other state yields false. A signalled (or failed) wait removes and
// closes the transfer and yields false. A transfer that ends by its state keeps its handle until
// PPClose.
bool RunBlockingPoll(const EngineApi& engine, std::uint32_t handle, HANDLE shutdownEvent = nullptr);

// True when the folder of `targetPath`, judged from its first 259 characters, exists.
bool TargetFolderExists(const wchar_t* targetPath);

// Clears the target and runs one transfer on an initialised engine, then polls it to its end.
bool DownloadWithEngine(const EngineApi& engine, const wchar_t* url, const wchar_t* targetPath,
                        HANDLE shutdownEvent = nullptr);
