// Task worker threads: one per task, detached, counted by the module's worker gate.
#pragma once

#include "downloader/downloader_state.h"

#include <windows.h>

#include <memory>

// Interval between two status queries of an asynchronous task.
inline constexpr DWORD kTaskPollIntervalMs = 1000;

// Starts the detached worker thread of `task`. The thread gets references of its own to the task
// and to the downloader's shared state, and a reference on this library's module, which it gives
// up with its very last instruction. False when the thread could not be started.
bool StartWorker(const std::shared_ptr<DownloaderState>& state, const TaskHandle& task);

// Waits on the module's worker gate for at most `timeoutMs` until no worker of any downloader is
// inside it. Called from a worker thread (a host shutting down from inside OnNotify), the
// caller's own place in the gate is given up for the wait, so it does not wait for itself.
void WaitForWorkersToLeave(DWORD timeoutMs);
