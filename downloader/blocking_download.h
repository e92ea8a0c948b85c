// Blocking downloads: the poll shared by DownLoadFile and DownloadNow.
#pragma once

#include "engine/engine_api.h"

#include <cstdint>

// Waits for the transfer `handle` of `engine` to end: every 200 ms (watching the module stop
// event and, when given, `shutdownEvent`) it queries a zero-filled status. State 1 yields true;
// 5, 6 and 7 poll again; any other state yields false. A signalled (or failed) wait removes and
// closes the transfer and yields false. A transfer that ends by its state keeps its handle until
// PPClose.
bool RunBlockingPoll(const EngineApi& engine, std::uint32_t handle, HANDLE shutdownEvent = nullptr);

// True when the folder of `targetPath` exists; false for a target longer than a task record holds,
// whose folder is never judged from a cut copy.
bool TargetFolderExists(const wchar_t* targetPath);

// Clears the target and runs one transfer on an initialised engine, then polls it to its end.
bool DownloadWithEngine(const EngineApi& engine, const wchar_t* url, const wchar_t* targetPath,
                        HANDLE shutdownEvent = nullptr);

enum class BlockingOutcome { Failed, Succeeded, EngineNotLoadable };

// One download through an engine instance of its own, loaded, verified and initialised for this
// call and torn down before it returns. EngineNotLoadable: nothing is left loaded or allocated,
// and the target is untouched, so the caller can raise the engine-load exception at once.
BlockingOutcome DownloadWithOwnEngine(const wchar_t* url, const wchar_t* targetPath);
