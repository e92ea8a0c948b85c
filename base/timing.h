// The library's timing figures in one place: the public header promises them to hosts, and the
// tests and the benchmark measure against these constants.
#pragma once

#include <windows.h>

// A task's worker asks the engine for its transfer's state this often.
inline constexpr DWORD kTaskPollIntervalMs = 1000;
// DownLoadFile and DownloadNow ask the engine for their transfer's state this often.
inline constexpr DWORD kBlockingPollIntervalMs = 200;
// AddTask pauses this long after starting a task's worker.
inline constexpr DWORD kAddTaskPauseMs = 100;
// A shutdown's wait tests what it waits for this often.
inline constexpr DWORD kWaitStepMs = 100;
// A shutdown waits this long at most for its downloader's workers to end.
inline constexpr DWORD kShutdownWaitMs = 10000;
