// What a downloader shares with its worker threads: the task list, the engine instance, the
// host's callback and the context value. Workers hold it by reference, so it outlives the
// CDrvDownloader that Release frees for as long as any worker still runs.
#pragma once

#include "MobileDrvDown.h"
#include "base/heap.h"
#include "base/locks.h"
#include "base/unique_handle.h"
#include "downloader/drv_task.h"
#include "engine/engine_api.h"

#include <atomic>
#include <cstdint>

class DownloaderState {
public:
    // Creates the shutdown event; check ShutdownEvent() for whether that worked.
    DownloaderState() noexcept;
    DownloaderState(const DownloaderState&) = delete;
    DownloaderState& operator=(const DownloaderState&) = delete;

    // --- the engine instance; each user holds its own reference while it calls the engine ---
    EngineRef Engine() const;
    // Installs `engine` unless one is installed already; false then.
    bool InstallEngine(EngineRef engine);

    // --- blocking downloads (DownloadNow) in progress on host threads ---
    // Registers one and hands it the engine to use; empty, and nothing registered, when the
    // downloader has no engine or is being shut down.
    EngineRef BeginBlockingDownload();
    void EndBlockingDownload();
    // Signalled while the downloader is being shut down: a blocking download watching it ends.
    HANDLE ShutdownEvent() const { return shutdownEvent_.get(); }

    // --- the context value, overwritten by every AddTask and carried by every notification ---
    std::int32_t Context() const { return context_.load(); }
    // Makes `context` the value and returns the one it replaced.
    std::int32_t ExchangeContext(std::int32_t context) { return context_.exchange(context); }
    // Puts `previous` back, unless another AddTask has replaced `context` meanwhile.
    void RestoreContext(std::int32_t context, std::int32_t previous) {
        context_.compare_exchange_strong(context, previous);
    }

    // --- the host's callback and the notifications sent through it ---
    void SetCallback(IMobileDrvDownCallback* callback);
    // Calls OnNotify(kind, record) on the callback as it stands, unless none is held. A final
    // notification passes its task's cancel event, which is tested once more under the lock: a
    // task cancelled by now ends without one (a test that fails is no cancel: the notification
    // goes). Progress needs no such test: the worker's wait on the event has just timed out. No
    // lock is held during the call.
    void Notify(int kind, void* record, HANDLE cancelEventToRecheck = nullptr);
    // Drops the callback: no notification begins after this returns.
    void DropCallback();
    // Waits until no notification is in progress, except those whose threads are themselves
    // inside this wait (a host may shut down from inside OnNotify).
    void WaitForNotifications();

    // --- the task list; each operation takes the list lock for its own scan or change ---
    // Appends a copy of `task`; 0 when memory for the list is short.
    int AppendTask(TaskHandle task);
    // Removes the first task of that name (letter case ignored); 1 if one was removed.
    int RemoveTaskByName(const wchar_t* name);
    // Removes exactly this task, wherever it stands; 1 if it was listed.
    int RemoveTask(const _MOBILE_DRV_TASK* task);
    // The first task of that name, held by a reference so that its cancel event stays open while
    // the caller uses it; empty when none matches.
    TaskHandle FindCancelEvent(const wchar_t* name);
    // Signals every task's cancel event, first to last, and empties the list.
    void CancelAllTasks();

    std::size_t TaskCount();
    std::size_t TaskCapacity();

    // The full shutdown: drop the callback, end blocking downloads and cancel every task, wait for
    // the workers (at most 10 s), for notifications and for blocking downloads in progress, and
    // drop the engine.
    void Shutdown();

private:
    template <class Matches>
    int RemoveFirst(Matches matches);

    mutable SlimLock engineLock_; // guards engine_ only
    EngineRef engine_;
    std::atomic<std::int32_t> context_{0};

    std::atomic<IMobileDrvDownCallback*> callback_{nullptr};
    SlimLock notifyLock_;
    int activeNotifications_ = 0;    // OnNotify calls in progress
    int notifiersWaitingInside_ = 0; // of those, the ones whose thread is in WaitForNotifications

    // Guards the two counts below and the shutdown event's state.
    SlimLock blockingLock_;
    int blockingDownloads_ = 0; // DownloadNow calls using the engine
    int shutdowns_ = 0;         // Shutdown calls in progress (several threads may shut down)
    unique_handle shutdownEvent_;

    CriticalSection listLock_;
    HeapArray<TaskHandle> tasks_;
};

// The downloader object, its workers and its blocking downloads share the state.
using StateRef = shared_handle<DownloaderState>;
