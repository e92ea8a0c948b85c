// Module-wide objects shared by every part of the library.
#pragma once

#include <windows.h>

// Manual-reset event created when the library is loaded and closed when it is unloaded.
// Nothing in the library signals it; blocking polls and the worker gate watch it.
extern HANDLE g_hStopEvent;

// Directory of this library's own file, without a trailing backslash (a drive root keeps it).
// Filled at process attach, read-only afterwards.
extern wchar_t g_szModuleDir[MAX_PATH];

// The module's load-time work, done by its entry point before the process-attach work: creates
// g_hStopEvent, then the worker gate g_workerGate. A stop event that cannot be created leaves
// g_hStopEvent null, which fails the attach.
void CreateModuleObjects();

// The module's unload-time work, done by its entry point after the process-detach work (and after
// an attach that failed): closes g_hStopEvent, then frees the worker gate. Nothing when the objects
// do not exist.
void DestroyModuleObjects();

// Work done at process attach for the module whose handle is given: stores its directory in
// g_szModuleDir and switches thread notifications off. False when the module's own file name
// could not be had whole (a path of MAX_PATH characters or more) or g_hStopEvent could not be
// created: the module could never find its engine, or never wait in a blocking download, so its
// load must fail instead.
bool OnProcessAttach(HMODULE module);
