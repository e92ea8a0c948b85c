// Blocking downloads: DownLoadFile's, through an engine of its own, and DownloadNow's, through
// its downloader's.
#pragma once

#include "downloader/downloader_state.h"

// DownloadNow: one download through the downloader's engine, registered with the downloader so
// that a shutdown ends it and waits for it. False without an engine or while a shutdown runs.
bool DownloadWithDownloaderEngine(const StateRef& state, const wchar_t* url,
                                  const wchar_t* targetPath);

enum class BlockingOutcome { Failed, Succeeded, EngineNotLoadable };

// One download through an engine instance of its own, loaded, verified and initialised for this
// call and torn down before it returns. EngineNotLoadable: nothing is left loaded or allocated,
// and the target is untouched, so the caller can raise the engine-load exception at once.
BlockingOutcome DownloadWithOwnEngine(const wchar_t* url, const wchar_t* targetPath);
