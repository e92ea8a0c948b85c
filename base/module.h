// The module-wide objects and the load and unload work the module's entry point runs.
#pragma once

#include <windows.h>

// Manual-reset, created at load and closed at unload. Nothing in the library signals it, so the
// waits that watch it (blocking polls, shutdowns) end by their own conditions.
extern HANDLE g_hStopEvent;

// The folder of the library's own file, without a trailing backslash (a drive root keeps it): the
// engine lies in its parent. Set at process attach, read-only afterwards.
extern wchar_t g_szModuleDir[MAX_PATH];

// Load-time work, before process attach: creates g_hStopEvent. A stop event that cannot be
// created stays null, which fails the attach.
void CreateModuleObjects();

// Unload-time work, after process detach or a failed attach: closes g_hStopEvent. Nothing when it
// does not exist.
void DestroyModuleObjects();

// Stores the module's folder in g_szModuleDir and switches thread notifications off. False, so
// that the load fails, when the module could never work: no stop event, or a file name of
// MAX_PATH characters or more (it comes back cut, so its folder is not the library's).
bool OnProcessAttach(HMODULE module);
