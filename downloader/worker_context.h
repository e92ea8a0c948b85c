// What a task worker thread records about itself, for code of the library that runs on it: a
// host calling Uninit or Release from inside OnNotify runs on a worker, and must not wait for its
// own notification.
#pragma once

#include <windows.h>

class DownloaderState;

// Lives on the worker's own stack while the worker runs its task.
struct WorkerThreadState {
    DownloaderState* notifying = nullptr; // the downloader whose OnNotify it is calling
};

// The thread-local slot of the records: taken by the module's entry point when the module is
// loaded, given back when it is unloaded (nothing when it was never taken).
void CreateWorkerThreadSlot();
void FreeWorkerThreadSlot();

// Whether the thread-local slot of the records could be had when the module was loaded; without
// it a host shutting down from inside OnNotify would wait for itself, so the load fails.
bool WorkerThreadSlotReady();

// The calling thread's record, or null when it is not a task worker.
WorkerThreadState* CurrentWorkerThread();

// Makes `state` the calling worker thread's record (null: none any more).
void SetCurrentWorkerThread(WorkerThreadState* state);
