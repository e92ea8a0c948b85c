// Task worker threads: one per task, detached, counted by the module's worker gate.
#pragma once

#include "downloader/downloader_state.h"

#include <windows.h>

#include <memory>

// What a worker thread records about itself for code that runs on it, such as a host calling
// Uninit from inside OnNotify. Lives on the worker's own stack.
struct WorkerThreadState {
    bool insideGate = false;                    // between its Enter and Leave on the gate
    const DownloaderState* notifying = nullptr; // the downloader whose OnNotify it is calling
};

// The calling thread's record, or null when it is not a task worker.
WorkerThreadState* CurrentWorkerThread();

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
